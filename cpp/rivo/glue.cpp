// What the binding files share: environment and module look-ups, the Log
// that forwards to the module's logger, and the exception being handled.
#include "rivo/rivo.hpp"

namespace tavro::rivo {

nb::str environ_get(const char* name) {
  return nb::str(nb::module_::import_("os").attr("environ").attr("get")(name, ""));
}

std::string registry_of(nb::handle self) {
  nb::object registry = self.attr("registry");
  if (!py::truthy(registry)) registry = rivo_attr("DEFAULT_REGISTRY");
  return py::fs_encode(registry);
}

std::string temp_dir() { return py::fs_encode(py::module_attr("tempfile", "gettempdir")()); }

bool runs_own_run(nb::handle self) {
  nb::object bound = nb::getattr(self, "_run", nb::none());
  nb::object func = nb::getattr(bound, "__func__", nb::none());
  nb::object own = nb::type<RIVO>().attr("__dict__").attr("get")("_run");
  nb::object bound_self = nb::getattr(bound, "__self__", nb::none());
  return !func.is_none() && func.is(own) && bound_self.is(self);
}

bool PyLog::enabled(Level level) {
  nb::gil_scoped_acquire gil;
  return py::log_enabled(kModule, static_cast<int>(level));
}

void PyLog::write(Level level, const char* fmt, const std::vector<LogArg>& args) {
  nb::gil_scoped_acquire gil;
  nb::list values;
  for (const LogArg& a : args) {
    if (const auto* text = std::get_if<std::string>(&a))
      values.append(py::fs_decode(*text));
    else
      values.append(str_list(std::get<std::vector<std::string>>(a)));
  }
  py::log_args(kModule, static_cast<int>(level), fmt, nb::tuple(values));
}

void append_option(nb::list& cmd, const char* option, nb::handle value) {
  if (!py::truthy(value)) return;
  cmd.append(option);
  cmd.append(value);
}

nb::list str_list(const std::vector<std::string>& items) {
  nb::list out;
  for (const auto& s : items) out.append(py::fs_decode(s));
  return out;
}

Handling::Handling(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030B0000
  prev_ = PyErr_GetHandledException();
  PyErr_SetHandledException(exc.ptr());
#else
  PyErr_GetExcInfo(&type_, &prev_, &tb_);
  PyErr_SetExcInfo(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))).inc_ref().ptr(),
                   nb::handle(exc).inc_ref().ptr(), PyException_GetTraceback(exc.ptr()));
#endif
}

Handling::~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
  PyErr_SetHandledException(prev_);
  Py_XDECREF(prev_);
#else
  PyErr_SetExcInfo(type_, prev_, tb_);
#endif
}

}  // namespace tavro::rivo
