// A command run as one SLURM job: the srun command line, the job's output
// files, its state, and ending it. Plain C++; SlurmExecutor
// (executor_slurm.hpp) is what the run path sees of it.
//
// The job writes the tool's standard output and error itself, to files on
// the shared file system beside the sandbox (srun relays anything else at a
// few tens of MB/s); srun's own messages come back through a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rivo/core/resources.hpp"

namespace tavro::rivo::slurm {

// Where the job goes and what else srun is told (the user's choices).
struct Options {
  std::string partition;                // "" : the cluster's default
  std::string account;
  std::vector<std::string> extra_args;  // more srun options, before the command
};

// The job name for a run: the sandbox's name ("run-<tool>-<id>") with every
// byte outside [A-Za-z0-9._-] as '_' (squeue and scancel take lists of
// names separated by commas).
std::string job_name(std::string_view run_name);

// An output file of the job. srun opens a plain file name itself and relays
// everything the task writes through its own connection; a name with a
// per-task pattern (%t) is opened by the job step on the node. The pattern
// goes through the sandbox ("<sandbox>/../<name>.%t" for a file beside it),
// so a node that cannot see the sandbox cannot open the file and the tool
// never starts in some other folder (slurmstepd would fall back to /tmp).
struct OutputFile {
  std::string pattern;   // given to srun: '%' doubled, then ".%t"
  std::string produced;  // the file the one task opens: <path>.0
};
OutputFile output_file(const std::string& workdir, const std::string& path);

struct Job {
  std::string name;
  std::string workdir;               // the sandbox
  std::string stdout_path;           // the tool's standard output: written there in place
  std::string stderr_path;           // the job's standard error file (read, then removed)
  std::vector<std::string> command;  // what runs on the node
  Resources resources;
};

// srun's argument vector: one task on one node, named, in the sandbox,
// output to files, no standard input, the resources and the user's options.
std::vector<std::string> srun_argv(const Job& job, const Options& opts);

// The environment for srun: the caller's, without the variables that tie
// srun to an allocation it runs in (a host that is itself a batch job would
// otherwise start a step of its own job, sized by its own request).
std::vector<std::string> job_env(const std::vector<std::string>& env);

// "2h" -> "02:00:00", "1d" -> "1-00:00:00" (SLURM rounds up to minutes).
std::string slurm_time(std::uint64_t seconds);

// A job as squeue shows it (finished jobs stay listed for a few minutes).
struct JobInfo {
  std::string id, state, memory, time_limit;
  std::optional<double> started;  // when it started running (seconds since the epoch)
};
// The newest job of that name, in any state; nullopt when there is none or
// squeue cannot tell.
std::optional<JobInfo> find_job(const std::string& name, const std::vector<std::string>& env);

// scancel of every job of that name; failures are ignored (the job may be
// gone already).
void cancel(const std::string& name, const std::vector<std::string>& env);

struct Outcome {
  int returncode = 0;          // srun's exit status: the tool's, or srun's own failure
  bool started = false;        // the job step opened its output files
  bool timed_out = false;      // our time limit ended srun and cancelled the job
  std::string err;             // the tool's standard error, first and last `bound` bytes
  std::string out_view;        // same view of its standard output
  std::uint64_t out_bytes = 0;
  std::string srun_err;        // srun's own messages (bounded)
  std::optional<JobInfo> job;  // looked up when the run failed or never started
};

// Runs the job with srun and waits for it. The time limit counts from the
// moment the job starts running, not from its submission: a job still
// waiting in the queue when the limit is reached is asked about again a
// minute later, or after the limit itself when that is shorter (one squeue
// each time, no polling in between). At the limit, or when `should_abort`
// says so (polled while waiting), the job is cancelled with scancel; an
// abort then rethrows tavro::Aborted.
// The job step writes its standard output into job.stdout_path itself
// (truncated first; the file keeps its inode, so a descriptor open on it
// sees the bytes); the standard error file is read into Outcome::err and
// removed.
Outcome run_job(const Job& job, const std::vector<std::string>& env, std::optional<double> limit,
                std::function<bool()> should_abort, std::size_t bound, const Options& opts);

// First and last `bound` bytes of a file as capture::Bounded shows them,
// reading only those; `size` gets the file's size. Missing file: "".
std::string bounded_file(const std::string& path, std::size_t bound, std::uint64_t* size = nullptr);

}  // namespace tavro::rivo::slurm
