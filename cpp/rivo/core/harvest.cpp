#include "rivo/core/harvest.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/core/executor.hpp"
#include "rivo/core/glob.hpp"
#include "rivo/core/names.hpp"
#include "common/text.hpp"

namespace tavro::rivo {
namespace {

using Kind = fs::DirEntry::Kind;

// Outputs are many and cheap to make again: no sync per file.
constexpr fs::Publish kOutput{.sync = false};

bool is_symlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// An absolute symlink written inside the container names a container path,
// which on the host is some unrelated file (/etc/passwd, a user's key): only
// links that stay inside the sandbox are read.
bool confined(const std::string& path, Kind kind, const std::string& sandbox) {
  return kind != Kind::Symlink || fs::resolves_inside(path, sandbox);
}

bool regular_inside(const std::string& path, Kind kind, const std::string& sandbox) {
  if (kind == Kind::File) return true;
  return kind == Kind::Symlink && fs::is_regular_file(path) && confined(path, kind, sandbox);
}

bool dir_inside(const std::string& path, Kind kind, const std::string& sandbox) {
  if (kind == Kind::Dir) return true;
  return kind == Kind::Symlink && fs::is_dir(path) && confined(path, kind, sandbox);
}

bool is_own_file(const std::string& path, const Executed& run) {
  struct stat st;
  return run.streamed && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         run.file_dev == static_cast<std::uint64_t>(st.st_dev) && run.file_ino == static_cast<std::uint64_t>(st.st_ino);
}

// A directory slot: every regular file below src_dir is copied into a
// temporary folder beside dest, which then replaces dest in one step. The
// delivered paths are spelled below dest.
void deliver_dir(const std::string& sandbox, const std::string& src_dir, const std::string& output,
                 const std::string& dest, std::vector<std::string>& delivered) {
  fs::make_dirs(output.empty() ? "." : output);
  std::string tmp = fs::temp_dir_beside(dest);
  try {
    std::unordered_set<std::string> made;
    for (const auto& rel : fs::walk_files(src_dir, false, true)) {
      std::string f = src_dir + "/" + rel;
      if (is_symlink(f) && !fs::resolves_inside(f, sandbox)) continue;
      std::string target = tmp + "/" + rel;
      std::string parent = fs::dir_of(target);
      if (parent != tmp && made.insert(parent).second) fs::make_dirs(parent);
      fs::copy_file(f, target);
      delivered.push_back(dest + "/" + rel);
    }
    struct stat st;
    if (::stat(src_dir.c_str(), &st) == 0) (void)::chmod(tmp.c_str(), st.st_mode & 07777);
  } catch (...) {
    fs::remove_tree_ignore_errors(tmp);
    throw;
  }
  fs::publish_dir(tmp, dest);
}

// Standard output into the slot that "> slot" named, replacing whatever the
// tool left under that name (a link is replaced, never written through).
// Returns where the streamed output now is.
std::string capture_stdout(const Sandbox& sb, const Arguments& args, const Executed& run) {
  if (!args.capture_slot) return sb.stdout_file;
  std::string target = fs::join(sb.path, *args.capture_slot);
  if (run.streamed) {
    if (run.out_bytes == 0) return sb.stdout_file;
    if (::rename(sb.stdout_file.c_str(), target.c_str()) != 0)
      throw OsError(errno, "rename", sb.stdout_file, target);
    return target;
  }
  if (run.has_out && !run.out.empty()) write_replacing(target, run.out);
  return sb.stdout_file;
}

// Whether a large streamed output holds anything but white space; read only
// up to the first such character, which is nearly always the first one.
bool file_has_text(const std::string& path) {
  fs::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw_errno("open", path);
  SpaceScan scan;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_errno("read", path);
    if (n == 0) return !scan.done();
    if (!scan.feed(std::string_view(buf, static_cast<size_t>(n)))) return true;
  }
}

bool stdout_has_text(const Executed& run, const std::string& stdout_at) {
  if (!run.streamed) return run.has_out && !only_py_space(run.out);
  if (run.out_bytes == 0) return false;
  // Small enough to have been kept whole: the view decides.
  if (run.out_bytes <= 2 * kCaptureBound) return !only_py_space(run.out);
  return file_has_text(stdout_at);
}

// Nothing delivered but something printed: the output becomes
// output/stdout/<tool>_stdout.txt, published whole.
std::string stdout_fallback(const RunPlan& plan, const Executed& run, const std::string& stdout_at) {
  std::string dir = fs::join(plan.output_dir, "stdout");
  std::string file = fs::join(dir, plan.tool + "_stdout.txt");
  fs::ensure_real_dir(dir);
  if (run.streamed)
    fs::publish_move(stdout_at, file, kOutput);
  else
    fs::publish_bytes(file, run.out, {.mode = std::nullopt, .replace_link = true});
  return file;
}

}  // namespace

void write_replacing(const std::string& path, std::string_view bytes) {
  // Writing through a symlink could overwrite any host file, and opening a
  // FIFO would block until someone reads it: such entries are replaced.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) &&
      ::unlink(path.c_str()) != 0)
    throw_errno("unlink", path);
  fs::write_file(path, bytes);
}

