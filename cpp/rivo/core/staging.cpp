#include "rivo/core/staging.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"
#include "rivo/core/command.hpp"
#include "rivo/core/errors.hpp"
#include "rivo/core/names.hpp"
#include "rivo/core/reap.hpp"

namespace tavro::rivo {
namespace {

const char* kind_name(mode_t m) {
  if (S_ISCHR(m)) return "a character device";
  if (S_ISBLK(m)) return "a block device";
  if (S_ISFIFO(m)) return "a named pipe (FIFO)";
  if (S_ISSOCK(m)) return "a socket";
  return "not a regular file";
}

// A name in the sandbox already in use (by anything, a link included).
bool taken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A folder only we (or root) can change: owned by one of us, and writable
// by others only with the sticky bit (which keeps them from renaming or
// removing what we make in it).
void require_safe_folder(const std::string& dir, const struct stat& st) {
  const uid_t me = ::geteuid();
  const bool sticky = (st.st_mode & S_ISVTX) != 0;
  std::string why;
  if (st.st_uid != 0 && st.st_uid != me)
    why = "belongs to user " + std::to_string(st.st_uid);
  else if ((st.st_mode & S_IWOTH) && !sticky)
    why = "can be written by every user and has no sticky bit";
  else if ((st.st_mode & S_IWGRP) && !sticky && st.st_gid != ::getegid())
    why = "can be written by group " + std::to_string(st.st_gid) + " and has no sticky bit";
  if (!why.empty())
    throw Refused("Refusing the temporary folder: '" + dir + "' " + why +
                  ", so another user could put their own folder in place of the sandboxes or the rivo project "
                  "made there; use a TMPDIR that only you can change (or one with the sticky bit, as /tmp)");
}

// Every folder from `path` up to "/": both as spelled (a link on the way
// lives in a folder that is checked too) and as resolved.
void require_safe_chain(const std::string& path) {
  auto walk = [](std::string p, bool follow) {
    while (true) {
      struct stat st;
      if ((follow ? ::stat(p.c_str(), &st) : ::lstat(p.c_str(), &st)) != 0) throw_errno("stat", p);
      if (S_ISDIR(st.st_mode)) require_safe_folder(p, st);
      if (p == "/") return;
      p = fs::dir_of(p);
    }
  };
  walk(fs::absolute(path), false);
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) throw_errno("realpath", path);
  std::string resolved(real);
  ::free(real);
  walk(resolved, true);
}

}  // namespace

void require_safe_temp_dir(const std::string& dir) { require_safe_chain(dir); }

void check_plan(const RunPlan& plan) {
  require_single_component(plan.tool, "tool name");
  for (const auto& slot : plan.outputs) {
    require_single_component(slot.name, "output slot name");
    if (is_reserved_slot_name(slot.name))
      throw BadName("output slot name", slot.name,
                    "the name is reserved (rivo.toml, rivo.lock and .rivo are the project's own files and never "
                    "harvested; _extras holds what no slot takes)");
  }
  for (const auto& input : plan.inputs) {
    for (const auto& src : input.sources) {
      struct stat st;
      if (src.find('\0') != std::string::npos || ::stat(src.c_str(), &st) != 0) continue;  // not staged
      if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) continue;
      throw Unstageable(input.slot, src, kind_name(st.st_mode));
    }
  }
}

fs::Fd ensure_private_root(const std::string& root) {
  if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) throw_errno("mkdir", root);
  // Opened without following a link, so the checks below are about the very
  // folder the sandboxes will be made in.
  fs::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd) {
    int e = errno;
    if (::lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      throw Refused("Refusing the sandbox folder: '" + root +
                    "' is a symbolic link; the sandbox folder must be a real directory");
    if (e == ENOTDIR) throw Refused("Refusing the sandbox folder: '" + root + "' is not a directory");
    throw OsError(e, "open", root);
  }
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", root);
  if (st.st_uid != ::geteuid())
    throw Refused("Refusing the sandbox folder: '" + root + "' belongs to user " + std::to_string(st.st_uid) +
                  ", not to the current user " + std::to_string(::geteuid()) +
                  "; another user could read or change the sandboxes in it");
  // Ours but open to others (made by an older version): close it.
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) throw_errno("chmod", root);
  return fd;
}

