// RIVO.run over plain values, in stages:
//
//   check_plan -> [lookup] -> make_sandbox -> stage_inputs -> build_arguments
//     -> execute_with_recovery -> harvest -> [commit] -> result
//
// The overridable methods of RIVO (_run, _fix_stale_abs_paths, _infer_args)
// and logging reach the stages through RunHooks, which the Python binding
// implements and a C++ caller (tests/run_stages.cpp) can implement alike.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rivo/core/errors.hpp"
#include "rivo/core/log.hpp"
#include "rivo/core/plan.hpp"

namespace tavro::rivo {

class RunHooks {
 public:
  virtual ~RunHooks() = default;

  // One attempt: `rivo exec <entrypoint> <args...>` in the sandbox, with the
  // run's environment (RIVO._run). Standard output may go to
  // `stdout_fd` (emptied before each attempt) or returned in memory.
  // Throws CommandFailed when rivo failed or ran out of time; any other error
  // ends the run as it is. `handling` is the failure being recovered from
  // (nullptr for the first attempt).
  virtual Executed execute(const RunPlan& plan, const Sandbox& sandbox, const std::vector<std::string>& args,
                           int stdout_fd, const CommandFailed* handling) = 0;

  // RIVO._fix_stale_abs_paths(args, manifest, env): the arguments with
  // relocated paths, or nullopt.
  virtual std::optional<std::vector<std::string>> fix_stale_abs_paths(const std::vector<std::string>& args,
                                                                      const CommandFailed& handling) = 0;

  // RIVO._infer_args(tool_name, manifest, staged): LLM-written arguments.
  virtual std::vector<std::string> infer_args(const Staged& staged, const CommandFailed& handling) = 0;

  virtual Log& log() = 0;

  // Where a run cache fits: a result found for the plan ends the run
  // before anything is made, and a finished run's result is offered for
  // keeping (with what was staged and what the harvest published), before
  // the sandbox goes.
  virtual std::optional<RunResult> lookup(const RunPlan&) { return std::nullopt; }
  virtual void commit(const RunPlan&, const Staged&, const RunResult&, const Published&) {}
};

// The whole run. The sandbox is removed after success and kept after a
// failure, for inspection; a temporary project folder and the standard
// output file beside the sandbox go either way.
RunResult run_tool(const RunPlan& plan, RunHooks& hooks);

// The first attempt, and after a CommandFailed one retry: with relocated
// paths when the failure says "No such file or directory" and an argument
// is an absolute path outside /workspace, else (for a tool without a
// template) with LLM-written arguments. A retry that cannot help raises the
// first failure again.
Executed execute_with_recovery(const RunPlan& plan, const Sandbox& sandbox, const Staged& staged,
                               const Arguments& args, int stdout_fd, RunHooks& hooks);

// An argument that names an absolute path outside the container's
// /workspace: the one kind a relocation can repair.
bool is_stale_candidate(const std::string& arg);

}  // namespace tavro::rivo
