#include "pyglue/pyglue.hpp"

#include "common/errors.hpp"

namespace tavro::py {

void require_type(nb::handle obj, PyTypeObject* expected, const char* name, bool optional) {
  if (Py_TYPE(obj.ptr()) == expected) return;
  if (optional && obj.is_none()) return;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected->tp_name, Py_TYPE(obj.ptr())->tp_name);
  throw nb::python_error();
}

void require_return(nb::handle obj, PyTypeObject* expected, bool allow_none) {
  if (Py_TYPE(obj.ptr()) == expected || (allow_none && obj.is_none())) return;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name,
               Py_TYPE(obj.ptr())->tp_name);
  throw nb::python_error();
}

// The `logger` attribute of the module `name`, looked up at every call so a
// host or test that replaces or patches it is obeyed; logging.getLogger(name)
// when the module has none.
static nb::object get_logger(const char* name) {
  nb::object module = nb::module_::import_(name);
  PyObject* logger = PyObject_GetAttrString(module.ptr(), "logger");
  if (logger) return nb::steal(logger);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::module_::import_("logging").attr("getLogger")(name);
}

bool log_enabled(const char* logger, int level) {
  return truthy(get_logger(logger).attr("isEnabledFor")(level));
}

void log_args(const char* logger, int level, const char* fmt, nb::tuple args) {
  get_logger(logger).attr("log")(level, fmt, *args);
}

nb::object module_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

std::string fs_encode(nb::handle obj) {
  nb::object b = nb::steal(PyUnicode_Check(obj.ptr())
                               ? PyUnicode_EncodeFSDefault(obj.ptr())
                               : nullptr);
  if (!b.is_valid()) {
    if (PyErr_Occurred()) throw nb::python_error();
    b = module_attr("os", "fsencode")(obj);
  }
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(b.ptr(), &data, &len) != 0) throw nb::python_error();
  return std::string(data, static_cast<size_t>(len));
}

std::optional<std::string> fs_path_or_none(nb::handle s) {
  std::string path;
  try {
    path = fs_encode(s);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return std::nullopt;
  }
  if (path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

nb::str fs_decode(const std::string& s) {
  PyObject* o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) throw nb::python_error();
  return nb::steal<nb::str>(o);
}

nb::str decode_lossless(const std::string& s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!o) throw nb::python_error();
  return nb::steal<nb::str>(o);
}

nb::bytes to_bytes(const std::string& s) { return nb::bytes(s.data(), s.size()); }

std::vector<std::string> to_argv(nb::handle seq) {
  std::vector<std::string> out;
  for (nb::handle item : seq) out.push_back(fs_encode(item));
  return out;
}

std::vector<std::pair<std::string, std::string>> to_env_pairs(nb::handle mapping) {
  std::vector<std::pair<std::string, std::string>> out;
  nb::object items = mapping.attr("items")();
  for (nb::handle kv : items) {
    nb::object k = kv[0];
    nb::object v = kv[1];
    out.emplace_back(fs_encode(k), fs_encode(v));
  }
  return out;
}

void expose_signature(nb::handle cls) {
  // The text is "def __init__(self, ...) -> None": compiled as a stub whose
  // annotations stay text, then `self` and the return are dropped.
  static const char* const kBuild =
      "def _signature(text):\n"
      "    import inspect\n"
      "    ns = {}\n"
      "    exec(compile('from __future__ import annotations\\n' + text + ': pass', '<signature>', 'exec'), ns)\n"
      "    sig = inspect.signature(ns['__init__'])\n"
      "    return sig.replace(parameters=list(sig.parameters.values())[1:],\n"
      "                       return_annotation=inspect.Signature.empty)\n"
      "class _ClassSignature:\n"
      "    # only for the class itself: a subclass's own __init__ is read as usual\n"
      "    def __init__(self, cls, sig):\n"
      "        self.cls, self.sig = cls, sig\n"
      "    def __get__(self, obj, owner=None):\n"
      "        return self.sig if obj is None and owner is self.cls else None\n";
  nb::dict ns;
  ns["__builtins__"] = nb::module_::import_("builtins");
  nb::object code = module_attr("builtins", "compile")(kBuild, "<tavro>", "exec");
  module_attr("builtins", "exec")(code, ns);
  nb::object text = cls.attr("__init__").attr("__nb_signature__")[0][0];
  cls.attr("__signature__") = ns["_ClassSignature"](cls, ns["_signature"](text));
}

}  // namespace tavro::py
