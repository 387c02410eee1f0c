// An executor that runs each command as one SLURM job (srun, blocking), for
// RIVO(executor="slurm"). What a run sees is what a local run gives: the
// exit status, the standard output in its file, both captures bounded; the
// differences are where it runs and how it ends (see slurm_job.hpp).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "rivo/core/executor.hpp"
#include "rivo/core/log.hpp"
#include "rivo/core/resources.hpp"
#include "rivo/core/slurm_job.hpp"

namespace tavro::rivo {

// A folder this machine made that the job's node cannot see (the run says
// so as FileNotFoundError): the job reached a node, and its step could not
// open its output files there.
class SandboxNotVisible final : public std::runtime_error {
 public:
  SandboxNotVisible(std::string sandbox_, std::string job_id_, std::string srun_err_)
      : std::runtime_error("sandbox not visible to SLURM jobs: " + sandbox_),
        sandbox(std::move(sandbox_)),
        job_id(std::move(job_id_)),
        srun_err(std::move(srun_err_)) {}
  std::string sandbox, job_id, srun_err;
};

struct SlurmSettings {
  slurm::Options options;  // partition, account, more srun options
  Resources resources;     // -c, --mem, --time
  // The file a streamed standard output (ExecRequest::stdout_fd) is open
  // on: the job writes it by name, from its node. Without a descriptor the
  // job writes it all the same, and it is read back and removed.
  std::string stdout_path;
};

class SlurmExecutor final : public Executor {
 public:
  SlurmExecutor(SlurmSettings settings, Log& log) : settings_(std::move(settings)), log_(log) {}

  // request.cwd is the job's working folder (the sandbox; its name names
  // the job), request.timeout its limit from the moment it starts running.
  // An abort cancels the job and throws tavro::Aborted once it has ended;
  // the time limit throws proc::TimedOut likewise. A job the engine ended
  // for memory or time says so in ExecResult::note.
  ExecResult run(const ExecRequest& request) override;

 private:
  SlurmSettings settings_;
  Log& log_;
};

}  // namespace tavro::rivo
