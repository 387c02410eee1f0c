#include "run_guard.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/process.hpp"

namespace rivo {
namespace {

constexpr auto kGrace = std::chrono::seconds(2);
constexpr unsigned kCleanupSeconds = 30;

// The watchdog itself: a fork of rivo (which runs one thread, so the child
// may do more than async-signal-safe calls, though it needs little).
[[noreturn]] void watchdog(int rd, char* const* cleanup) {
  ::setsid();
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_IGN);
  // rivo's standard streams may be a caller's capture pipes: never hold them.
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0)
    for (int fd = 0; fd < 3; ++fd) ::dup2(null_fd, fd);
  if (rd > 3) ::close_range(3, static_cast<unsigned>(rd) - 1, 0);
  ::close_range(static_cast<unsigned>(rd) + 1, ~0U, 0);

  pid_t pgid = 0;
  size_t got = 0;
  char* into = reinterpret_cast<char*>(&pgid);
  while (got < sizeof pgid) {
    ssize_t n = ::read(rd, into + got, sizeof pgid - got);
    if (n > 0) got += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else break;
  }
  if (got < sizeof pgid) pgid = 0;
  char byte;
  while (true) {  // nothing more is ever sent: this returns when rivo is gone
    ssize_t n = ::read(rd, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }

  if (pgid > 0) {
    ::kill(-pgid, SIGTERM);
    const auto kill_at = std::chrono::steady_clock::now() + kGrace;
    while (tavro::proc::group_running(pgid) && std::chrono::steady_clock::now() < kill_at)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(-pgid, SIGKILL);
  }
  if (cleanup[0]) {
    ::signal(SIGPIPE, SIG_DFL);
    ::alarm(kCleanupSeconds);
    ::execvp(cleanup[0], cleanup);
  }
  ::_exit(0);
}

}  // namespace

RunGuard::RunGuard(const std::vector<std::string>& cleanup) {
  std::vector<char*> argv;
  for (const auto& a : cleanup) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int sv[2];
  // A socket rather than a pipe: a write to a dead watchdog must fail with
  // EPIPE (MSG_NOSIGNAL), not raise SIGPIPE in rivo.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(sv[0]);
    watchdog(sv[1], argv.data());
  }
  ::close(sv[1]);
  if (pid < 0) {
    ::close(sv[0]);
    return;
  }
  pid_ = pid;
  fd_ = sv[0];
}

RunGuard::~RunGuard() {
  if (pid_ <= 0) return;
  // Stopped before its pipe closes, so it never mistakes this for rivo dying.
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  ::close(fd_);
}

void RunGuard::watch(pid_t pgid) {
  if (fd_ < 0) return;
  ssize_t n;
  do {
    n = ::send(fd_, &pgid, sizeof pgid, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
}

}  // namespace rivo
