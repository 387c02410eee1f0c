// The names the tool runner makes files of, and the ones it keeps for itself.
#pragma once

#include <string>
#include <string_view>

namespace tavro::rivo {

// A tool's or a slot's name must be a single path component (not empty,
// "." or "..", without '/' or NUL): it becomes a file name. Throws BadName
// naming `subject` ("tool name", "output slot name").
void require_single_component(const std::string& name, const char* subject);

// The project's own entries, copied into every sandbox for `rivo exec` and
// never taken as a tool's outputs.
bool is_project_name(std::string_view name);

// Names an output slot cannot have: the project's entries (never
// harvested) and "_extras" (the folder everything else goes to).
bool is_reserved_slot_name(std::string_view name);

}  // namespace tavro::rivo
