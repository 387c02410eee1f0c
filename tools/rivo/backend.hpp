// Where a tool runs: on this machine (backend_local.cpp), in a Docker
// container (backend_docker.cpp) or under Apptainer (backend_apptainer.cpp).
// Each backend turns one ExecRequest into the command rivo starts through
// run_tool (signal_forwarding.hpp) and does its own clean-up around it;
// this file chooses among them and holds what they share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "resources.hpp"
#include "signal_forwarding.hpp"
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
  Resources resources;    // the tool's, with the RIVO_* overrides applied
  std::vector<std::string> argv;
};

// Runs the request with stdio passed through and returns the exit status
// (-N when the child was ended by signal N, or when rivo itself received
// termination signal N meanwhile). When the tool fails, arguments
// that name files which do not exist are reported on stderr as
// "rivo: <arg>: No such file or directory".
int run_exec(const ExecRequest& request);

// ---- for the backends

int run_local(const ExecRequest& request);
int run_docker(const ExecRequest& request);
int run_apptainer(const ExecRequest& request);

// The environment every tool run gets: RIVO_EXEC_DEPTH one higher, so a
// shim calling rivo again is caught before it loops.
void add_exec_depth(EnvOverrides& env);

// After a failed run: each path-like argument that names nothing is
// reported, so a missing input always leaves a recognisable message.
// `host_paths`: absolute arguments name files of this machine (local runs).
void note_missing_paths(const std::vector<std::string>& argv, const fs::path& workdir, bool host_paths);

// Text on stderr, written whole (no stream buffering between rivo and the tool).
void write_stderr(const std::string& text);

// A container backend's engine must be installed: Failure (127) naming it.
void require_engine(const std::string& engine, Backend backend);

// "rivo: running EXE in image IMAGE" on stderr when RIVO_VERBOSE is set.
void say_image(const ExecRequest& request);

}  // namespace rivo
