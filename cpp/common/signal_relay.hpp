// Pieces of the process runner used by pass-through runs: signals received
// by this process handed on to the child's group, and the terminal handed
// to the child's group while it runs. Internal to the runner.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <vector>

namespace tavro::proc {

struct SpawnOptions;

// Forwards the signals named by SpawnOptions::forward_signals. The handlers
// are installed by the constructor (before the child starts, so nothing
// sent in between is lost) and the previous ones restored by the destructor.
class SignalRelay {
 public:
  explicit SignalRelay(const SpawnOptions& o);
  ~SignalRelay();
  SignalRelay(const SignalRelay&) = delete;
  SignalRelay& operator=(const SignalRelay&) = delete;

  // The child's group from now on; signals that came before go there now.
  void attach(pid_t pgid);
  // From the waiting loop: runs the caller's hook for signals that arrived
  // and ends the group once the grace after the first one has passed.
  void dispatch(bool child_running);
  bool active() const { return !signals_.empty(); }
  // A forwarded signal was seen by dispatch(); the group must then be gone
  // by kill_at() (SIGKILL for what is left).
  bool signalled() const { return first_seen_; }
  std::chrono::steady_clock::time_point kill_at() const;

 private:
  std::vector<int> signals_;
  std::vector<struct sigaction> old_;
  std::function<void(int)> hook_;
  double grace_;
  pid_t pgid_ = 0;
  bool first_seen_ = false;
  std::chrono::steady_clock::time_point first_at_;
};

// Gives the controlling terminal to the child's group when stdin is that
// terminal and our group holds it; gives it back on destruction.
class TerminalHandoff {
 public:
  TerminalHandoff(bool wanted, pid_t pgid);
  ~TerminalHandoff();
  TerminalHandoff(const TerminalHandoff&) = delete;
  TerminalHandoff& operator=(const TerminalHandoff&) = delete;

 private:
  bool handed_ = false;
};

}  // namespace tavro::proc
