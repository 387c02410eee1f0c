// Advisory whole-file locks (flock) on a lock file, shared between processes:
// the rivo project, the connector store and anything else that several worker
// processes on one volume rewrite. Plain C++, no Python.
//
// The lock belongs to the open file description, so it is released when the
// FileLock is destroyed (or release() is called) and by the kernel when the
// holding process dies: a crashed holder never leaves it stuck. On NFS,
// Linux maps flock onto the server's byte-range locks (NFSv4, or NFSv3 with
// lockd); a file system without lock support fails with ENOLCK.
#pragma once

#include <functional>
#include <string>

#include "common/errors.hpp"
#include "common/fd.hpp"

namespace tavro::lock {

enum class Mode { Shared, Exclusive };

struct Options {
  // Create the lock file (mode 0666 less the umask) when it is missing.
  // Without it a missing lock file is not an error: the FileLock is then
  // empty (held() is false) and nothing is locked.
  bool create = true;
  // Called, without any lock held, once the wait has lasted `notice_after`
  // seconds and then again every `notice_every` seconds, with the seconds
  // waited so far. A wait never times out: it lasts until the holder lets go
  // (or dies).
  std::function<void(double waited)> on_wait;
  double notice_after = 1.0;
  double notice_every = 60.0;
  // Polled while waiting; true ends the wait by throwing tavro::Aborted.
  std::function<bool()> should_abort;
};

// Name of the project lock inside a rivo project directory, taken by the
// local rivo command around every change of rivo.toml, rivo.lock and the
// shim folder, and by RIVO's pruning of those files.
inline constexpr const char* kRivoProjectLock = ".rivo-project.lock";

class FileLock {
 public:
  FileLock() = default;
  // Opens (or creates) `path` and waits for the lock. Throws OsError for
  // `path` when it cannot be opened or locked (ENOLCK, ...).
  FileLock(const std::string& path, Mode mode, const Options& options = {});
  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;
  ~FileLock() = default;  // closing the descriptor releases the lock

  bool held() const { return static_cast<bool>(fd_); }
  const std::string& path() const { return path_; }
  void release() { fd_.reset(); }

 private:
  fs::Fd fd_;
  std::string path_;
};

}  // namespace tavro::lock
