// RIVO.run in stages. The Python arguments are converted once into a plain
// RunPlan (names in their file-system spelling); the stages work on it and
// keep only the Python objects that the overridable methods (_run,
// _infer_args, _fix_stale_abs_paths) and the result need, in RunCall.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <utility>
#include <string>
#include <vector>

#include "rivo/exec_core.hpp"
#include "rivo/resources.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {

struct OutSlot {
  std::string name;  // file-system spelling
  std::string text;  // the name as UTF-8 text (for the template)
  bool is_dir = false;
};

struct RunPlan {
  std::string tool;                // file-system spelling
  std::string proj;                // project folder whose files are copied in
  bool proj_is_temp = false;       // made for this run alone: removed at the end
  std::string sandbox_root, sandbox;
  std::string stdout_file;         // beside the sandbox: the streamed standard output
  std::string output;              // the node's output folder, spelled as pathlib does
  std::vector<OutSlot> slots;
  std::vector<core::StageRequest> requests;
};

// Python objects one run keeps beside its plan.
struct RunCall {
  nb::handle self, tool_name, manifest, inputs;
  nb::object out_specs;
  std::vector<nb::object> slot_names;       // per plan.slots
  std::vector<nb::object> request_slots;    // per plan.requests
  std::vector<bool> request_is_list;
  nb::str sandbox_str;
  nb::dict staged;                          // slot -> Path or list of Paths
  std::unordered_set<std::string> staged_names;
  nb::object template_;
  nb::list clean;
  std::optional<std::string> capture_slot;  // text of the "> slot" target
  nb::object entrypoint;
  nb::object env;
  std::optional<core::Resources> resources;  // the manifest's own "resources"
};

// What the tool run left: the completed process and, when standard output
// was streamed to plan.stdout_file, how much it wrote there.
struct Executed {
  nb::object proc;
  bool streamed = false;
  std::uint64_t out_bytes = 0;
  std::optional<std::pair<unsigned long long, unsigned long long>> own_file;
};

// Stages, in order (run.cpp, run_exec.cpp).
RunPlan plan_run(RunCall& call, nb::handle output_dir);
void stage_inputs(RunCall& call, const RunPlan& plan);
void build_arguments(RunCall& call, const RunPlan& plan);
Executed execute_with_recovery(RunCall& call, const RunPlan& plan);
nb::dict harvest_outputs(RunCall& call, const RunPlan& plan, Executed& run);

nb::object run_tool(nb::handle self, nb::handle tool_name, nb::handle manifest, nb::handle inputs,
                    nb::handle output_dir);

// Helpers shared with _infer_args and _fix_stale_abs_paths (execution.cpp).
namespace detail {
nb::object mod(const char* name);
using py::bytes_text;
using py::text_bytes;
bool path_exists(nb::handle s);
nb::str name_of(nb::handle path);
void require_component(nb::handle name, const char* what);
[[noreturn]] void reraise_suppressing(nb::handle first, nb::handle second);
nb::list exec_args(nb::handle entrypoint, nb::handle args);
nb::list positional(nb::handle staged);

// The exception being handled, as Python's `except ... as e:` block sets it,
// so errors raised by Python code called from here chain to it as __context__.
class Handling {
 public:
  explicit Handling(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030B0000
    prev_ = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
#else
    PyErr_GetExcInfo(&type_, &prev_, &tb_);
    PyErr_SetExcInfo(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))).inc_ref().ptr(),
                     nb::handle(exc).inc_ref().ptr(), PyException_GetTraceback(exc.ptr()));
#endif
  }
  ~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(prev_);
    Py_XDECREF(prev_);
#else
    PyErr_SetExcInfo(type_, prev_, tb_);
#endif
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* prev_ = nullptr;
#if PY_VERSION_HEX < 0x030B0000
  PyObject* type_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

}  // namespace detail

}  // namespace tavro::rivo
