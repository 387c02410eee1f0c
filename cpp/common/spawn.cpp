#include "common/spawn.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/process.hpp"

extern char** environ;

namespace tavro::proc {
namespace {

enum Stage : int { kStarted = 0, kSetup = 1, kChdir = 2, kExec = 3 };

// What the child reads, all prepared before the clone. Until it calls exec
// the child runs on our memory (CLONE_VM) while the cloning thread waits
// (CLONE_VFORK): it may only make async-signal-safe calls, never allocate,
// and reports a failure by writing `err` and `stage` here.
struct Plan {
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* const* candidates = nullptr;
  std::size_t n_candidates = 0;
  const char* cwd = nullptr;
  int cwd_fd = -1;
  ChildFds fds;
  int death_signal = 0;
  pid_t parent = 0;
  int fd_limit = 0;  // for closing by hand where close_range is missing
  int err = 0;
  int stage = kStarted;
};

// Both run in the child between clone and exec, on a stack of their own.
// Not instrumented by sanitizers: their bookkeeping (a noreturn call makes
// them unwind the stack they know) belongs to the thread whose memory this is.
#define TAVRO_CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

TAVRO_CHILD_CODE [[noreturn]] void child_fail(Plan* p, int stage) {
  p->err = errno;
  p->stage = stage;
  ::_exit(127);
}

TAVRO_CHILD_CODE int child_main(void* arg) {
  Plan* p = static_cast<Plan*>(arg);
  // Every signal is still blocked (the parent blocked them all for the
  // clone), so no handler of ours can run here; defaults first, then the
  // mask. A tool must not inherit the host's ignored SIGPIPE either.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);

  if (::setpgid(0, 0) != 0) child_fail(p, kSetup);

  sigset_t none;
  sigemptyset(&none);
  if (p->death_signal) {
    if (::prctl(PR_SET_PDEATHSIG, p->death_signal) != 0) child_fail(p, kSetup);
    // A parent that died before the signal was armed never sends it: end as
    // if it had come. (kill, not raise: raise would read the thread id of the
    // thread whose memory this is.)
    if (::getppid() != p->parent) {
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::kill(::getpid(), p->death_signal);
      ::_exit(128 + p->death_signal);
    }
  }

  // Entered first: the dup2s below may reuse a low descriptor number.
  if (p->cwd_fd >= 0 && ::fchdir(p->cwd_fd) != 0) child_fail(p, kChdir);
  if (p->fds.in >= 0 && ::dup2(p->fds.in, 0) < 0) child_fail(p, kSetup);
  if (p->fds.out >= 0 && ::dup2(p->fds.out, 1) < 0) child_fail(p, kSetup);
  if (p->fds.err >= 0 && ::dup2(p->fds.err, 2) < 0) child_fail(p, kSetup);
  if (p->cwd_fd < 0 && p->cwd && ::chdir(p->cwd) != 0) child_fail(p, kChdir);
  if (::close_range(3, ~0U, 0) != 0)
    for (int fd = 3; fd < p->fd_limit; ++fd) ::close(fd);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  // As _posixsubprocess: every candidate in turn; the error reported is the
  // first one that is not "no such file", else the last.
  int saved = 0;
  errno = ENOENT;
  for (std::size_t i = 0; i < p->n_candidates; ++i) {
    ::execve(p->candidates[i], p->argv, p->envp);
    if (errno != ENOENT && errno != ENOTDIR && saved == 0) saved = errno;
  }
  if (saved) errno = saved;
  child_fail(p, kExec);
}

constexpr std::size_t kChildStack = 256 * 1024;

}  // namespace

pid_t spawn_child(const SpawnOptions& o, const ChildFds& fds) {
  std::vector<char*> argv;
  for (const auto& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (o.env) {
    for (const auto& kv : *o.env) envp.push_back(const_cast<char*>(kv.c_str()));
    envp.push_back(nullptr);
  }
  const std::string& prog = o.executable ? *o.executable : o.argv.at(0);
  const std::vector<std::string> candidates = exec_candidates(prog, o.env);
  std::vector<const char*> cand;
  for (const auto& c : candidates) cand.push_back(c.c_str());

  Plan plan;
  plan.argv = argv.data();
  plan.envp = o.env ? envp.data() : environ;
  plan.candidates = cand.data();
  plan.n_candidates = cand.size();
  plan.cwd = o.cwd ? o.cwd->c_str() : nullptr;
  plan.cwd_fd = o.cwd_fd;
  plan.fds = fds;
  plan.death_signal = o.parent_death_signal;
  plan.parent = ::getpid();
  plan.fd_limit = static_cast<int>(std::clamp<long>(::sysconf(_SC_OPEN_MAX), 256, 1 << 16));
  if (plan.death_signal < 0 || plan.death_signal >= NSIG)
    throw InvalidArgument("parent_death_signal: no such signal");

  void* stack = ::mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) throw_errno("mmap");
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::clone(child_main, static_cast<char*>(stack) + kChildStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  const int clone_err = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::munmap(stack, kChildStack);
  if (pid < 0) throw OsError(clone_err, "clone");

  if (plan.stage != kStarted) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (plan.stage == kChdir) throw OsError(plan.err, "chdir", o.cwd ? *o.cwd : std::string());
    if (plan.stage == kExec) throw OsError(plan.err, "execve", prog);
    throw OsError(plan.err, "spawn");
  }
  return pid;
}

}  // namespace tavro::proc
