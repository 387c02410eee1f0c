#include "linkwell/linkwell.hpp"

using namespace tavro::linkwell;

NB_MODULE(linkwell, m) {
  tavro::py::register_translators();
  for (const char* name : {"ast", "logging", "re", "os", "sys"})
    m.attr(name) = nb::module_::import_(name);
  nb::module_::import_("importlib.util");
  m.attr("importlib") = nb::module_::import_("importlib");
  m.attr("threading") = nb::module_::import_("threading");
  m.attr("Oraclet") = import_from("tavro.helpers.oraclet", "Oraclet");
  m.attr("logger") = m.attr("logging").attr("getLogger")(kModule);
  m.attr("_get_connectors_path") = import_from("tavro.helpers.paths", "get_connectors_path");

  bind_functions(m);
  Class cls(m, "Linkwell", nb::dynamic_attr(),
            "Has an LLM write the connector functions between pipeline nodes, keeps them in "
            "the connector store file and hands them out as callables.");
  bind_store(cls);
  bind_prompt(cls);
  bind_cleanup(cls);
  tavro::py::expose_signature(cls);
}
