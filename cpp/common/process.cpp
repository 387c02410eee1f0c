#include "common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/capture.hpp"
#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/signal_relay.hpp"
#include "common/spawn.hpp"

namespace tavro::proc {

namespace {

std::string seconds_text(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", s);
  return buf;
}

}  // namespace

TimedOut::TimedOut(std::vector<std::string> argv_, double timeout_, std::string out_, std::string err_)
    : std::runtime_error("timed out after " + seconds_text(timeout_) + " seconds"),
      argv(std::move(argv_)),
      timeout(timeout_),
      out(std::move(out_)),
      err(std::move(err_)) {}

namespace {

using Clock = std::chrono::steady_clock;

using fs::Fd;

// pipe2 may hand out 0..2 when the host closed its standard streams; the
// child's dup2 onto 0..2 must never see its own target as a source, so such
// descriptors are moved up first.
void make_pipe(Fd& rd, Fd& wr) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw_errno("pipe2");
  for (int& fd : p) {
    if (fd < 3) {
      int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      int saved = errno;
      ::close(fd);
      if (moved < 0) {
        ::close(p[0] == fd ? p[1] : p[0]);
        throw OsError(saved, "fcntl");
      }
      fd = moved;
    }
  }
  rd.reset(p[0]);
  wr.reset(p[1]);
}

void set_nonblocking(int fd) {
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Pipes {
  Fd in_r, in_w, out_r, out_w, err_r, err_w, stdin_src, stdout_file;
};

// Whether the file system under the stdout file has no room left for us
// while the file holds output: the tool's next write there fails (root may
// use the blocks reserved for it, so root counts those as room).
bool out_of_space(int fd) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  struct statvfs vs;
  if (::fstatvfs(fd, &vs) != 0 || vs.f_blocks == 0) return false;
  return (::geteuid() == 0 ? vs.f_bfree : vs.f_bavail) == 0;
}

bool exited_nowait(pid_t pid) {
  siginfo_t info;
  info.si_pid = 0;
  if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

class Session {
 public:
  Session(const SpawnOptions& o, Pipes& p, pid_t pid, SignalRelay& relay)
      : o_(o),
        p_(p),
        pid_(pid),
        limit_(o.max_output ? o.max_output : SIZE_MAX),
        relay_(relay),
        err_cap_(o.capture_bound) {
    if (o.input) {
      set_nonblocking(p.in_w.get());
      if (o.input->empty()) p.in_w.reset();
    }
    if (p.out_r.get() >= 0) set_nonblocking(p.out_r.get());
    if (p.err_r.get() >= 0) set_nonblocking(p.err_r.get());
  }

  Result wait() {
    const auto start = Clock::now();
    std::optional<Clock::time_point> exited_at;
    Clock::time_point last_data = start;
    Clock::time_point last_abort_check = start;
    Clock::time_point last_space_check = start;
    int backoff_us = 50;
    while (true) {
      const bool open = p_.out_r.get() >= 0 || p_.err_r.get() >= 0 || p_.in_w.get() >= 0;
      if (!exited_at && exited_nowait(pid_)) exited_at = Clock::now();
      relay_.dispatch(!exited_at);
      // After a forwarded signal the leader's end is not the run's end: the
      // rest of its group (a background job that ignores SIGINT, a member
      // that ignores SIGTERM) is ended before we return.
      if (exited_at && relay_.signalled() && !group_ended_) {
        end_group(relay_.kill_at());
        continue;
      }
      if (!open && exited_at) break;
      // A grandchild may keep the pipes open after the child is gone; stop
      // reading once they have been quiet for a moment.
      if (exited_at && seconds_since(std::max(*exited_at, last_data)) > kLinger) break;
      if (o_.timeout && seconds_since(start) >= *o_.timeout) {
        stop_group(o_.kill_grace);
        Result part;
        fill(part);
        throw TimedOut(o_.argv, *o_.timeout, std::move(part.out), std::move(part.err));
      }
      if (o_.stdout_fd >= 0 && !exited_at && seconds_since(last_space_check) >= 0.1) {
        last_space_check = Clock::now();
        if (out_of_space(o_.stdout_fd)) {
          stop_group(0.5);
          throw OsError(ENOSPC, "write");
        }
      }
      // The hook takes the GIL; asking at most every 100 ms keeps a chatty
      // tool from competing with the host's Python threads for it.
      if (o_.should_abort && seconds_since(last_abort_check) >= 0.1) {
        last_abort_check = Clock::now();
        if (o_.should_abort()) {
          stop_group(0.5);
          throw Aborted();
        }
      }
      int slice_ms = 100;
      if (o_.timeout) {
        double left = *o_.timeout - seconds_since(start);
        slice_ms = std::clamp(static_cast<int>(left * 1000) + 1, 1, 100);
      }
      if (open) {
        if (pump(slice_ms)) last_data = Clock::now();
        backoff_us = 50;
        if (out_.size() >= limit_) return end_capped();
      } else {
        // Pipes closed (or never captured) but the child has not been seen
        // to exit: usually it is a few microseconds from doing so, so start
        // with short pauses and grow them for a child that really runs on.
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(backoff_us, slice_ms * 1000)));
        backoff_us = std::min(backoff_us * 2, 20000);
      }
    }
    Result r;
    r.returncode = reap_once();
    // The tool may have failed on it, or written on regardless: either way
    // the file lacks what it printed last.
    if (out_of_space(o_.stdout_fd)) throw OsError(ENOSPC, "write");
    fill(r);
    return r;
  }

