#include "rivo/core/slurm_job.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/capture.hpp"
#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/process.hpp"
#include "rivo/core/slurm_signals.hpp"

namespace tavro::rivo::slurm {
namespace {

// squeue and scancel answer the controller's state in well under a second;
// a controller that does not answer in this time is not waited for.
constexpr double kQueryTimeout = 30.0;

std::string dir_of(const std::string& p) {
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string base_of(const std::string& p) {
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string absolute(const std::string& p) {
  if (!p.empty() && p.front() == '/') return p;
  std::string cwd(4096, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) throw_errno("getcwd");
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(cwd.find('\0'));
  return cwd + (cwd == "/" ? "" : "/") + p;
}

// A file name pattern for srun: its only replacement character is '%'.
std::string escape_pattern(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

bool exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

proc::Result query(std::vector<std::string> argv, const std::vector<std::string>& env) {
  proc::SpawnOptions o;
  o.argv = std::move(argv);
  o.env = env;
  o.timeout = kQueryTimeout;
  o.capture_bound = std::size_t{64} << 10;
  int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  fs::Fd guard(devnull);
  o.stdin_fd = devnull;
  return proc::run(o);
}

// squeue's "2024-05-01T12:00:00", in the local time zone as SLURM prints
// it; "N/A" or "Unknown" for a job that has not started.
std::optional<double> local_time(const std::string& text) {
  struct tm tm {};
  const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (!end || *end) return std::nullopt;
  tm.tm_isdst = -1;
  time_t t = ::mktime(&tm);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<double>(t);
}

double wall_now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double mono_now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// How long to wait before asking again about a job still in the queue.
constexpr double kQueueRecheck = 60.0;
// How long srun may take to end after its job was cancelled: the cluster's
// KillWait (30 s by default) and a margin.
constexpr double kEndGrace = 90.0;

}  // namespace

std::string job_name(std::string_view run_name) {
  std::string out(run_name);
  for (char& c : out) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) c = '_';
  }
  return out;
}

OutputFile output_file(const std::string& workdir, const std::string& path) {
  const std::string wd = absolute(workdir), p = absolute(path);
  // Through the sandbox when the file lies beside it; a backslash would turn
  // srun's pattern handling off (and the file would be relayed), so such a
  // name is taken as it is.
  std::string through = dir_of(p) == dir_of(wd) ? wd + "/../" + base_of(p) : p;
  return {escape_pattern(through) + ".%t", p + ".0"};
}

std::string slurm_time(std::uint64_t seconds) {
  const std::uint64_t d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
  char buf[64];
  if (d)
    std::snprintf(buf, sizeof buf, "%llu-%02llu:%02llu:%02llu", static_cast<unsigned long long>(d),
                  static_cast<unsigned long long>(h), static_cast<unsigned long long>(m),
                  static_cast<unsigned long long>(s));
  else
    std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                  static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  return buf;
}

std::vector<std::string> srun_argv(const Job& job, const Options& opts) {
  const std::string wd = absolute(job.workdir);
  std::vector<std::string> a = {"srun",
                                "--job-name=" + job.name,
                                "--chdir=" + wd,
                                "--output=" + output_file(wd, job.stdout_path).pattern,
                                "--error=" + output_file(wd, job.stderr_path).pattern,
                                "--input=none",
                                // The files are empty already (the output one emptied by
                                // the run, the error one new): truncating an empty file
                                // would make ext4 write it out at close.
                                "--open-mode=append",
                                "--ntasks=1",
                                "--nodes=1"};
  const Resources& r = job.resources;
  if (r.cpus) {
    // SLURM allocates whole CPUs: a fractional request gets the next one up.
    const double c = std::max(1.0, std::ceil(*r.cpus));
    a.push_back("--cpus-per-task=" + std::to_string(static_cast<long long>(c)));
  }
  if (r.memory_bytes) {
    const std::uint64_t mib = (r.memory_bytes + (std::uint64_t{1} << 20) - 1) >> 20;
    a.push_back("--mem=" + std::to_string(mib) + "M");
  }
  if (r.time_seconds) a.push_back("--time=" + slurm_time(r.time_seconds));
  if (!opts.partition.empty()) a.push_back("--partition=" + opts.partition);
  if (!opts.account.empty()) a.push_back("--account=" + opts.account);
  a.insert(a.end(), opts.extra_args.begin(), opts.extra_args.end());
  a.insert(a.end(), job.command.begin(), job.command.end());
  return a;
}

std::vector<std::string> job_env(const std::vector<std::string>& env) {
  static const std::array<std::string_view, 15> tied = {
      "SLURM_JOB_ID",      "SLURM_JOBID",       "SLURM_STEP_ID",        "SLURM_STEPID",
      "SLURM_MEM_PER_NODE", "SLURM_MEM_PER_CPU", "SLURM_CPUS_PER_TASK", "SLURM_NTASKS",
      "SLURM_NPROCS",      "SLURM_NNODES",      "SLURM_JOB_NUM_NODES",  "SLURM_NODELIST",
      "SLURM_JOB_NODELIST", "SLURM_TASKS_PER_NODE", "SLURM_NTASKS_PER_NODE"};
  std::vector<std::string> out;
  out.reserve(env.size());
  for (const auto& kv : env) {
    std::string_view key = std::string_view(kv).substr(0, kv.find('='));
    if (std::find(tied.begin(), tied.end(), key) == tied.end()) out.push_back(kv);
  }
  return out;
}

std::optional<JobInfo> find_job(const std::string& name, const std::vector<std::string>& env) {
  proc::Result r;
  try {
    r = query({"squeue", "--noheader", "--states=all", "--name=" + name, "--format=%i|%T|%m|%l|%S"}, env);
  } catch (const proc::TimedOut&) {
    return std::nullopt;
  } catch (const OsError&) {
    return std::nullopt;
  }
  if (r.returncode != 0) return std::nullopt;
  std::optional<JobInfo> best;
  unsigned long long best_id = 0;
  std::size_t at = 0;
  while (at < r.out.size()) {
    std::size_t end = r.out.find('\n', at);
    if (end == std::string::npos) end = r.out.size();
    std::string line = r.out.substr(at, end - at);
    at = end + 1;
    std::array<std::string, 5> f;
    std::size_t k = 0, from = 0;
    for (; k < 4; ++k) {
      std::size_t bar = line.find('|', from);
      if (bar == std::string::npos) break;
      f[k] = line.substr(from, bar - from);
      from = bar + 1;
    }
    if (k != 4) continue;
    f[4] = line.substr(from);
    char* stop = nullptr;
    unsigned long long id = std::strtoull(f[0].c_str(), &stop, 10);
    if (stop == f[0].c_str()) continue;
    if (!best || id > best_id) {
      best_id = id;
      best = JobInfo{f[0], f[1], f[2], f[3], local_time(f[4])};
    }
  }
  return best;
}

void cancel(const std::string& name, const std::vector<std::string>& env) {
  try {
    query({"scancel", "--name=" + name}, env);
  } catch (const proc::TimedOut&) {
  } catch (const OsError&) {
  }
}

std::string bounded_file(const std::string& path, std::size_t bound, std::uint64_t* size) {
  if (size) *size = 0;
  fs::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return {};
    throw_errno("open", path);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_errno("fstat", path);
  const std::uint64_t total = static_cast<std::uint64_t>(st.st_size);
  if (size) *size = total;
  auto read_at = [&](std::uint64_t off, std::size_t n) {
    std::string buf(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      ssize_t k = ::pread(fd.get(), buf.data() + got, n - got, static_cast<off_t>(off + got));
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) throw_errno("read", path);
      if (k == 0) break;
      got += static_cast<std::size_t>(k);
    }
    buf.resize(got);
    return buf;
  };
  if (bound == 0 || total <= 2 * static_cast<std::uint64_t>(bound)) return read_at(0, static_cast<std::size_t>(total));
  capture::Bounded b(bound);
  std::string head = read_at(0, bound);
  b.append(head.data(), head.size());
  b.skip(total - 2 * bound);
  std::string tail = read_at(total - bound, bound);
  b.append(tail.data(), tail.size());
  return b.text();
}

Outcome run_job(const Job& job, const std::vector<std::string>& env, std::optional<double> limit,
                std::function<bool()> should_abort, std::size_t bound, const Options& opts) {
  const std::string wd = absolute(job.workdir);
  const OutputFile out = output_file(wd, job.stdout_path);
  const OutputFile err = output_file(wd, job.stderr_path);
  const std::vector<std::string> srun_env = job_env(env);

  // The job step opens <stdout>.0: a link to the file itself, so the tool's
  // bytes land in place (no copy, no rename) and a descriptor open on the
  // file sees them. Relative, so it reads the same on every node.
  ::unlink(out.produced.c_str());
  if (::symlink(base_of(absolute(job.stdout_path)).c_str(), out.produced.c_str()) != 0)
    throw_errno("symlink", out.produced);
  struct Unlink {
    const std::string& path;
    ~Unlink() { ::unlink(path.c_str()); }
  } unlink_link{out.produced}, unlink_err{err.produced};
  ::unlink(err.produced.c_str());

  proc::SpawnOptions o;
  o.argv = srun_argv(job, opts);
  o.env = srun_env;
  o.capture_bound = bound;
  // A host killed outright takes srun with it, and srun its job (the step
  // is killed at once then; rivo's watchdog removes a container).
  o.parent_death_signal = SIGTERM;
  // srun itself waits on a connection, not on its terminal: it gets none.
  fs::Fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devnull) throw_errno("open", "/dev/null");
  o.stdin_fd = devnull.get();

