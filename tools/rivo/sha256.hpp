// SHA-256 of a byte string, as lower-case hex; identifies a tool definition
// in rivo.lock.
#pragma once

#include <string>
#include <string_view>

namespace rivo {

std::string sha256_hex(std::string_view data);

}  // namespace rivo