 private:
  static constexpr double kLinger = 1.0;
  // After SIGKILL the group is gone within milliseconds unless a member is
  // stuck in the kernel (an NFS read): then we stop waiting for it.
  static constexpr double kAfterKill = 1.0;
  // Bytes read from one pipe per round, so that a child writing faster than
  // we read cannot keep us from checking the time limit and the abort hook.
  static constexpr size_t kRoundBytes = 1 << 20;

  // One poll round; returns true when any bytes moved.
  bool pump(int timeout_ms) {
    pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (p_.out_r.get() >= 0) { idx_out = n; fds[n++] = {p_.out_r.get(), POLLIN, 0}; }
    if (p_.err_r.get() >= 0) { idx_err = n; fds[n++] = {p_.err_r.get(), POLLIN, 0}; }
    if (p_.in_w.get() >= 0) { idx_in = n; fds[n++] = {p_.in_w.get(), POLLOUT, 0}; }
    int rc = ::poll(fds, n, timeout_ms);
    if (rc <= 0) return false;
    bool moved = false;
    if (idx_out >= 0 && fds[idx_out].revents) {
      moved |= drain(p_.out_r, out_, limit_, true);
      if (out_.size() >= limit_) p_.out_r.reset();  // full: nothing more is read
    }
    if (idx_err >= 0 && fds[idx_err].revents) {
      if (o_.capture_bound) moved |= drain_bounded(p_.err_r, err_cap_);
      else moved |= drain(p_.err_r, err_, limit_, false);
    }
    if (idx_in >= 0 && fds[idx_in].revents) moved |= feed();
    return moved;
  }

  // Reads what the pipe holds into `sink`, which never grows beyond `limit`.
  // At the limit, `stop_at_limit` leaves the rest unread (stdout: the caller
  // ends the child); otherwise further bytes are read and dropped.
  static bool drain(Fd& fd, std::string& sink, size_t limit, bool stop_at_limit) {
    char buf[65536];
    bool moved = false;
    for (size_t round = 0; round < kRoundBytes;) {
      size_t want = sizeof buf;
      if (stop_at_limit) {
        if (sink.size() >= limit) return moved;
        want = std::min(want, limit - sink.size());
      }
      ssize_t k = ::read(fd.get(), buf, want);
      if (k > 0) {
        const size_t got = static_cast<size_t>(k);
        sink.append(buf, std::min(got, limit - std::min(limit, sink.size())));
        round += got;
        moved = true;
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno == EAGAIN) return moved;
      fd.reset();  // EOF or a read error: this stream is finished
      return moved;
    }
    return moved;
  }

  // Stdout reached the cap: the child's group is ended at once (no grace:
  // nothing it does now is wanted) and the child reaped.
  Result end_capped() {
    ::kill(-pid_, SIGKILL);
    p_.in_w.reset();
    p_.out_r.reset();
    p_.err_r.reset();
    Result r;
    r.returncode = reap_once();
    fill(r);
    r.truncated = true;
    return r;
  }

  // ---- bounded captures

  bool drain_bounded(Fd& fd, capture::Bounded& sink) {
    int no_copy = 0;
    auto r = capture::pump_pipe(fd.get(), sink, -1, no_copy, err_buf_, kRoundBytes);
    if (r.eof) fd.reset();
    return r.moved > 0;
  }

