// Plain text helpers of the core.
#pragma once

#include <string>

namespace tavro {

// Python's universal newlines on read: "\r\n" and a lone "\r" become "\n".
// Safe on UTF-8 (and on any ASCII-compatible encoding): those bytes never
// occur inside a multi-byte character.
std::string universal_newlines(std::string s);

}  // namespace tavro
