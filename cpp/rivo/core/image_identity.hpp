// What a tool run will execute, named by identity rather than by tag, for
// the run cache key: the image's digest (docker, apptainer) or the
// executable's content hash (the local backend). Plain C++.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rivo/core/content_hash.hpp"

namespace tavro::rivo::cache {

// One tool of rivo.lock, as far as the identity needs it.
struct LockedTool {
  std::string name, image_reference, image_digest, backend, entrypoint;
  std::vector<std::string> binaries;
};

struct ImageIdentity {
  std::string backend;      // "docker", "apptainer", "local"
  std::string reference;    // the image reference (local: the executable's path)
  std::string identity;     // what the key holds; empty when none could be had
  std::string lock_digest;  // what rivo.lock recorded, for the record
  std::string problem;      // why there is no identity (the run is then not cached)
};

struct IdentityRequest {
  std::string tool, entrypoint;
  std::optional<std::string> manifest_image;
  std::vector<LockedTool> locked;  // rivo.lock of the run's project, in file order
  std::string backend_override;    // RIVO_BACKEND of the run's environment, "" when unset
  std::vector<std::string> env;    // the run's environment, "KEY=VALUE"
  std::string docker;              // the Docker program for `image inspect`
};

// The backend `rivo exec` will use, as it decides: RIVO_BACKEND, else what
// the lock records for the tool that provides the executable (the first
// locked tool listing it among its binaries, else the first whose
// entrypoint has its name). The image is that tool's; a tag's identity is
// asked of Docker, since a tag rebuilt since the lock was written runs the
// new image. "auto" cannot be told before the run: no identity.
ImageIdentity resolve_identity(const IdentityRequest& req, HashMemo& memo);

// The identity in `docker image inspect -f '{{.Id}}{{range .RepoDigests}} {{.}}{{end}}'`
// output: the repository digest of the image's own repository, else any
// repository digest, else the image ID (as rivo.lock records it).
std::string identity_from_inspect(const std::string& image, const std::string& text);

}  // namespace tavro::rivo::cache
