#include <stdexcept>

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
  // The host pipeline's own module: without it, say which one is missing
  // (an error escaping here would only read "error while initializing").
  try {
    m.attr("_get_connectors_path") = import_from("tavro.helpers.paths", "get_connectors_path");
  } catch (nb::python_error& e) {
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(e.value().ptr()));
    nb::str why = nb::str("{}: {}").format(type.attr("__name__"), e.value());
    throw std::runtime_error(
        std::string("tavro.helpers.linkwell needs the host pipeline's module tavro.helpers.paths (") +
        why.c_str() + ")");
  }

  bind_functions(m);
  Class cls(m, "Linkwell", nb::dynamic_attr(),
            "Has an LLM write the connector functions between pipeline nodes, keeps them in "
            "the connector store file and hands them out as callables.");
  bind_store(cls);
  bind_prompt(cls);
  bind_cleanup(cls);
  tavro::py::expose_signature(cls);
}
