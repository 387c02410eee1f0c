// The tool runner: the RIVO class and the pieces its methods share.
#pragma once

#include "common/pyglue.hpp"

namespace tavro::rivo {
namespace nb = nanobind;

inline constexpr const char* kModule = "tavro.helpers.rivo";
inline constexpr const char* kDefaultRegistry = "https://github.com/tavro-bio/rivo-registry.git";

// Every attribute of a RIVO lives in its instance __dict__, so hosts and
// subclasses read and replace them like those of any Python object; the C++
// object itself carries nothing.
struct RIVO {};
using Class = nb::class_<RIVO>;

// An attribute of the rivo module, looked up at call time.
inline nb::object rivo_attr(const char* name) { return py::module_attr(kModule, name); }

// Value of an environment variable as the host's os.environ holds it ("" if unset).
nb::str environ_get(const char* name);

void bind_runner(nb::module_& m, Class& cls);
void bind_commands(nb::module_& m, Class& cls);
void bind_execution(nb::module_& m, Class& cls);
void bind_provisioning(nb::module_& m, Class& cls);

}  // namespace tavro::rivo
