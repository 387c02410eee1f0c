#include "common/fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs {
namespace detail {

int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;  // never for files; do not spin if a driver does it
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

bool sync_failed(int fd) { return ::fsync(fd) != 0 && errno != EINVAL; }

}  // namespace detail

using namespace detail;

void write_file(const std::string& path, std::string_view bytes) {
  Fd fd = open_at(AT_FDCWD, cpath(path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (!fd) throw OsError(errno, "open", path);
  if (int e = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(e, "write", path);
  if (int e = fd.close_checked()) throw OsError(e, "close", path);
}

std::string read_file(const std::string& path) {
  Fd fd = open_at(AT_FDCWD, cpath(path), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (!fd) throw OsError(errno, "open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = no_eintr([&] { return ::read(fd.get(), buf, sizeof buf); });
    if (n < 0) throw OsError(errno, "read", path);
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

void sync_dir(const std::string& dir) noexcept {
  if (has_nul(dir)) return;
  Fd fd = open_at(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd) (void)::fsync(fd.get());
}

}  // namespace tavro::fs
