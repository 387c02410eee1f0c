// Random names for temporary files.
#pragma once

#include <cstddef>
#include <string>

namespace tavro {

// 2 * nbytes lowercase hex digits from the kernel's random source (or, where
// getrandom is missing, std::random_device).
std::string random_hex(std::size_t nbytes = 8);

}  // namespace tavro
