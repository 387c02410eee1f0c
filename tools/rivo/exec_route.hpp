// Which locked tool's image runs an `exec`: the tool providing the
// executable, or for a shell line (`bash -c LINE`) the tool providing the
// first command of the line that a locked tool provides.
#pragma once

#include <string>
#include <vector>

#include "project.hpp"

namespace rivo {

// sh, bash, dash, zsh, ksh or ash, by base name.
bool is_shell(const std::string& exe);

// The command names of a shell line in order: the first word of each simple
// command (after ;, &, |, (, ), newlines), past variable assignments and
// prefix words such as exec, env, time or nohup. Quotes are dropped, not
// interpreted: enough to find program names.
std::vector<std::string> line_commands(const std::string& line);

// The tool that runs `argv`: route(argv[0]), or for `SHELL -c LINE` the
// first command of LINE that a tool provides. Null when none does.
const LockedTool* route_command(const std::vector<LockedTool>& tools, const std::vector<std::string>& argv);

// When no tool provides what `argv` runs: the one tool (or several sharing
// one image) that can run it anyway. Throws Failure naming the tools when
// their images differ, rather than guessing.
const LockedTool& sole_image_tool(const std::vector<LockedTool>& tools, const std::vector<std::string>& argv);

}  // namespace rivo
