// Child processes for the whole package: an explicit argument vector (never a
// shell), the child in a process group of its own, every inherited descriptor
// above 2 closed, stdout and stderr captured as raw bytes, and a time limit
// that ends the whole group (SIGTERM, a short grace, then SIGKILL) before
// run() returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavro::proc {

struct SpawnOptions {
  std::vector<std::string> argv;                 // argv[0] is looked up on PATH unless it has a '/'
  std::optional<std::string> executable;          // run this file instead of looking up argv[0]
  std::optional<std::string> cwd;                 // nullopt: inherit
  int cwd_fd = -1;                                // else (>= 0) the child enters this folder by its
                                                  // descriptor (fchdir); cwd then only names it in errors
  std::optional<std::vector<std::string>> env;    // "KEY=VALUE" entries; nullopt: inherit
  std::optional<double> timeout;                  // seconds; nullopt: no limit
  std::optional<std::string> input;               // bytes fed to stdin through a pipe
  int stdin_fd = -1;                              // used when no input: -1 inherit, else dup'ed
                                                  // (an fd open on /dev/null gives an empty stdin)
  bool capture = true;                            // false: stdout/stderr are inherited
  // Bytes of stdout kept; 0: no limit. Once stdout reaches the cap the child
  // has said enough: the text is cut to exactly max_output bytes, the child's
  // group is ended with SIGKILL and reaped, and run() returns normally with
  // Result::truncated set (returncode as the child ended, usually -SIGKILL).
  // Stderr keeps at most as many bytes; what follows is read and dropped, so
  // memory stays bounded even for a child that floods it.
  std::size_t max_output = 0;
  double kill_grace = 3.0;                        // SIGTERM -> SIGKILL delay at the time limit
  // Signal the child gets when the thread that started it dies (0: none),
  // armed in the child before exec; a parent already gone by then counts as
  // dead. The calling thread must stay alive while the child runs (run()
  // blocks it, so it does).
  int parent_death_signal = 0;
  // Called with the child's pid (also its process group id) as soon as it
  // runs, before any waiting. Must not throw; if it does the child's group
  // is killed and the exception propagates.
  std::function<void(int)> on_start;
  // Polled about every 100 ms while the child runs; returning true ends the
  // child's group at once and makes run() throw tavro::Aborted.
  std::function<bool()> should_abort;

  // Pass-through (the local rivo command): the child shares this process's
  // stdin, stdout and stderr and nothing is captured (`input` and `capture`
  // are ignored). When stdin is our controlling terminal and our group is in
  // its foreground, the terminal is handed to the child's group for the run
  // and taken back afterwards, so an interactive tool can read it and the
  // terminal's Ctrl-C reaches the tool itself.
  bool passthrough = false;
  // Signals that, arriving here while the child runs, are passed on to the
  // child's whole group at once (from the handler). After that, outside the
  // handler, `on_signal` is called with the number from the waiting loop,
  // for clean-up the group kill cannot do (a container the child asked a
  // daemon to start). Once the child has ended, the rest of its group gets
  // SIGTERM (a background job ignores SIGINT); whatever of the group still
  // runs `forward_grace` seconds after the first forwarded signal gets
  // SIGKILL, and run() returns only when the group is gone: our own caller
  // may SIGKILL us next, and nothing of the tool may outlive us.
  // The previous handlers are back in place when run() returns. One run with
  // forwarding at a time per process.
  std::vector<int> forward_signals;
  std::function<void(int)> on_signal;
  double forward_grace = 2.0;
  // Stdout into a file: this descriptor becomes the child's standard output
  // itself (no pipe, nothing copied here), so the tool writes at the speed of
  // the disk. Result::out is a bounded view of what the file holds from its
  // start (its first and last `capture_bound` bytes, read back once the
  // child has ended) and Result::out_bytes its size. A file system that
  // runs full under a file holding output ends the child's group and makes
  // run() throw OsError(ENOSPC, "write"), whether the child noticed or not:
  // what it writes from there on is lost.
  int stdout_fd = -1;
  // > 0: stderr, and the view of a stdout file, keep only their first and last
  // `capture_bound` bytes (see capture::Bounded); the rest is read and
  // dropped. 0: stderr is kept whole (up to max_output as before).
  std::size_t capture_bound = 0;
};

struct Result {
  int returncode = 0;  // exit status, or -signal like Python's subprocess
  std::string out;
  std::string err;
  bool truncated = false;  // stdout reached max_output and the child was ended
  std::uint64_t out_bytes = 0;  // bytes the child wrote to stdout (streamed or kept)
  std::uint64_t err_bytes = 0;  // bytes the child wrote to stderr
};

// Thrown at the time limit, after the group was ended and reaped; carries
// the command and whatever output arrived before. The Python glue raises it
// as subprocess.TimeoutExpired.
class TimedOut : public std::runtime_error {
 public:
  TimedOut(std::vector<std::string> argv_, double timeout_, std::string out_, std::string err_);
  std::vector<std::string> argv;
  double timeout;
  std::string out;
  std::string err;
};

// Runs the child to completion. Throws OsError when it cannot be started
// (errno and filename as Python's subprocess reports them: the cwd for a
// failed chdir, otherwise argv[0]), TimedOut at the limit, Aborted when
// should_abort said so.
Result run(const SpawnOptions& opts);

// The KEY=VALUE block of an environment, refused as Python's subprocess
// refuses it: InvalidArgument "illegal environment variable name" (an empty
// key, or one holding '=' or NUL) or "embedded null byte" (in a value).
std::vector<std::string> env_block(const std::vector<std::pair<std::string, std::string>>& env);

// True while a process of group `pgid` runs. Zombies do not count: they
// only wait for their parent to reap them, and a parent that never does (a
// host running as PID 1 in a container) must not keep us waiting.
bool group_running(int pgid);

// PATH lookup as os.get_exec_path(env) does: the PATH of `env` when given
// (os.defpath when it has none), else the process's PATH.
std::vector<std::string> exec_path(const std::optional<std::vector<std::string>>& env);

// First executable file named `name` on `path`, or nullopt.
std::optional<std::string> which(const std::string& name, const std::vector<std::string>& path);

// The files to try, in order, when starting `prog` with environment `env`:
// `prog` itself when it holds a '/', else `prog` in each exec_path(env) entry.
std::vector<std::string> exec_candidates(const std::string& prog,
                                         const std::optional<std::vector<std::string>>& env);

}  // namespace tavro::proc
