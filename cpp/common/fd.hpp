// An owned file descriptor, and whole-file reads and writes through one.
// Plain C++, no Python; see fileops.hpp for the conventions of every file
// operation here (errors, NUL bytes, EINTR, threads).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

namespace tavro::fs {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }
  // Closes and returns the error (0 if none): NFS and FUSE deliver failed
  // write-back here. Linux releases the descriptor even when close() says
  // EINTR, so retrying could close someone else's fd; EINTR counts as closed.
  int close_checked() {
    int fd = std::exchange(fd_, -1);
    if (fd < 0 || ::close(fd) == 0 || errno == EINTR) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
};

// open(path, "wb").write(bytes): creates or truncates path (mode 0666 &
// ~umask, a symlink at path is followed) and writes all of bytes. A failure
// to write or to close (NFS reports late errors there) throws. As in Python,
// a FIFO at path blocks until it has a reader.
void write_file(const std::string& path, std::string_view bytes);

// open(path, "rb").read(): the whole file. Throws OsError for path (ENOENT
// when it is missing).
std::string read_file(const std::string& path);

// fsync of a directory, making names created or renamed in it durable. Best
// effort: some file systems refuse it, and the data is in place either way.
void sync_dir(const std::string& dir) noexcept;

}  // namespace tavro::fs
