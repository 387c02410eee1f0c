// Child processes and container backends: the Docker probe, image pulls and
// running one executable locally, under Docker or under Apptainer.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

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
std::optional<std::string> find_on_path(const std::string& name, const std::string& path_value);

struct SpawnOptions {
  bool quiet = false;        // stdin, stdout and stderr on /dev/null
  double timeout = 0;        // seconds; 0 means none; with a limit the child gets a process group of its own
  std::vector<std::pair<std::string, std::string>> env;  // set in the child only
};

// Runs argv[0] (looked up on PATH) with inherited stdio and waits for it.
// Returns the exit status; a child ended by signal N gives -N; a time-out
// kills it and gives -SIGKILL. When argv[0] cannot be started the child
// prints "rivo: <argv0>: <reason>" and exits 127 (not found) or 126.
int spawn_wait(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// Pulls `image` for the backend (docker pull; nothing for local; Apptainer
// fetches on first use). Throws Failure when the pull fails.
void pull_image(Backend backend, const std::string& image);

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
// (-N when the child was ended by signal N). When the tool fails, arguments
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
