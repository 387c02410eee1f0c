// The programs rivo starts and waits on, and what becomes of them when rivo
// is told to stop. Every child gets an argument vector, a process group of
// its own and SIGTERM should rivo die. SIGTERM, SIGINT and SIGHUP sent to
// rivo go on to the child's whole group; once the child has ended the rest
// of its group gets SIGTERM, whatever is left 2 seconds after the signal
// SIGKILL, and rivo returns only when the group is gone. Should rivo itself
// be killed mid-run (SIGKILL), a watchdog does the same for the tool's group
// (run_guard.hpp).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/process.hpp"
#include "util.hpp"

namespace rivo {

using EnvOverrides = std::vector<std::pair<std::string, std::string>>;

struct ToolRun {
  std::vector<std::string> argv;  // argv[0] looked up on PATH
  EnvOverrides env;               // set in the child only
  // Called with a forwarded signal, after the group got it, for clean-up
  // the group kill cannot do (a container the child asked a daemon for).
  std::function<void(int)> on_signal;
  // Run by the watchdog after it ended the group, should rivo die mid-run
  // (for example docker rm -f of the run's container); empty for none.
  std::vector<std::string> if_orphaned;
};

// Runs the child with rivo's standard streams passed through (from a
// terminal, the terminal goes to the child's group while it runs) and waits
// for it and its group. Returns the exit status; a child ended by signal N
// gives -N. Throws Failure when argv[0] cannot be started ("<argv0>:
// <reason>", exit status 127 when not found, else 126).
int run_tool(const ToolRun& run);

// The termination signal rivo received during the last run_tool, 0 if none.
int received_signal();

// Runs a helper command that rivo waits on (git, a docker query) with its
// output captured. A SIGTERM, SIGINT or SIGHUP meant for rivo goes on to the
// helper's group, and rivo then ends by that same signal, so a time limit
// put on rivo (which ends only rivo's own group) leaves no helper running.
tavro::proc::Result run_helper(tavro::proc::SpawnOptions o);

// The process environment with `overrides` set.
std::vector<std::string> child_env(const EnvOverrides& overrides);

}  // namespace rivo
