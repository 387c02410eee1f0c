// The binding of the tool runner: the RIVO class and what its binding files
// share. The work is done by the plain C++ core in core/; these files check
// arguments, convert Python objects once and talk to Python.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pyglue/pyglue.hpp"
#include "rivo/core/command.hpp"
#include "rivo/core/errors.hpp"
#include "rivo/core/log.hpp"
#include "rivo/core/resources.hpp"
#include "rivo/core/slurm_job.hpp"

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

// The registry a `rivo` child gets when its environment names none: the
// instance's, else the module's DEFAULT_REGISTRY.
std::string registry_of(nb::handle self);

// tempfile.gettempdir(), in file-system spelling.
std::string temp_dir();

// True when self._run is RIVO's own command runner (not replaced by a
// subclass or on the instance), so a run may go to the executor directly.
bool runs_own_run(nb::handle self);

// The module's `logger` (looked up at every record) as the core's Log.
class PyLog final : public Log {
 public:
  bool enabled(Level level) override;
  void write(Level level, const char* fmt, const std::vector<LogArg>& args) override;
};

// Appends `option value` to a command line when value is truthy (not None,
// not empty): how every optional option of a rivo command is given.
void append_option(nb::list& cmd, const char* option, nb::handle value);

// Conversions between the core's file-system strings and Python.
nb::list str_list(const std::vector<std::string>& items);

// The exception Python code raised inside an `except ... as e:` block
// chains to as __context__: set to `exc` while this object lives.
class Handling {
 public:
  explicit Handling(nb::handle exc);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* prev_ = nullptr;
#if PY_VERSION_HEX < 0x030B0000
  PyObject* type_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

// The Python exception a command failure stands for (made once, then kept
// as its origin so that it is always the same object).
nb::object failure_object(const CommandFailed& failure);

// Raises the failure as Python would: the same exception object, chained
// to its context (suppressed for `raise ... from None`).
[[noreturn]] void raise_failure(const CommandFailed& failure);

// The message of a BadName for a name shown as `shown` (a repr).
nb::str bad_name_message(const std::string& subject, nb::handle shown, const std::string& rule);

// Where a run's tool runs and what it needs (bind_executor.cpp).
// The manifest's "resources" entry (a dict with any of "cpus", "memory",
// "time"), checked (ValueError naming a bad value); nullopt when it has none.
std::optional<Resources> manifest_resources(nb::handle manifest);
// RIVO_CPUS, RIVO_MEMORY and RIVO_TIME in a run's environment, as written.
void put_resource_env(Env& env, const Resources& res);
// A job's resources: the manifest's, each one missing taken from the tool
// definition as `self.show(tool, "json")` reports it (asked only then; a
// rivo that knows nothing of resources gives none).
Resources job_resources(nb::handle self, nb::handle tool_name, const std::optional<Resources>& given);
// self.executor is "slurm"; and the SLURM options stored on self.
bool runs_on_slurm(nb::handle self);
slurm::Options slurm_options(nb::handle self);
// The constructor's part: executor (argument, else RIVO_EXECUTOR, else
// "local") and the SLURM options, checked and stored on self.
void init_executor(nb::handle self, nb::handle executor, nb::handle partition, nb::handle account,
                   nb::handle srun_args);

// One group of methods each (bind_<group>.cpp).
void bind_errors(nb::module_& m);
void bind_executor(nb::module_& m);
void bind_runner(nb::module_& m, Class& cls);
void bind_commands(nb::module_& m, Class& cls);
void bind_run(nb::module_& m, Class& cls);
void bind_recovery(nb::module_& m, Class& cls);
void bind_project_files(nb::module_& m, Class& cls);
void bind_docker(nb::module_& m, Class& cls);
void bind_image_cache(nb::module_& m, Class& cls);
void bind_provisioning(nb::module_& m, Class& cls);

}  // namespace tavro::rivo
