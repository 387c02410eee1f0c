#include "common/flock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "common/fs_internal.hpp"

namespace tavro::lock {
namespace {

using Clock = std::chrono::steady_clock;

fs::Fd open_lock_file(const std::string& path, bool create) {
  const char* p = fs::detail::cpath(path);
  // Read-write where possible: NFS grants an exclusive lock only on a file
  // open for writing. A lock file another user made read-only still serves
  // for shared locks.
  int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
  fs::Fd fd = fs::detail::open_at(AT_FDCWD, p, flags, 0666);
  if (!fd && (errno == EACCES || errno == EROFS)) {
    int first = errno;
    fd = fs::detail::open_at(AT_FDCWD, p, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (!fd) errno = first;
  }
  return fd;
}

}  // namespace

FileLock::FileLock(const std::string& path, Mode mode, const Options& options) : path_(path) {
  fs::Fd fd = open_lock_file(path, options.create);
  if (!fd) {
    if (errno == ENOENT && !options.create) return;
    throw OsError(errno, "open", path);
  }
  const int op = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  const auto start = Clock::now();
  double next_notice = options.notice_after;
  auto pause = std::chrono::milliseconds(1);
  // Polled rather than blocking, so a pending signal (should_abort) and the
  // notices are served while waiting.
  while (::flock(fd.get(), op) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) throw OsError(errno, "flock", path);
    if (options.should_abort && options.should_abort()) throw Aborted();
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (waited >= next_notice) {
      if (options.on_wait) options.on_wait(waited);
      next_notice = waited + std::max(options.notice_every, 0.1);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  fd_ = std::move(fd);
}

}  // namespace tavro::lock
