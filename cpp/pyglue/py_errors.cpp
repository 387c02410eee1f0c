#include "pyglue/py_errors.hpp"

#include <cstring>

#include "pyglue/pyglue.hpp"

namespace tavro::py {

void raise(PyObject* type, nb::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}

void raise_instance(nb::handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw nb::python_error();
}

void raise_os_error(int err, const std::string& filename, const std::string& filename2) {
  nb::object exc;
  nb::object msg = nb::str(std::strerror(err));
  if (filename.empty()) {
    exc = nb::handle(PyExc_OSError)(err, msg);
  } else if (filename2.empty()) {
    exc = nb::handle(PyExc_OSError)(err, msg, fs_decode(filename));
  } else {
    exc = nb::handle(PyExc_OSError)(err, msg, fs_decode(filename), nb::none(), fs_decode(filename2));
  }
  raise_instance(exc);
}

void raise_os_error(const OsError& e) { raise_os_error(e.err(), e.path(), e.path2()); }

void raise_timeout_expired(nb::handle cmd, nb::handle timeout) {
  raise_instance(module_attr("subprocess", "TimeoutExpired")(cmd, timeout));
}

}  // namespace tavro::py
