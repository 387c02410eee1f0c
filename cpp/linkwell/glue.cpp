#include "linkwell/linkwell.hpp"

namespace tavro::linkwell {

nb::object import_from(const char* module, const char* name) {
  nb::module_ m = nb::module_::import_(module);
  PyObject* r = PyObject_GetAttrString(m.ptr(), name);
  if (!r) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    throw nb::python_error();
  }
  return nb::steal(r);
}

nb::object getattr_or(nb::handle obj, const char* name, nb::handle def) {
  PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
  if (r) return nb::steal(r);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::borrow(def);
}

std::pair<nb::object, nb::object> unpack2(nb::handle pair) {
  nb::object it = nb::steal(PyObject_GetIter(pair.ptr()));
  if (!it.is_valid()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(pair.ptr())->tp_name);
    }
    throw nb::python_error();
  }
  nb::object items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = nb::steal(PyIter_Next(it.ptr()));
    if (!items[i].is_valid()) {
      if (PyErr_Occurred()) throw nb::python_error();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw nb::python_error();
    }
  }
  nb::object extra = nb::steal(PyIter_Next(it.ptr()));
  if (extra.is_valid()) {
    py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return {std::move(items[0]), std::move(items[1])};
}

Text& Text::operator<<(nb::handle str) {
  buf_ += py::text_bytes(str);
  return *this;
}

nb::str Text::str() const {
  return py::bytes_text(buf_);
}

nb::str as_text(nb::handle obj) {
  nb::str spec("");
  PyObject* r = PyObject_Format(obj.ptr(), spec.ptr());
  if (!r) throw nb::python_error();
  return nb::steal<nb::str>(r);
}

void log_warning(const char* fmt, nb::handle arg) {
  nb::object logger = mod_attr("logger");
  if (!py::truthy(logger.attr("isEnabledFor")(int(py::WARNING)))) return;
  logger.attr("warning")(fmt, arg);
}

}  // namespace tavro::linkwell
