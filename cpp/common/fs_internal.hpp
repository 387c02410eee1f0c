// Pieces shared by the file operation sources (fd, path, walk, copy, remove,
// atomic_file); not for use outside common/.
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

// os.path.join for one component: no doubled separator after a trailing '/'.
inline std::string join(const std::string& dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out = dir;
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

inline std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

inline std::string base_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Reading directories

struct RawEntry {
  std::string name;
  unsigned char type;  // DT_*
};

// Reads all entries of an open directory in the order the file system hands
// them out, which is the order readdir() and therefore Python's os.scandir
// and os.listdir see. getdents64 on our own descriptor avoids fdopendir's
// extra fcntl+fstat per directory and lets the caller keep using the fd for
// *at() calls. Returns 0 or an errno.
int read_dir(int fd, std::vector<RawEntry>& out);

enum class Type { Reg, Dir, Lnk, Special, Unknown };

Type type_of_dtype(unsigned char t);
Type type_of_mode(mode_t m);

}  // namespace tavro::fs::detail
