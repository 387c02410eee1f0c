// A watchdog for one tool run. rivo ends the tool's group itself on every
// path it can see (the tool ending, a forwarded signal, a failure); the one
// it cannot is its own SIGKILL (a caller's grace ran out, the kernel's
// out-of-memory killer). For that the watchdog, a small process in a session
// of its own (so nothing sent to rivo's group reaches it), waits on a pipe
// that only rivo holds. When the pipe closes without rivo having stopped the
// watchdog first, rivo died mid-run: it sends the tool's group SIGTERM,
// SIGKILL 2 seconds later, and then runs the run's clean-up command.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace rivo {

class RunGuard {
 public:
  // `cleanup`: a command run after the group is ended (argv[0] looked up on
  // PATH), or empty. Without a watchdog (fork failed) the run goes on
  // unguarded: the tool still gets the parent-death signal.
  explicit RunGuard(const std::vector<std::string>& cleanup);
  // The run is over and rivo ended it: the watchdog is stopped and reaped.
  ~RunGuard();
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

  // The tool's process group, as soon as the tool runs.
  void watch(pid_t pgid);

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

}  // namespace rivo
