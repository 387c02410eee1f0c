// Advisory whole-file locks (flock(2)) on a lock file. Separate processes,
// forked or not, that lock the same file serialise against each other, which
// a lock inside one interpreter cannot do. The lock goes with the open file
// description: it is released when the holder is destroyed or its process
// ends, so a dead holder never blocks the others. Plain C++, no Python.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "common/fileops.hpp"

namespace tavro::flock {

enum class Mode { Shared, Exclusive };

struct Options {
  // Runs once when the lock has not been granted after `notice`, so a long
  // wait can be made visible; waiting goes on afterwards, without a limit.
  std::function<void()> on_wait;
  std::chrono::milliseconds notice{1000};
  // Polled while waiting; when it answers true the wait ends by throwing
  // tavro::Aborted (used for Ctrl-C in the host).
  std::function<bool()> should_abort;
};

// Holds a lock on `path` (opened, or created with mode 0666 less the umask)
// for its lifetime. Throws OsError when the file cannot be opened or locked,
// InvalidArgument for a path holding NUL.
class FileLock {
 public:
  FileLock(const std::string& path, Mode mode, const Options& opts = {});
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&&) = default;
  FileLock& operator=(FileLock&&) = default;
  ~FileLock() = default;  // closing the descriptor releases the lock

 private:
  fs::Fd fd_;
};

}  // namespace tavro::flock
