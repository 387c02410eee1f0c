// Child processes and container backends: the Docker probe, image pulls and
// running one executable locally, under Docker or under Apptainer.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/process.hpp"
#include "util.hpp"

namespace rivo {

enum class Backend { Local, Docker, Apptainer };

// "local", "docker", "apptainer"; "auto" yields nullopt (detect). Throws
// Failure (exit status 2) for anything else.
std::optional<Backend> parse_backend(const std::string& name);
std::string backend_name(Backend backend);

// Docker when `docker info` answers within a few seconds, else local.
Backend detect_backend();

// First executable called `name` on PATH (or `name` itself when it has a '/').
std::optional<std::string> find_program(const std::string& name);

using EnvOverrides = std::vector<std::pair<std::string, std::string>>;

// Runs argv[0] (looked up on PATH) with rivo's standard streams passed
// through, in a process group of its own, and waits for it. SIGTERM, SIGINT
// and SIGHUP sent to rivo meanwhile go on to the child's group; `on_signal`
// is then called with the signal (for clean-up the group kill cannot do).
// `env` entries are set in the child only. Returns the exit status; a child
// ended by signal N gives -N. Throws Failure when argv[0] cannot be started
// ("<argv0>: <reason>", exit status 127 when not found, else 126).
int run_tool(const std::vector<std::string>& argv, const EnvOverrides& env = {},
             const std::function<void(int)>& on_signal = {});

// The termination signal rivo received during the last run_tool, 0 if none.
int received_signal();

// Runs a helper command that rivo waits on (git, a docker query) with its
// output captured. A SIGTERM, SIGINT or SIGHUP meant for rivo is passed on to
// the helper's group, and rivo then ends by that same signal, so a time limit
// put on rivo (which ends only rivo's own group) leaves no helper running.
tavro::proc::Result run_helper(tavro::proc::SpawnOptions o);

// Pulls `image` for the backend (docker pull; nothing for local; Apptainer
// fetches on first use). Throws Failure when the pull fails.
// Only a missing image is pulled; with `may_pull` false a missing image is a
// Failure naming it.
void pull_image(Backend backend, const std::string& image, bool may_pull = true);

// One `exec`: the executable and its arguments, run in `workdir` (mounted at
// /workspace for the container backends).
struct ExecRequest {
  Backend backend = Backend::Local;
  fs::path workdir;
  std::string image;      // container backends only
  bool gpu = false;
  std::vector<std::string> argv;
};

// Runs the request with stdio passed through and returns the exit status
// (-N when the child was ended by signal N, or when rivo itself received
// termination signal N meanwhile). When the tool fails, arguments
// that name files which do not exist are reported on stderr as
// "rivo: <arg>: No such file or directory".
int run_exec(const ExecRequest& request);

// /workspace paths mapped onto `workdir` for local runs: an argument equal to
// /workspace or below it, the value of --opt=/workspace/..., and /workspace
// paths inside a `sh -c` command line.
std::vector<std::string> map_workspace(const std::vector<std::string>& argv, const std::string& workdir);

// PATH without the project shim folders (".../.rivo/bin"), so that a local
// run never finds a shim that would call rivo again.
std::string path_without_shims(const std::string& path_value);

}  // namespace rivo