  // The time limit, checked in the runner's abort hook: at the deadline the
  // controller is asked whether the job runs yet and since when.
  //
  // Ending the job (time limit, Ctrl-C, SIGTERM) goes through scancel, never
  // through signalling srun: srun answers SIGTERM by killing the job step
  // outright, while a cancelled job's step gets SIGTERM and a grace first,
  // time for rivo to remove its container. srun then ends by itself; only
  // if it does not, or at a second Ctrl-C, is its group ended here.
  TermHold hold_sigterm;
  bool timed_out = false, interrupted = false, ending = false;
  double deadline = limit ? mono_now() + *limit : 0, ending_since = 0;
  auto begin_end = [&]() {
    cancel(job.name, srun_env);
    ending = true;
    ending_since = mono_now();
  };
  o.should_abort = [&]() {
    const bool asked = should_abort && should_abort();
    if (ending) return asked || mono_now() - ending_since > kEndGrace;
    if (asked || TermHold::received()) {
      interrupted = true;
      begin_end();
      return false;
    }
    if (!limit || mono_now() < deadline) return false;
    std::optional<JobInfo> info = find_job(job.name, srun_env);
    if (info && info->state == "PENDING") {
      deadline = mono_now() + std::min(kQueueRecheck, *limit);
      return false;
    }
    if (info && info->started) {
      deadline = mono_now() + (*info->started + *limit - wall_now());
      if (mono_now() < deadline) return false;
    }
    timed_out = true;
    begin_end();
    return false;
  };

  Outcome res;
  // The step opens both files before the tool starts: the error file is the
  // sign that it got that far (the link to the output file is ours).
  auto collect = [&]() {
    res.started = exists(err.produced);
    if (res.started) res.out_view = bounded_file(job.stdout_path, bound, &res.out_bytes);
    res.err = bounded_file(err.produced, bound);
  };
  auto collect_quietly = [&]() {
    try {
      collect();
    } catch (const OsError&) {
    }
  };
  try {
    proc::Result r = proc::run(o);
    res.returncode = r.returncode;
    res.srun_err = std::move(r.err);
  } catch (const Aborted&) {
    // srun outlived the grace, or a second Ctrl-C: its group was ended.
    if (!ending) cancel(job.name, srun_env);
    collect_quietly();
    if (timed_out && !interrupted) {
      res.timed_out = true;
      return res;
    }
    throw;
  }
  if (interrupted) {
    collect_quietly();
    throw Aborted();
  }
  collect();
  if (timed_out) {
    res.timed_out = true;
    return res;
  }
  if (res.returncode != 0 || !res.started) res.job = find_job(job.name, srun_env);
  return res;
}

}  // namespace tavro::rivo::slurm
