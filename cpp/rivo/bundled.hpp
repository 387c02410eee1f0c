// The local rivo installed with the package, used when no `rivo` is on PATH.
#pragma once

#include <string>

#include "rivo/core/command.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {

// The program the command runner starts for a child whose environment is
// `env`: "rivo" when the child's PATH has one (a real tool manager always
// wins), else the module's _BUNDLED_RIVO (logged at debug level once per
// path), else "rivo", so the launcher reports the missing program itself.
std::string rivo_program(nb::handle env);
// The same for an environment already converted (only its PATH matters).
std::string rivo_program(const Env& env);

// _BUNDLED_RIVO (the path of tavro/helpers/_bin/rivo beside this module) and
// _bundled_rivo_main, the `tavro-rivo` console entry.
void bind_bundled(nb::module_& m);

}  // namespace tavro::rivo
