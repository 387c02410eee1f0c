#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/copy.hpp"
#include "common/errors.hpp"
#include "common/fs_internal.hpp"
#include "common/random.hpp"

namespace tavro::fs {
namespace {

using namespace detail;

// Creates a fresh file beside `target` with the default creation mode (the
// umask and default ACLs apply as for any new file). Returns an empty Fd with
// errno set when the directory does not let us create one.
Fd create_sibling(const std::string& target, std::string& tmp_path) {
  const std::string stem = dir_of(target) + "/." + base_of(target) + ".tmp-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp_path = stem + random_hex();
    Fd fd = open_at(AT_FDCWD, tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Fd();
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

}  // namespace

void replace_file(const std::string& path, std::string_view bytes, const ReplaceOptions& opts) {
  const std::string target = opts.replace_link ? std::string(cpath(path)) : link_target(cpath(path));
  struct stat old {};
  const bool had_old = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  std::string tmp;
  Fd fd = create_sibling(target, tmp);
  if (!fd) {
    int e = errno;
    if (e != EACCES && e != EPERM) throw OsError(e, "open", path);
    // A directory we may not add entries to, holding a file we may write.
    fd = open_at(AT_FDCWD, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (!fd) throw OsError(errno, "open", path);
    if (int w = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(w, "write", path);
    if (opts.mode && ::fchmod(fd.get(), *opts.mode) != 0) throw OsError(errno, "chmod", path);
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", path);
    if (int c = fd.close_checked()) throw OsError(c, "close", path);
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

void publish_file(const std::string& tmp, const std::string& dst) {
  {
    Fd fd = open_at(AT_FDCWD, cpath(tmp), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (!fd) throw OsError(errno, "open", tmp);
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", tmp);
  }
  rename_durably(tmp, dst);
}

void rename_durably(const std::string& from, const std::string& to) {
  if (::rename(cpath(from), cpath(to)) != 0) throw OsError(errno, "rename", from, to);
  sync_dir(dir_of(to));
}

void move_file(const std::string& src, const std::string& dst) {
  if (::rename(cpath(src), cpath(dst)) == 0) {
    sync_dir(dir_of(dst));
    return;
  }
  if (errno != EXDEV) throw OsError(errno, "rename", src, dst);
  std::string tmp;
  Fd out = create_sibling(dst, tmp);
  if (!out) throw OsError(errno, "open", dst);
  out.reset();
  try {
    copy_file(src, tmp);
    publish_file(tmp, dst);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (::unlink(src.c_str()) != 0) throw OsError(errno, "unlink", src);
}

}  // namespace tavro::fs
