#include "rivo/core/run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/core/harvest.hpp"
#include "rivo/core/reap.hpp"
#include "rivo/core/staging.hpp"
#include "rivo/core/template.hpp"

namespace tavro::rivo {
namespace {

// Files of one run outside its sandbox: the temporary project folder and
// the standard output file (already moved into place when delivered) go when
// the run ends, whichever way; only a failed run's sandbox stays.
struct Leftovers {
  Sandbox& sb;
  ~Leftovers() {
    if (!sb.stdout_file.empty()) ::unlink(sb.stdout_file.c_str());
    if (sb.project_is_temp && !sb.project.empty()) fs::remove_tree_ignore_errors(sb.project);
    close_sandbox(sb);  // the locks go last
  }
};

// One attempt, on an emptied standard output file.
Executed attempt(const RunPlan& plan, const Sandbox& sb, const std::vector<std::string>& args, int fd,
                 RunHooks& hooks, const CommandFailed* handling) {
  // Only a retry finds bytes to drop. An empty file is left alone: on ext4
  // a truncation to zero makes the close after it wait for the data to be
  // written out (the "replace by truncate" heuristic), which is what a
  // shell's redirection into a new file never pays.
  struct stat st;
  if (::fstat(fd, &st) != 0) throw_errno("stat", sb.stdout_file);
  if ((st.st_size != 0 && ::ftruncate(fd, 0) != 0) || ::lseek(fd, 0, SEEK_SET) < 0)
    throw_errno("truncate", sb.stdout_file);
  try {
    Executed run = hooks.execute(plan, sb, args, fd, handling);
    if (run.streamed) {
      if (::fstat(fd, &st) != 0) throw_errno("stat", sb.stdout_file);
      run.file_dev = static_cast<std::uint64_t>(st.st_dev);
      run.file_ino = static_cast<std::uint64_t>(st.st_ino);
    }
    return run;
  } catch (const OsError& e) {
    // A full disk under the output file is reported without a name: it is ours.
    if (e.syscall() == "write" && e.path().empty()) throw OsError(e.err(), "write", sb.stdout_file);
    throw;
  }
}

}  // namespace

bool is_stale_candidate(const std::string& arg) {
  return !arg.empty() && arg[0] == '/' && arg.compare(0, 10, "/workspace") != 0;
}

Executed execute_with_recovery(const RunPlan& plan, const Sandbox& sb, const Staged& staged,
                               const Arguments& args, int fd, RunHooks& hooks) {
  try {
    return attempt(plan, sb, args.clean, fd, hooks, nullptr);
  } catch (const CommandFailed& first) {
    Log& log = hooks.log();
    const bool abs_miss = first.text().find("No such file or directory") != std::string::npos &&
                          std::any_of(args.clean.begin(), args.clean.end(), is_stale_candidate);
    if (abs_miss) {
      std::optional<std::vector<std::string>> fixed = hooks.fix_stale_abs_paths(args.clean, first);
      if (!fixed || *fixed == args.clean) throw;
      log.info("Retrying with relocated paths: %s", *fixed);
      try {
        return attempt(plan, sb, *fixed, fd, hooks, &first);
      } catch (const CommandFailed& second) {
        // `raise first from None` while the second is handled.
        first.set_context(second, true);
        throw first;
      }
    }
    if (!plan.args_template.empty()) throw;  // a templated tool is never re-argued
    log.info("Positional fallback failed for %s \u2014 asking LLM for correct args", plan.tool);
    std::vector<std::string> inferred = hooks.infer_args(staged, first);
    if (inferred == args.clean) throw;
    log.info("Retrying rivo exec %s %s (LLM-inferred)", plan.entrypoint, inferred);
    try {
      return attempt(plan, sb, inferred, fd, hooks, &first);
    } catch (const CommandFailed& last) {
      if (!last.context() && !last.origin()) last.set_context(first, false);
      throw;
    }
  }
}

RunResult run_tool(const RunPlan& plan, RunHooks& hooks) {
  check_plan(plan);
  if (auto hit = hooks.lookup(plan)) return *hit;
  Log& log = hooks.log();
  Sandbox sb = make_sandbox(plan);
  Leftovers leftovers{sb};
  Staged staged = stage_inputs(plan, sb);
  Arguments args = build_arguments(plan, staged);
  log.info("Running rivo exec %s %s", plan.entrypoint, args.clean);

  // The tool's standard output is the file beside the sandbox, handed to it
  // as its descriptor 1: it writes there at the speed of the disk, nothing
  // is copied here, and memory stays flat whatever the tool writes.
  Executed run = execute_with_recovery(plan, sb, staged, args, sb.stdout_fd, hooks);
  ::close(std::exchange(sb.stdout_fd, -1));
  fs::Fd output_lock = lock_output_dir(plan.output_dir);
  Published published;
  RunResult result = harvest(plan, sb, staged, args, run, &published);
  hooks.commit(plan, staged, result, published);
  // The output file before its sandbox: a file without a sandbox is a
  // leftover to the next run.
  ::unlink(sb.stdout_file.c_str());
  fs::remove_tree_ignore_errors(sb.path);
  log.debug("Cleaned up sandbox: %s", sb.path);
  return result;
}

}  // namespace tavro::rivo
