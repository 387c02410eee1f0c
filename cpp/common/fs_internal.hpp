// Pieces shared by the file operation sources (fd, path, walk, copy, remove,
// publish); not for use outside common/.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/path.hpp"
#include "common/walk.hpp"

namespace tavro::fs::detail {

// Retries a call that failed with EINTR. Slow file systems (NFS, FUSE) and
// FIFOs can interrupt open, read, write, copy_file_range and even unlink.
template <class F>
auto no_eintr(F f) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

inline bool has_nul(const std::string& p) { return p.find('\0') != std::string::npos; }

inline const char* cpath(const std::string& p) {
  if (has_nul(p)) throw InvalidArgument("embedded null byte");
  return p.c_str();
}

// A path for error messages, built only when an error is actually reported:
// tree walks touch tens of thousands of entries and fail on almost none.
struct Where {
  const std::string* dir;  // nullptr: name is the whole path
  const char* name;
  std::string str() const { return dir ? join(*dir, name) : std::string(name); }
};

inline Fd open_at(int dirfd, const char* name, int flags, mode_t mode = 0) {
  return Fd(no_eintr([&] { return ::openat(dirfd, name, flags, mode); }));
}

// Writes all of p[0..n), retrying short writes and EINTR. Returns 0 or an errno.
int write_all(int fd, const char* p, size_t n);

// fsync, except where the file system cannot sync this kind of file.
bool sync_failed(int fd);

// readlinkat into `out`, however long the target; false (errno set) on error.
bool read_link(int dirfd, const char* name, std::string& out);

// os.makedirs(path, mode, exist_ok); `path` is known to hold no NUL.
void make_dirs_impl(const std::string& path, mode_t mode, bool exist_ok);

enum class Type { Reg, Dir, Lnk, Special, Unknown };

Type type_of_dtype(unsigned char t);
Type type_of_mode(mode_t m);

}  // namespace tavro::fs::detail
