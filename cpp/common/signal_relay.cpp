#include "common/signal_relay.hpp"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/errors.hpp"
#include "common/process.hpp"

namespace tavro::proc {
namespace {

// Handler state: plain atomics, the only things a handler may touch.
volatile sig_atomic_t g_pgid = 0;
volatile sig_atomic_t g_pending[NSIG] = {};

void relay_handler(int sig) {
  const int saved = errno;
  if (g_pgid > 0) ::kill(-static_cast<pid_t>(g_pgid), sig);
  if (sig > 0 && sig < NSIG) g_pending[sig] = 1;
  errno = saved;
}

// tcsetpgrp from a background group raises SIGTTOU, which would stop us;
// blocking it for the call is the documented way round.
void set_foreground(pid_t pgid) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTTOU);
  ::sigprocmask(SIG_BLOCK, &block, &old);
  ::tcsetpgrp(STDIN_FILENO, pgid);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

SignalRelay::SignalRelay(const SpawnOptions& o)
    : signals_(o.forward_signals), hook_(o.on_signal), grace_(o.forward_grace) {
  if (signals_.empty()) return;
  g_pgid = 0;
  for (int sig : signals_) {
    if (sig <= 0 || sig >= NSIG) throw InvalidArgument("forward_signals: no such signal");
    g_pending[sig] = 0;
  }
  struct sigaction sa{};
  sa.sa_handler = relay_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  old_.resize(signals_.size());
  for (size_t i = 0; i < signals_.size(); ++i) ::sigaction(signals_[i], &sa, &old_[i]);
}

SignalRelay::~SignalRelay() {
  if (signals_.empty()) return;
  g_pgid = 0;
  for (size_t i = 0; i < signals_.size(); ++i) ::sigaction(signals_[i], &old_[i], nullptr);
}

void SignalRelay::attach(pid_t pgid) {
  if (signals_.empty()) return;
  pgid_ = pgid;
  g_pgid = pgid;
  for (int sig : signals_)
    if (g_pending[sig]) ::kill(-pgid, sig);
}

void SignalRelay::dispatch(bool child_running) {
  if (signals_.empty()) return;
  for (int sig : signals_) {
    if (!g_pending[sig]) continue;
    g_pending[sig] = 0;
    if (!first_seen_) {
      first_seen_ = true;
      first_at_ = std::chrono::steady_clock::now();
    }
    if (hook_) hook_(sig);
  }
  if (first_seen_ && child_running && pgid_ > 0 && std::chrono::steady_clock::now() >= kill_at())
    ::kill(-pgid_, SIGKILL);
}

std::chrono::steady_clock::time_point SignalRelay::kill_at() const {
  return first_at_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(grace_));
}

TerminalHandoff::TerminalHandoff(bool wanted, pid_t pgid) {
  if (!wanted || !::isatty(STDIN_FILENO) || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp()) return;
  set_foreground(pgid);
  handed_ = true;
  // The child may have touched the terminal before it was its own and been
  // stopped for that (SIGTTIN/SIGTTOU); let it go on.
  ::kill(-pgid, SIGCONT);
}

TerminalHandoff::~TerminalHandoff() {
  if (handed_) set_foreground(::getpgrp());
}

}  // namespace tavro::proc
