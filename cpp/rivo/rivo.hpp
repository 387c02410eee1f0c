// The tool runner: the RIVO class and the pieces its methods share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pyglue/pyglue.hpp"

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

// Standard error (and a streamed standard output) is kept in memory only as
// its first and last 64 KiB, for logs and error messages.
inline constexpr std::size_t kCaptureBound = std::size_t{64} << 10;

// Standard output of a `rivo` run sent to a file instead of memory.
struct StdoutStream {
  int fd = -1;              // where the bytes go, written as they arrive
  std::uint64_t bytes = 0;  // how many the tool wrote (set by run_streamed)
};

// RIVO._run(cmd, cwd=cwd, env=env) with stdout streamed to `stream.fd`; the
// completed process's stdout holds the bounded text view of it.
nb::object run_streamed(nb::handle self, nb::handle cmd, nb::handle cwd, nb::handle env,
                        StdoutStream& stream, nb::handle timeout = nb::handle());

// True when self._run is RIVO's own command runner (not replaced by a
// subclass or on the instance), so a run may stream stdout through it.
bool runs_own_run(nb::handle self);

// Value of an environment variable as the host's os.environ holds it ("" if unset).
nb::str environ_get(const char* name);

void bind_runner(nb::module_& m, Class& cls);
void bind_commands(nb::module_& m, Class& cls);
void bind_execution(nb::module_& m, Class& cls);
void bind_provisioning(nb::module_& m, Class& cls);

}  // namespace tavro::rivo