RunResult harvest(const RunPlan& plan, const Sandbox& sb, const Staged& staged, const Arguments& args,
                  const Executed& run) {
  const std::string stdout_at = capture_stdout(sb, args, run);
  const std::string& sandbox = sb.path;
  const std::string& output = plan.output_dir;
  std::unordered_set<std::string> staged_names;
  for (const auto& s : staged)
    for (const auto& p : s.paths) staged_names.insert(fs::final_component(p));

  const std::vector<fs::DirEntry> listing = fs::list_dir(sandbox);
  std::unordered_map<std::string, Kind> kinds;
  for (const auto& e : listing) kinds.emplace(e.name, e.kind);
  auto kind_of = [&](const std::string& name) {
    auto it = kinds.find(name);
    return it == kinds.end() ? Kind::Other : it->second;
  };
  auto taken = [&](const std::string& name) { return staged_names.count(name) || is_project_name(name); };

  // The entry each file slot gets: the one named exactly after the slot,
  // else the first match of "<slot>*" in name order (Python's str order).
  std::vector<const fs::DirEntry*> chosen(plan.outputs.size(), nullptr);
  std::unordered_map<std::string, int> uses;
  for (size_t si = 0; si < plan.outputs.size(); ++si) {
    const OutputSlot& slot = plan.outputs[si];
    if (slot.is_dir) continue;
    const Glob pattern(slot.name + "*");
    for (const auto& e : listing) {
      if (taken(e.name) || !pattern.matches(e.name) || !regular_inside(fs::join(sandbox, e.name), e.kind, sandbox))
        continue;
      const fs::DirEntry* best = chosen[si];
      if (!best || e.name == slot.name || (best->name != slot.name && str_less(e.name, best->name)))
        chosen[si] = &e;
    }
    if (chosen[si]) ++uses[chosen[si]->name];
  }
  // Delivered under its own name: the one kind of entry that is no extra.
  std::unordered_set<std::string> delivered_as_is;
  for (size_t si = 0; si < plan.outputs.size(); ++si)
    if (chosen[si] && chosen[si]->name == plan.outputs[si].name) delivered_as_is.insert(chosen[si]->name);

  std::vector<std::vector<std::string>> delivered(plan.outputs.size());
  std::unordered_set<std::string> harvested_dirs;
  for (size_t si = 0; si < plan.outputs.size(); ++si) {
    const OutputSlot& slot = plan.outputs[si];
    std::string dest = fs::join(output, slot.name);
    if (slot.is_dir) {
      std::string src_name = slot.name;
      std::string src_dir = fs::join(sandbox, src_name);
      if (!fs::exists(src_dir)) {
        // The tool wrote its directory under another name: take it when it
        // is the only candidate.
        std::vector<const std::string*> candidates;
        for (const auto& e : listing)
          if (!taken(e.name) && dir_inside(fs::join(sandbox, e.name), e.kind, sandbox)) candidates.push_back(&e.name);
        if (candidates.size() == 1) {
          src_name = *candidates[0];
          src_dir = fs::join(sandbox, src_name);
        }
      }
      // A file under the slot's name, or a link leading out of the sandbox,
      // delivers nothing.
      if (!dir_inside(src_dir, kind_of(src_name), sandbox)) continue;
      harvested_dirs.insert(src_name);
      deliver_dir(sandbox, src_dir, output, dest, delivered[si]);
    } else if (const fs::DirEntry* e = chosen[si]) {
      std::string src = fs::join(sandbox, e->name);
      fs::make_dirs(output.empty() ? "." : output);
      // Our own file (the streamed output) is moved when nothing else needs it.
      if (is_own_file(src, run) && uses[e->name] == 1 && delivered_as_is.count(e->name))
        fs::publish_move(src, dest, kOutput);
      else
        fs::publish_copy(src, dest, kOutput);
      delivered[si].push_back(std::move(dest));
    }
  }

  const std::string extras = fs::join(output, "_extras");
  for (const auto& e : listing) {
    if (taken(e.name)) continue;
    std::string src = fs::join(sandbox, e.name);
    if (regular_inside(src, e.kind, sandbox)) {
      if (delivered_as_is.count(e.name)) continue;
      fs::ensure_real_dir(extras);
      fs::publish_copy(src, fs::join(extras, e.name), kOutput);
    } else if (dir_inside(src, e.kind, sandbox)) {
      if (harvested_dirs.count(e.name)) continue;
      fs::ensure_real_dir(extras);
      std::string dest = fs::join(extras, e.name);
      std::string tmp = fs::temp_dir_beside(dest);
      try {
        fs::copy_tree(src, tmp, true, sandbox);
      } catch (...) {
        fs::remove_tree_ignore_errors(tmp);
        throw;
      }
      fs::publish_dir(tmp, dest);
    }
  }

  RunResult result;
  bool all_empty = true;
  for (size_t si = 0; si < plan.outputs.size(); ++si) {
    const OutputSlot& slot = plan.outputs[si];
    ResultEntry entry{slot.name, ResultEntry::Kind::None, {}};
    std::vector<std::string>& paths = delivered[si];
    if (!paths.empty()) {
      all_empty = false;
      if (slot.is_dir) {
        entry.kind = ResultEntry::Kind::Path;
        entry.paths = {fs::join(output, slot.name)};
      } else {
        entry.kind = paths.size() == 1 ? ResultEntry::Kind::Path : ResultEntry::Kind::List;
        entry.paths = std::move(paths);
      }
    }
    result.push_back(std::move(entry));
  }
  if (all_empty && stdout_has_text(run, stdout_at))
    result.push_back({"stdout", ResultEntry::Kind::Path, {stdout_fallback(plan, run, stdout_at)}});
  return result;
}

}  // namespace tavro::rivo
