#include "common/publish.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/fs_internal.hpp"
#include "common/random.hpp"

namespace tavro::fs {
namespace {

using namespace detail;

// ".<name>.tmp-" beside the final name, the name cut to stay within NAME_MAX.
std::string temp_stem(const std::string& final_path) {
  std::string base = base_of(final_path);
  if (base.size() > 200) base.resize(200);
  return dir_of(final_path) + "/." + base + ".tmp-";
}

// Creates a fresh file beside `final_path` with the default creation mode
// (the umask and default ACLs apply as for any new file). Returns an empty Fd
// with errno set when the directory does not let us create one.
Fd create_temp_beside(const std::string& final_path, std::string& tmp_path) {
  const std::string stem = temp_stem(final_path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp_path = stem + random_hex(6);
    Fd fd = open_at(AT_FDCWD, tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Fd();
}

bool lstat_of(const std::string& path, struct stat& st) { return ::lstat(path.c_str(), &st) == 0; }

// Swaps two names in one step; false when the file system cannot.
bool exchange(const std::string& a, const std::string& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return false;
  throw OsError(errno, "rename", a, b);
}

// Removes what was at a final name after it was swapped out.
void discard(const std::string& path) {
  struct stat st;
  if (!lstat_of(path, st)) return;
  if (S_ISDIR(st.st_mode))
    remove_tree_ignore_errors(path);
  else
    ::unlink(path.c_str());
}

// rename(2) that never replaces: false when `dst` exists.
bool rename_no_replace(const std::string& tmp, const std::string& dst) {
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EEXIST) return false;
  // File systems without the flag (NFS among them): check, then rename.
  if (err != EINVAL && err != ENOSYS) throw OsError(err, "rename", tmp, dst);
  struct stat st;
  if (lstat_of(dst, st)) return false;
  if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", tmp, dst);
  return true;
}

// The file a write through `path` lands in: symlinks at `path` followed one
// by one, as open(2) does, so a dangling link yields the path it names.
std::string link_target(const std::string& path) {
  std::string cur = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::string next;
    if (!read_link(AT_FDCWD, cur.c_str(), next)) return cur;
    cur = !next.empty() && next[0] == '/' ? next : join(dir_of(cur), next);
  }
  throw OsError(ELOOP, "open", path);
}

// A directory we may not add entries to, holding a file we may write: the
// file is rewritten in place, the only way left.
void rewrite_in_place(const std::string& path, const std::string& target, std::string_view bytes,
                      const PublishBytes& opts) {
  Fd fd = open_at(AT_FDCWD, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (!fd) throw OsError(errno, "open", path);
  if (int w = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(w, "write", path);
  if (opts.mode && ::fchmod(fd.get(), *opts.mode) != 0) throw OsError(errno, "chmod", path);
  if (sync_failed(fd.get())) throw OsError(errno, "fsync", path);
  if (int c = fd.close_checked()) throw OsError(c, "close", path);
}

}  // namespace

bool publish(const std::string& tmp, const std::string& dst, const Publish& how) {
  if (how.sync) {
    Fd fd = open_at(AT_FDCWD, cpath(tmp), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (!fd) throw OsError(errno, "open", tmp);
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", tmp);
  }
  if (how.keep_existing) {
    if (!rename_no_replace(cpath(tmp), cpath(dst))) {
      ::unlink(tmp.c_str());
      return false;
    }
  } else if (::rename(cpath(tmp), cpath(dst)) != 0) {
    throw OsError(errno, "rename", tmp, dst);
  }
  if (how.sync) sync_dir(dir_of(dst));
  return true;
}

bool publish_copy(const std::string& src, const std::string& dst, const Publish& how) {
  std::string tmp;
  Fd fd = create_temp_beside(cpath(dst), tmp);
  if (!fd) throw OsError(errno, "open", dst);
  fd.reset();
  try {
    copy_file(src, tmp);
    return publish(tmp, dst, how);
  } catch (OsError& e) {
    ::unlink(tmp.c_str());
    // The temporary is gone: a failed rename names the final name alone.
    if (e.syscall() == "rename") throw OsError(e.err(), "rename", dst);
    throw;
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

void publish_move(const std::string& src, const std::string& dst, const Publish& how) {
  if (::rename(cpath(src), cpath(dst)) == 0) {
    if (how.sync) sync_dir(dir_of(dst));
    return;
  }
  if (errno != EXDEV) throw OsError(errno, "rename", src, dst);
  publish_copy(src, dst, how);
  if (::unlink(src.c_str()) != 0) throw OsError(errno, "unlink", src);
}

void publish_bytes(const std::string& path, std::string_view bytes, const PublishBytes& opts) {
  const std::string target = opts.replace_link ? std::string(cpath(path)) : link_target(cpath(path));
  struct stat old {};
  const bool had_old = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  std::string tmp;
  Fd fd = create_temp_beside(target, tmp);
  if (!fd) {
    int e = errno;
    if (e != EACCES && e != EPERM) throw OsError(e, "open", path);
    rewrite_in_place(path, target, bytes, opts);
    return;
  }
  try {
    if (int w = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(w, "write", path);
    if (opts.mode) {
      if (::fchmod(fd.get(), *opts.mode) != 0) throw OsError(errno, "chmod", path);
    } else if (had_old) {
      // Owner first: chown clears setuid/setgid bits that chmod then restores.
      // Not ours to give away: the file then stays the writer's own.
      if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
        (void)!::fchown(fd.get(), old.st_uid, old.st_gid);
      if (::fchmod(fd.get(), old.st_mode & 07777) != 0) throw OsError(errno, "chmod", path);
    }
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", path);
    if (int c = fd.close_checked()) throw OsError(c, "close", path);
    if (::rename(tmp.c_str(), target.c_str()) != 0) throw OsError(errno, "rename", path);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  sync_dir(dir_of(target));
}

std::string temp_dir_beside(const std::string& final_path) {
  std::string pattern = temp_stem(final_path) + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw OsError(errno, "mkdir", pattern);
  return std::string(buf.data());
}

void publish_dir(const std::string& tmp, const std::string& dst) {
  try {
    struct stat st;
    if (!lstat_of(dst, st)) {
      if (errno != ENOENT) throw OsError(errno, "stat", dst);
      if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", dst);
      return;
    }
    if (S_ISREG(st.st_mode)) throw OsError(EEXIST, "mkdir", dst);
    if (exchange(tmp, dst)) {
      discard(tmp);  // now the old content
      return;
    }
    // No exchange on this file system: move the old entry aside first.
    if (!S_ISDIR(st.st_mode)) {
      if (::unlink(dst.c_str()) != 0 && errno != ENOENT) throw OsError(errno, "unlink", dst);
      if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", tmp, dst);
      return;
    }
    std::string aside = temp_dir_beside(dst);
    if (::rename(dst.c_str(), aside.c_str()) != 0) {
      int e = errno;
      ::rmdir(aside.c_str());
      throw OsError(e, "rename", dst, aside);
    }
    if (::rename(tmp.c_str(), dst.c_str()) != 0) {
      int e = errno;
      (void)::rename(aside.c_str(), dst.c_str());
      throw OsError(e, "rename", tmp, dst);
    }
    discard(aside);
  } catch (...) {
    remove_tree_ignore_errors(tmp);
    throw;
  }
}

void ensure_real_dir(const std::string& path) {
  struct stat st;
  if (lstat_of(path, st) && !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw OsError(errno, "unlink", path);
  }
  make_dirs(path);
}

}  // namespace tavro::fs
