#include "rivo/core/executor_slurm.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/process.hpp"
#include "common/text.hpp"

extern char** environ;

namespace tavro::rivo {
namespace {

std::string base_name(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool same_file(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

ExecResult SlurmExecutor::run(const ExecRequest& req) {
  if (!req.cwd) throw InvalidArgument("a SLURM job needs a working folder");
  if (req.input || req.stdin_fd >= 0) throw InvalidArgument("a SLURM job reads no standard input");
  slurm::Job job;
  job.workdir = *req.cwd;
  job.name = slurm::job_name(base_name(job.workdir));
  job.stdout_path = settings_.stdout_path.empty() ? job.workdir + ".job-stdout" : settings_.stdout_path;
  job.stderr_path = job.workdir + ".stderr";
  job.command = req.argv;
  job.resources = settings_.resources;
  if (req.stdout_fd >= 0 && !same_file(req.stdout_fd, job.stdout_path))
    throw InvalidArgument("the standard output descriptor is not open on " + job.stdout_path);

  std::vector<std::string> env;
  if (req.env) {
    env = proc::env_block(*req.env);
  } else {
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
  }
  log_.debug("srun cwd=%s cmd=%s", job.workdir, slurm::srun_argv(job, settings_.options));
  slurm::Outcome out = slurm::run_job(job, env, req.timeout, req.should_abort, kCaptureBound, settings_.options);
  if (!out.srun_err.empty()) log_.debug("srun: %s", std::string(py_rstrip(universal_newlines(out.srun_err))));
  if (out.timed_out) throw proc::TimedOut(req.argv, req.timeout.value_or(0), {}, {});

  ExecResult r;
  if (!out.started) {
    // A job that got to a node but whose step never opened its files (srun
    // may even say 0): the node cannot see the sandbox. A job cancelled in
    // the queue never started at all.
    if (out.job && out.job->started && out.job->state != "CANCELLED")
      throw SandboxNotVisible(job.workdir, out.job->id, out.srun_err);
    // srun itself failed (no allocation, a bad option): its words are the
    // error. It never ran the command, so it never succeeded.
    r.status = out.returncode != 0 ? out.returncode : 1;
    r.err = std::move(out.srun_err);
    return r;
  }
  r.status = out.returncode;
  r.err = std::move(out.err);
  r.out_bytes = out.out_bytes;
  if (req.stdout_fd >= 0) {
    r.out = std::move(out.out_view);
  } else {
    r.out = fs::read_file(job.stdout_path);
    ::unlink(job.stdout_path.c_str());
  }
  if (r.status != 0 && out.job) {
    const Resources& res = settings_.resources;
    if (out.job->state == "OUT_OF_MEMORY")
      r.note = oom_note(!res.memory.empty() ? res.memory : out.job->memory);
    else if (out.job->state == "TIMEOUT")
      r.note = time_limit_note(!res.time.empty() ? res.time : out.job->time_limit);
  }
  return r;
}

}  // namespace tavro::rivo
