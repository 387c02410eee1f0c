// The Docker image store as the local rivo uses it: which images it holds,
// pulling only the missing ones, and an image's real identity for
// rivo.lock. Running a tool in a container is backend_docker.cpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/process.hpp"
#include "project.hpp"

namespace rivo {

// A quiet docker command: stdin on /dev/null, both streams captured, the
// time limit in seconds. Throws as tavro::proc::run does.
tavro::proc::Result docker_quiet(std::vector<std::string> args, double timeout);

// What `docker image inspect` knows of an image in the local store.
struct ImageState {
  bool present = false;
  std::string identity;  // repository digest when it has one, else the image ID
  std::string problem;   // docker's own words when it is not present
};

ImageState inspect_image(const std::string& image);

// Makes sure `image` is in the local store: pulls it only when it is missing.
// With `may_pull` false a missing image is a Failure naming it.
void ensure_image(const std::string& image, bool may_pull);

// Sets image_digest of each docker entry to its image's identity; an image
// not in the local store keeps what `previous` recorded for the same
// reference. Other backends record none.
void record_identities(std::vector<LockedTool>& entries, const std::vector<LockedTool>& previous);

}  // namespace rivo