  void fill(Result& r) {
    if (o_.stdout_fd >= 0) {
      struct stat st;
      if (::fstat(o_.stdout_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        r.out_bytes = static_cast<std::uint64_t>(st.st_size);
        if (int e = capture::file_view(o_.stdout_fd, r.out_bytes, o_.capture_bound, r.out)) throw OsError(e, "read");
      }
    } else {
      r.out = std::move(out_);
      r.out_bytes = r.out.size();
    }
    if (o_.capture_bound) {
      r.err = err_cap_.text();
      r.err_bytes = err_cap_.total();
    } else {
      r.err = std::move(err_);
      r.err_bytes = r.err.size();
    }
  }

  bool feed() {
    const std::string& in = *o_.input;
    while (written_ < in.size()) {
      size_t chunk = std::min<size_t>(in.size() - written_, 65536);
      ssize_t k = ::write(p_.in_w.get(), in.data() + written_, chunk);
      if (k > 0) {
        written_ += static_cast<size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno == EAGAIN) return true;
      break;  // EPIPE: the child stopped reading, like subprocess we drop the rest
    }
    p_.in_w.reset();
    return true;
  }

  int reap_once() {
    if (!reaped_) {
      status_ = reap(pid_);
      reaped_ = true;
    }
    return status_;
  }

  // Ends the child's whole group before we return: SIGTERM to every member
  // now (rivo and a container client stop their container on it), SIGKILL
  // at `kill_at` to whatever is left, and a short bounded wait for the
  // killed to vanish (a process stuck in the kernel cannot be helped). The
  // pipes are read meanwhile, so a member writing to them is not blocked.
  // The child is reaped last, so its pid (the group id) cannot be reused
  // while we still signal the group.
  void end_group(Clock::time_point kill_at) {
    group_ended_ = true;
    ::kill(-pid_, SIGTERM);
    std::optional<Clock::time_point> killed_at;
    while (true) {
      if (exited_nowait(pid_) && !group_running(pid_)) break;
      if (!killed_at && Clock::now() >= kill_at) {
        ::kill(-pid_, SIGKILL);
        killed_at = Clock::now();
        p_.in_w.reset();
      }
      if (killed_at && seconds_since(*killed_at) > kAfterKill) break;
      relay_.dispatch(!exited_nowait(pid_));
      if (p_.out_r.get() >= 0 || p_.err_r.get() >= 0) pump(20);
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reap_once();
  }

  // The time limit or an abort: the group ends (see end_group), then a
  // bounded drain, since a grandchild that left the group may still hold
  // the pipes and must not hang us.
  void stop_group(double grace) {
    end_group(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(grace)));
    p_.in_w.reset();
    const auto t1 = Clock::now();
    while ((p_.out_r.get() >= 0 || p_.err_r.get() >= 0) && seconds_since(t1) < 0.5) pump(20);
    p_.out_r.reset();
    p_.err_r.reset();
  }

  const SpawnOptions& o_;
  Pipes& p_;
  pid_t pid_;
  size_t limit_;
  SignalRelay& relay_;
  std::string out_, err_;
  size_t written_ = 0;
  capture::Bounded err_cap_;
  std::vector<char> err_buf_;
  bool reaped_ = false;
  int status_ = 0;
  bool group_ended_ = false;
};

}  // namespace

Result run(const SpawnOptions& o) {
  if (o.argv.empty()) throw InvalidArgument("empty argument vector");
  SignalRelay relay(o);
  Pipes p;
  if (o.passthrough) {
    // stdin, stdout and stderr stay ours: nothing to set up
  } else if (o.input) make_pipe(p.in_r, p.in_w);
  else if (o.stdin_fd >= 0) {
    int fd = ::fcntl(o.stdin_fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw_errno("fcntl");
    p.stdin_src.reset(fd);
  }
  if (o.capture && !o.passthrough) {
    if (o.stdout_fd >= 0) {
      int fd = ::fcntl(o.stdout_fd, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) throw_errno("fcntl");
      p.stdout_file.reset(fd);
    } else {
      make_pipe(p.out_r, p.out_w);
    }
    make_pipe(p.err_r, p.err_w);
  }
  ChildFds fds;
  fds.in = p.in_r.get() >= 0 ? p.in_r.get() : p.stdin_src.get();
  fds.out = p.stdout_file.get() >= 0 ? p.stdout_file.get() : p.out_w.get();
  fds.err = p.err_w.get();
  pid_t pid = spawn_child(o, fds);
  p.in_r.reset();
  p.out_w.reset();
  p.err_w.reset();
  p.stdin_src.reset();
  p.stdout_file.reset();
  relay.attach(pid);
  if (o.on_start) {
    try {
      o.on_start(pid);
    } catch (...) {
      ::kill(-pid, SIGKILL);
      reap(pid);
      throw;
    }
  }
  TerminalHandoff tty(o.passthrough, pid);
  Session s(o, p, pid, relay);
  Result r = s.wait();
  relay.dispatch(false);  // a signal that came as the child ended
  return r;
}

}  // namespace tavro::proc
