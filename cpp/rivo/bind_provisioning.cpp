// RIVO.add and RIVO.sync: tools into the project, images onto the machine.
#include "rivo/core/names.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

void add(nb::handle self, nb::args tools) {
  // Every name is checked before anything happens.
  for (nb::handle tool : tools)
    if (PyUnicode_Check(tool.ptr())) require_single_component(py::fs_encode(tool), "tool name");
  nb::object session = self.attr("_session_tools");
  nb::object load = self.attr("_load_cached_image");
  for (nb::handle tool : tools) {
    if (!py::contains(session, tool)) session.attr("append")(tool);
    load(tool);
  }
  nb::list cmd;
  cmd.append("add");
  for (nb::handle tool : tools) cmd.append(tool);
  // The global options, as add gives them (not through _base_args).
  nb::object backend = self.attr("backend");
  nb::object registry = self.attr("registry");
  append_option(cmd, "--backend", backend);
  append_option(cmd, "--registry", registry);
  self.attr("_run")(cmd);
  nb::object save = self.attr("_save_image_to_cache");
  for (nb::handle tool : tools) save(tool);
}

void sync(nb::handle self, nb::handle frozen) {
  self.attr("_prune_lockfile_to_session")();
  nb::list cmd;
  cmd.append("sync");
  nb::object backend = self.attr("backend");
  append_option(cmd, "--backend", backend);
  if (py::truthy(frozen)) cmd.append("--frozen");
  self.attr("_run")(cmd);
}

}  // namespace

void bind_provisioning(nb::module_&, Class& cls) {
  cls.def("add", &add, nb::arg("tools"), nb::sig("def add(self, *tools: str) -> None"));
  cls.def("sync", &sync, nb::arg("frozen").none() = false, nb::sig("def sync(self, frozen: bool = False) -> None"),
          "Pull all locked images and regenerate shims. Pass frozen=True for CI.");
}

}  // namespace tavro::rivo
