// Reading and writing the project's TOML files (rivo.toml, rivo.lock).
#include "rivo/toml_io.hpp"

#include <optional>
#include <string>

#include "common/fileops.hpp"
#include "rivo/prov_core.hpp"

namespace tavro::rivo {
namespace {

constexpr int kMaxTomlDepth = 1000;

struct TomlTypes {
  nb::object mapping = py::module_attr("collections.abc", "Mapping");
  nb::object datetime = py::module_attr("datetime", "datetime");
  nb::object date = py::module_attr("datetime", "date");
  nb::object time = py::module_attr("datetime", "time");
};

std::string type_repr(PyTypeObject* type, nb::handle v) {
  return py::utf8_bytes(nb::steal(type->tp_repr(v.ptr())));
}

prov::TomlValue to_toml(nb::handle v, const TomlTypes& t, int depth);

prov::TomlValue table_to_toml(nb::handle m, const TomlTypes& t, int depth) {
  prov::TomlValue table = prov::TomlValue::table();
  for (nb::handle kv : m.attr("items")()) {
    nb::object key = kv[0];
    if (!PyUnicode_Check(key.ptr())) {
      py::raise(PyExc_TypeError, nb::str("Invalid mapping key {!r} of type {!r}. A string is required.")
                                 .format(key, nb::handle(Py_TYPE(key.ptr())).attr("__name__")));
    }
    table.keys.push_back(py::utf8_bytes(key));
    table.items.push_back(to_toml(kv[1], t, depth + 1));
  }
  return table;
}

// Text of a date or time when TOML can hold it as one (it has no offset
// times and no offsets with seconds); nullopt otherwise.
std::optional<std::string> toml_datetime(nb::handle v, const TomlTypes& t) {
  auto whole_minutes = [](nb::handle offset) {
    return nb::cast<int>(offset.attr("seconds")) % 60 == 0 &&
           nb::cast<int>(offset.attr("microseconds")) == 0;
  };
  if (py::is_instance(v, t.datetime)) {
    nb::object off = t.datetime.attr("utcoffset")(v);
    if (!off.is_none() && !whole_minutes(off)) return std::nullopt;
    return py::utf8_bytes(t.datetime.attr("isoformat")(v));
  }
  if (py::is_instance(v, t.date)) return py::utf8_bytes(t.date.attr("isoformat")(v));
  if (py::is_instance(v, t.time)) {
    if (!t.time.attr("utcoffset")(v).is_none()) return std::nullopt;
    return py::utf8_bytes(t.time.attr("isoformat")(v));
  }
  return std::nullopt;
}

prov::TomlValue to_toml(nb::handle v, const TomlTypes& t, int depth) {
  if (depth > kMaxTomlDepth) {
    py::raise(PyExc_RecursionError, "maximum nesting depth exceeded while writing TOML");
  }
  PyObject* o = v.ptr();
  if (PyBool_Check(o)) return prov::TomlValue::literal(o == Py_True ? "true" : "false");
  if (PyLong_Check(o)) return prov::TomlValue::literal(type_repr(&PyLong_Type, v));
  if (PyFloat_Check(o)) return prov::TomlValue::literal(type_repr(&PyFloat_Type, v));
  if (PyList_Check(o)) {
    prov::TomlValue arr = prov::TomlValue::array();
    for (nb::handle item : v) arr.items.push_back(to_toml(item, t, depth + 1));
    return arr;
  }
  if (py::is_instance(v, t.mapping)) return table_to_toml(v, t, depth);
  if (auto text = toml_datetime(v, t)) return prov::TomlValue::literal(*text);
  if (PyUnicode_Check(o)) return prov::TomlValue::string(py::utf8_bytes(v));
  return prov::TomlValue::string(py::utf8_bytes(nb::str(v)));
}

}  // namespace

void write_toml(nb::handle path, nb::handle data) {
  py::require_str(path, "path");
  py::require_dict(data, "data");
  nb::object writer;
  try {
    writer = nb::module_::import_("tomli_w");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
  }
  std::string payload;
  if (writer.is_valid()) {
    // Rendered in memory, so a writer failure halfway never reaches the file.
    nb::object buf = py::module_attr("io", "BytesIO")();
    writer.attr("dump")(data, buf);
    nb::bytes b = nb::borrow<nb::bytes>(buf.attr("getvalue")());
    payload.assign(b.c_str(), b.size());
  } else {
    payload = prov::toml_document(table_to_toml(data, TomlTypes{}, 0));
  }
  std::string target = py::fs_encode(path);
  nb::gil_scoped_release nogil;
  fs::replace_file(target, payload);
}

// tomllib, else tomli; None when neither is installed.
nb::object toml_reader() {
  for (const char* name : {"tomllib", "tomli"}) {
    try {
      return nb::module_::import_(name);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    }
  }
  return nb::none();
}

nb::object load_toml(nb::handle reader, nb::handle path) {
  nb::object f = py::module_attr("io", "open")(path, "rb");
  nb::object doc;
  try {
    doc = reader.attr("load")(f);
  } catch (...) {
    f.attr("close")();
    throw;
  }
  f.attr("close")();
  return doc;
}

}  // namespace tavro::rivo
