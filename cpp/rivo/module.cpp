#include "rivo/bundled.hpp"
#include "rivo/rivo.hpp"

using namespace tavro::rivo;

NB_MODULE(rivo, m) {
  tavro::py::register_translators();
  m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(kModule);
  m.attr("DEFAULT_REGISTRY") = kDefaultRegistry;
  bind_bundled(m);
  Class cls(m, "RIVO", nb::dynamic_attr());
  bind_errors(m);
  bind_executor(m);
  bind_runner(m, cls);
  bind_commands(m, cls);
  bind_run(m, cls);
  bind_recovery(m, cls);
  bind_project_files(m, cls);
  bind_docker(m, cls);
  bind_image_cache(m, cls);
  bind_provisioning(m, cls);
  tavro::py::expose_signature(cls);
}
