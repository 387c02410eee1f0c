// The argument template is split as Python's shlex.split(text) splits it
// (POSIX rules, no comments): white space (space, tab, CR, LF) separates
// words, single quotes keep everything, double quotes keep everything but
// let a backslash escape '"' and '\', and a backslash outside quotes escapes
// any character. All of these characters are ASCII, so working on UTF-8
// bytes agrees with Python working on code points.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavro::rivo {

// Throws InvalidArgument "No closing quotation" or "No escaped character",
// the ValueError texts of shlex.
std::vector<std::string> shell_split(std::string_view text);

}  // namespace tavro::rivo
