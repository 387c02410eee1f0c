// Starting the Docker command line directly (image cache, readiness probes,
// the search for a relocated file): which executable, and one way to run it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rivo/core/executor.hpp"

namespace tavro::rivo {

// The real Docker executable, bypassing the run-only wrapper where one is
// installed (the real one then lives at `docker_real`, the module attribute
// _DOCKER_REAL): the name of `docker_real` found in the folders `dirs` (the
// search path), else `docker_real` itself when that file exists, else
// "docker" found there, else the bare name "docker" (left to the start-up to
// resolve).
std::string real_docker(const std::string& docker_real, const std::vector<std::string>& dirs);

// `docker run` of `image` with its entrypoint cleared, searching the whole
// image for regular files called `name` (at most 8 levels deep).
std::vector<std::string> image_search_argv(const std::string& docker, const std::string& image,
                                           const std::string& name);

// Runs one Docker command to its end (no shell, its own process group, the
// time limit). `env` nullopt: ours. Throws what the executor throws (OsError
// when it cannot start, proc::TimedOut at the limit).
ExecResult run_docker(Executor& executor, std::vector<std::string> argv, double timeout,
                      std::optional<std::vector<std::pair<std::string, std::string>>> env = std::nullopt,
                      std::function<bool()> should_abort = {});

}  // namespace tavro::rivo
