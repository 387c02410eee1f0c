// The Python side of resources and of the SLURM executor: reading a
// manifest's "resources" and the RIVO object's executor settings, and
// running one `rivo exec` as a SLURM job with the errors a local run gives.
#pragma once

#include <optional>
#include <string>

#include "rivo/resources.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {

// The manifest's "resources" entry (a dict with any of "cpus", "memory",
// "time"), checked; nullopt when the manifest has none. A value of the
// wrong kind or form raises ValueError naming it.
std::optional<core::Resources> manifest_resources(nb::handle manifest);

// RIVO_CPUS, RIVO_MEMORY and RIVO_TIME in the run's environment, as written
// in the manifest, for those it gives.
void put_resource_env(nb::handle env, const core::Resources& res);

// The resources a job asks for: the manifest's, each missing one taken from
// the tool definition as `rivo show --format json` reports it (through
// self.show, asked only when something is missing). A rivo that knows
// nothing of resources, or a tool it cannot show, gives none.
core::Resources job_resources(nb::handle self, nb::handle tool_name, const std::optional<core::Resources>& given);

// True when self.executor says "slurm".
bool runs_on_slurm(nb::handle self);

// The constructor's part: executor (argument, else RIVO_EXECUTOR, else
// "local") and the SLURM options, checked and stored on self.
void init_executor(nb::handle self, nb::handle executor, nb::handle partition, nb::handle account,
                   nb::handle srun_args);

// One `rivo exec` (`cmd` without the leading "rivo") as a SLURM job named
// `job_name`, in the sandbox `cwd`, its standard output written by the job
// to `stdout_file` (replacing it). Returns the completed process (stdout: a
// bounded view of the file) or raises the RuntimeError a local run would
// raise, with a note when the job ran out of memory or time. A sandbox the
// job cannot see raises FileNotFoundError.
struct SlurmRun {
  nb::object proc;
  std::uint64_t out_bytes = 0;
};
SlurmRun run_on_slurm(nb::handle self, nb::handle cmd, nb::handle cwd, nb::handle env,
                      const std::string& stdout_file, const std::string& job_name,
                      const core::Resources& res);

}  // namespace tavro::rivo
