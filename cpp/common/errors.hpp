// Typed failures of the plain C++ core. The Python glue maps them:
// OsError -> OSError(errno, strerror, filename[, filename2]) so Python picks
// FileNotFoundError, PermissionError, ...; InvalidArgument -> ValueError;
// Refused -> PermissionError; proc::TimedOut (process.hpp) ->
// subprocess.TimeoutExpired. Modules add their own types the same way, each
// with a registered translation.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

namespace tavro {

class OsError : public std::runtime_error {
 public:
  OsError(int err, std::string syscall, std::string path = {}, std::string path2 = {})
      : std::runtime_error(syscall + (path.empty() ? "" : " " + path) + ": errno " +
                           std::to_string(err)),
        err_(err),
        syscall_(std::move(syscall)),
        path_(std::move(path)),
        path2_(std::move(path2)) {}

  int err() const noexcept { return err_; }
  const std::string& syscall() const noexcept { return syscall_; }
  const std::string& path() const noexcept { return path_; }
  const std::string& path2() const noexcept { return path2_; }

 private:
  int err_;
  std::string syscall_;
  std::string path_;
  std::string path2_;
};

class InvalidArgument : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Work refused because going on would be unsafe (a folder another user
// controls, say); the text gives the reason.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when the caller's abort hook asked to stop (a Python signal is
// pending); the glue re-raises the Python exception that was captured.
class Aborted : public std::runtime_error {
 public:
  Aborted() : std::runtime_error("aborted") {}
};

[[noreturn]] inline void throw_errno(const std::string& syscall, const std::string& path = {},
                                     const std::string& path2 = {}) {
  throw OsError(errno, syscall, path, path2);
}

}  // namespace tavro
