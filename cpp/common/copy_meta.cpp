// Metadata of copies: extended attributes, mode and times, and symlinks
// copied as symlinks.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/copy_internal.hpp"
#include "common/errors.hpp"

namespace tavro::fs::detail {
namespace {

bool xattr_ignorable(int e) {
  // What shutil._copyxattr shrugs off: the file system has no xattrs (ENOTSUP),
  // the attribute vanished meanwhile (ENODATA), a namespace we may not read or
  // write (EPERM/EACCES, e.g. trusted.* unprivileged, user.* on symlinks),
  // or a name the destination file system rejects (EINVAL).
  return e == ENOTSUP || e == EOPNOTSUPP || e == ENODATA || e == EINVAL || e == EPERM ||
         e == EACCES;
}

// list(buf, size), get(name, buf, size), set(name, value, size) have the
// *listxattr/*getxattr/*setxattr signatures, bound to fds or paths.
template <class List, class Get, class Set>
void copy_xattrs(List list, Get get, Set set, const Where& sw, const Where& dw) {
  char small[1024];
  std::vector<char> big;
  const char* names = small;
  ssize_t n = no_eintr([&] { return list(small, sizeof small); });
  while (n < 0 && errno == ERANGE) {
    // Rare: many or long names. Ask for the size; the set can still grow
    // between the two calls, hence the loop.
    ssize_t need = no_eintr([&] { return list(nullptr, 0); });
    if (need < 0) break;
    big.resize(static_cast<size_t>(need) + 256);
    names = big.data();
    n = no_eintr([&] { return list(big.data(), big.size()); });
  }
  if (n < 0) {
    if (xattr_ignorable(errno)) return;
    throw OsError(errno, "listxattr", sw.str());
  }
  if (n == 0) return;

  std::vector<char> value(4096);
  for (const char* name = names; name < names + n; name += std::strlen(name) + 1) {
    ssize_t len = no_eintr([&] { return get(name, value.data(), value.size()); });
    while (len < 0 && errno == ERANGE) {
      ssize_t need = no_eintr([&] { return get(name, nullptr, 0); });
      if (need < 0) break;
      value.resize(static_cast<size_t>(need) + 256);
      len = no_eintr([&] { return get(name, value.data(), value.size()); });
    }
    if (len < 0) {
      if (xattr_ignorable(errno)) continue;
      throw OsError(errno, "getxattr", sw.str());
    }
    if (no_eintr([&] { return set(name, value.data(), static_cast<size_t>(len)); }) != 0) {
      if (xattr_ignorable(errno)) continue;
      throw OsError(errno, "setxattr", dw.str());
    }
  }
}

void copy_xattrs_fd(int in, int out, const Where& sw, const Where& dw) {
  copy_xattrs([in](char* b, size_t s) { return ::flistxattr(in, b, s); },
              [in](const char* nm, void* b, size_t s) { return ::fgetxattr(in, nm, b, s); },
              [out](const char* nm, const void* v, size_t s) {
                return static_cast<ssize_t>(::fsetxattr(out, nm, v, s, 0));
              },
              sw, dw);
}

}  // namespace

void copy_stat_fd(int in, int out, const struct stat& sst, const Where& sw, const Where& dw) {
  // xattrs go first: once the mode is read-only a non-root owner can no
  // longer set user.* attributes (EACCES), the reason shutil orders it so.
  copy_xattrs_fd(in, out, sw, dw);
  if (::fchmod(out, sst.st_mode & 07777) != 0) throw OsError(errno, "chmod", dw.str());
  // Times last: nothing after this may touch the destination's mtime.
  const struct timespec ts[2] = {sst.st_atim, sst.st_mtim};
  if (::futimens(out, ts) != 0) throw OsError(errno, "utime", dw.str());
}

void copy_symlink(const std::string& src, const std::string& target, const std::string& dst) {
  if (::symlink(target.c_str(), dst.c_str()) != 0) throw OsError(errno, "symlink", target, dst);
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0) throw OsError(errno, "stat", src);
  const Where sw{nullptr, src.c_str()}, dw{nullptr, dst.c_str()};
  const struct timespec ts[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, dst.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    throw OsError(errno, "utime", dst);
  // Linux has no lchmod: a symlink's mode is always 0777, nothing to copy.
  const char* s = src.c_str();
  const char* d = dst.c_str();
  copy_xattrs([s](char* b, size_t n) { return ::llistxattr(s, b, n); },
              [s](const char* nm, void* b, size_t n) { return ::lgetxattr(s, nm, b, n); },
              [d](const char* nm, const void* v, size_t n) {
                return static_cast<ssize_t>(::lsetxattr(d, nm, v, n, 0));
              },
              sw, dw);
}

}  // namespace tavro::fs::detail
