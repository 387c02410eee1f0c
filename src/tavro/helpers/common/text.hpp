// Plain text helpers of the core.
#pragma once

#include <string>

namespace tavro {

// Python's universal newlines on read: "\r\n" and a lone "\r" become "\n".
std::string universal_newlines(std::string s);

}  // namespace tavro
