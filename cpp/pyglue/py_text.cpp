#include "pyglue/py_text.hpp"

namespace tavro::py {

std::string text_bytes(nb::handle str) {
  nb::object b = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  if (!b.is_valid()) throw nb::python_error();
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

nb::str bytes_text(const std::string& bytes) {
  PyObject* o =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass");
  if (!o) throw nb::python_error();
  return nb::steal<nb::str>(o);
}

std::string utf8_bytes(nb::handle str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str.ptr(), &n);
  if (!p) throw nb::python_error();
  return std::string(p, static_cast<size_t>(n));
}

nb::str utf8_text(const std::string& bytes) {
  PyObject* o = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (!o) throw nb::python_error();
  return nb::steal<nb::str>(o);
}

}  // namespace tavro::py
