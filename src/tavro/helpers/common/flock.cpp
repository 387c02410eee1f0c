#include "common/flock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <thread>

namespace tavro::flock {

namespace {

// One non-blocking attempt: true when granted, false when someone else holds
// a conflicting lock.
bool try_lock(int fd, int op, const std::string& path) {
  for (;;) {
    if (::flock(fd, op | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) throw_errno("flock", path);
  }
}

}  // namespace

FileLock::FileLock(const std::string& path, Mode mode, const Options& opts) {
  if (path.find('\0') != std::string::npos) throw InvalidArgument("embedded null byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  // A lock file another user made, or one on a read-only mount: flock works
  // on a descriptor opened for reading as well.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) throw_errno("open", path);
  fd_.reset(fd);
  const int op = mode == Mode::Exclusive ? LOCK_EX : LOCK_SH;
  if (try_lock(fd, op, path)) return;

  // Polling rather than one blocking flock(): the caller can be interrupted
  // (Ctrl-C) and told about a long wait; the pause grows to 50 ms.
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  bool told = false;
  auto pause = std::chrono::milliseconds(1);
  while (!try_lock(fd, op, path)) {
    if (opts.should_abort && opts.should_abort()) throw Aborted();
    if (!told && clock::now() - start >= opts.notice) {
      told = true;
      if (opts.on_wait) opts.on_wait();
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace tavro::flock
