// Container image references and what `docker image inspect` says of them,
// shared by the local rivo and the run cache so both name an image alike.
#pragma once

#include <string>

namespace tavro::image {

// "quay.io/org/tool:1.0" -> "quay.io/org/tool"; a digest reference loses its digest.
std::string repository_of(const std::string& ref);

// Output of inspect -f '{{.Id}}{{range .RepoDigests}} {{.}}{{end}}': the
// image ID, then "repo@sha256:..." for each registry it came from. The
// digest of the image's own repository wins, then any, then the ID.
std::string identity_from_inspect(const std::string& image, const std::string& text);

}  // namespace tavro::image
