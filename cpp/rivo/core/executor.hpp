// How a command is started: the seam between a run and the machine it runs
// on. The local executor starts a child process here; another (a batch
// system's job) can stand in for it, given the same request.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavro::rivo {

struct ExecRequest {
  std::vector<std::string> argv;                          // argv[0] is looked up on the environment's PATH
  std::optional<std::string> cwd;                         // nullopt: the caller's own
  int cwd_fd = -1;  // the folder cwd names, open: the child enters it by this descriptor (fchdir)
  std::optional<std::vector<std::pair<std::string, std::string>>> env;  // the child's whole environment; nullopt: ours
  std::optional<double> timeout;                          // seconds; at the limit the whole command is ended
  std::optional<std::string> input;                       // bytes for its standard input
  int stdin_fd = -1;                                      // else this descriptor as standard input (-1: ours)
  int stdout_fd = -1;  // a file that is the command's standard output itself; -1: kept in memory
  std::function<bool()> should_abort;  // polled while it runs; true ends it (throws tavro::Aborted)
};

struct ExecResult {
  int status = 0;           // exit status, or -signal
  std::string out;          // in memory: all of it; into stdout_fd: the file's first and last 64 KiB
  std::string err;          // its first and last 64 KiB
  std::uint64_t out_bytes = 0;
  std::string note;         // why the engine ended a failed command (a job out of memory), for its error text
};

class Executor {
 public:
  virtual ~Executor() = default;
  // Runs the command to its end. Throws OsError when it cannot be started
  // (errno and file name as Python's subprocess reports them),
  // proc::TimedOut at the time limit, InvalidArgument for an environment
  // that cannot be handed on.
  virtual ExecResult run(const ExecRequest& request) = 0;
};

// A child process of ours: its own process group (ended as a whole at the
// time limit: SIGTERM, a short grace, SIGKILL), no shell, descriptors above
// 2 closed.
class LocalExecutor final : public Executor {
 public:
  ExecResult run(const ExecRequest& request) override;
};

// Standard error, and the view of a standard output file, are kept in memory only as
// their first and last 64 KiB, for logs and error messages.
inline constexpr std::size_t kCaptureBound = std::size_t{64} << 10;

}  // namespace tavro::rivo
