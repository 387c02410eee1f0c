// The Docker side of the local rivo: which images the local store holds,
// pulling only the missing ones, an image's real identity for rivo.lock, and
// containers that rivo can find again to stop them.
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

// A container name of this rivo process, unique on the machine.
std::string container_name();

// Stops and removes the named container (docker kill, then docker rm -f),
// quietly and within a few seconds; errors are ignored (it may be gone).
void stop_container(const std::string& name);

}  // namespace rivo
