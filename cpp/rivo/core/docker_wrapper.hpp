// The Docker wrapper the hosted setting installs over `docker`: every
// `docker run` gets host networking (the sandbox's kernel has no bridge
// networking), the host's NVIDIA devices and libraries mapped in by hand,
// and the CUDA and JAX environment; every other command goes to the real
// executable unchanged.
#pragma once

#include <string>

namespace tavro::rivo {

// The bash script handing every command but run and pull to the real
// executable at `real_docker`.
std::string docker_wrapper_script(const std::string& real_docker);

}  // namespace tavro::rivo