Sandbox make_sandbox(const RunPlan& plan) {
  Sandbox sb;
  ProjectFolder project = project_folder(plan.volume, plan.temp_dir);
  sb.project = project.path;
  sb.project_is_temp = project.temporary;
  sb.project_lock = project.lock.release();
  try {
    // Made relative to the checked root, never through a path a link could
    // redirect: the root's own folder and those above it must be changeable
    // by no one but us (or root), else another user could swap the root
    // between the check and its use.
    require_safe_chain(plan.temp_dir);
    sb.root = fs::join(plan.temp_dir, "tavro_sandboxes");
    fs::Fd root = ensure_private_root(sb.root);
    reap_stdout_files(root.get());
    const std::string run_name = "run-" + plan.tool + "-" + random_hex(6);
    sb.path = fs::join(sb.root, run_name);
    sb.stdout_file = sb.path + ".stdout";
    if (::mkdirat(root.get(), run_name.c_str(), 0700) != 0) throw_errno("mkdir", sb.path);
    fs::Fd dir(::openat(root.get(), run_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) throw_errno("open", sb.path);
    // Held for the whole run: a run that dies leaves the lock free, and a
    // later one then takes the standard output file for a leftover. Where
    // the file system has no locks, no one can take it and nothing is reaped.
    (void)::flock(dir.get(), LOCK_EX);
    // Container users other than ours must be able to write the outputs.
    if (::fchmod(dir.get(), 0777) != 0) throw_errno("chmod", sb.path);
    fs::Fd out(::openat(root.get(), (run_name + ".stdout").c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!out) throw_errno("open", sb.stdout_file);
    sb.dir_fd = dir.release();
    sb.stdout_fd = out.release();
    for (const char* name : {"rivo.toml", "rivo.lock"}) {
      std::string src = fs::join(sb.project, name);
      if (fs::exists(src)) fs::copy_file(src, fs::join(sb.path, name));
    }
    std::string shims_src = fs::join(sb.project, ".rivo");
    std::string shims_dst = fs::join(sb.path, ".rivo");
    if (fs::exists(shims_src) && !fs::exists(shims_dst)) {
      if (::symlink(shims_src.c_str(), shims_dst.c_str()) != 0) fs::copy_tree(shims_src, shims_dst, true);
    }
  } catch (...) {
    close_sandbox(sb);
    if (!sb.stdout_file.empty()) ::unlink(sb.stdout_file.c_str());
    if (sb.project_is_temp) fs::remove_tree_ignore_errors(sb.project);
    throw;
  }
  return sb;
}

void close_sandbox(Sandbox& sb) {
  for (int* fd : {&sb.dir_fd, &sb.stdout_fd, &sb.project_lock})
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
}

std::string stage_one(const std::string& sandbox, const std::string& src, const std::string& slot) {
  std::string name = fs::final_component(src);
  // "." and "x/.." have no usable name of their own; take the directory's.
  if (name.empty() || name == "..") name = fs::final_component(fs::absolute(src));
  if (name.empty()) throw InvalidArgument("cannot stage the root directory '/' as an input");
  std::string dst = fs::join(sandbox, name);
  if (taken(dst)) {
    std::string prefixed = slot + "_" + name;
    if (!fs::is_single_component(prefixed))
      throw InvalidArgument("input slot name '" + slot +
                            "' cannot prefix a staged file name: it must be one path component");
    dst = fs::join(sandbox, prefixed);
    // A gather of many files of one name: the third and later get a number
    // of their own, so that every input stays a file of its own.
    for (unsigned k = 2; taken(dst); ++k)
      dst = fs::join(sandbox, slot + "_" + std::to_string(k) + "_" + name);
  }
  if (fs::is_dir(src))
    fs::copy_tree(src, dst, true);
  else
    fs::copy_file(src, dst);
  return dst;
}

Staged stage_inputs(const RunPlan& plan, const Sandbox& sandbox) {
  Staged staged;
  for (const auto& input : plan.inputs) {
    if (input.kind != InputSlot::Kind::Text && input.kind != InputSlot::Kind::List) continue;
    StagedSlot s{input.slot, input.kind == InputSlot::Kind::List, {}};
    for (const auto& src : input.sources)
      if (fs::exists(src)) s.paths.push_back(stage_one(sandbox.path, src, input.slot));
    if (!s.paths.empty()) staged.push_back(std::move(s));
  }
  for (const auto& slot : plan.outputs)
    if (slot.is_dir) fs::make_dirs(fs::join(sandbox.path, slot.name));
  return staged;
}

}  // namespace tavro::rivo
