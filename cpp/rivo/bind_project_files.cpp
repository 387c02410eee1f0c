// The project files rivo.toml and rivo.lock: RIVO._write_toml, the prune
// to the tools of this run before a sync, and the image reference the
// lockfile records for a tool.
#include <optional>
#include <string>

#include "common/fileops.hpp"
#include "common/flock.hpp"
#include "rivo/core/toml_writer.hpp"
#include "rivo/rivo.hpp"
// Reading and writing the project's TOML files (rivo.toml, rivo.lock).

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

TomlValue to_toml(nb::handle v, const TomlTypes& t, int depth);

TomlValue table_to_toml(nb::handle m, const TomlTypes& t, int depth) {
  TomlValue table = TomlValue::table();
  for (nb::handle kv : m.attr("items")()) {
    nb::object key = kv[0];
    if (!PyUnicode_Check(key.ptr())) {
      nb::object type_name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(key.ptr()))).attr("__name__");
      py::raise(PyExc_TypeError,
                nb::str("Invalid mapping key {!r} of type {!r}. A string is required.").format(key, type_name));
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

TomlValue to_toml(nb::handle v, const TomlTypes& t, int depth) {
  if (depth > kMaxTomlDepth) {
    py::raise(PyExc_RecursionError, "maximum nesting depth exceeded while writing TOML");
  }
  PyObject* o = v.ptr();
  if (PyBool_Check(o)) return TomlValue::literal(o == Py_True ? "true" : "false");
  if (PyLong_Check(o)) return TomlValue::literal(type_repr(&PyLong_Type, v));
  if (PyFloat_Check(o)) return TomlValue::literal(type_repr(&PyFloat_Type, v));
  if (PyList_Check(o)) {
    TomlValue arr = TomlValue::array();
    for (nb::handle item : v) arr.items.push_back(to_toml(item, t, depth + 1));
    return arr;
  }
  if (py::is_instance(v, t.mapping)) return table_to_toml(v, t, depth);
  if (auto text = toml_datetime(v, t)) return TomlValue::literal(*text);
  if (PyUnicode_Check(o)) return TomlValue::string(py::utf8_bytes(v));
  return TomlValue::string(py::utf8_bytes(nb::str(v)));
}

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
    payload = toml_document(table_to_toml(data, TomlTypes{}, 0));
  }
  std::string target = py::fs_encode(path);
  nb::gil_scoped_release nogil;
  fs::publish_bytes(target, payload);
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

using py::DEBUG;
using py::INFO;
using py::WARNING;

nb::object os_path(const char* name) { return py::module_attr("os.path", name); }
bool exists(nb::handle path) { return py::truthy(os_path("exists")(path)); }

// `mapping.get(key) or {}`
nb::object get_or_empty(nb::handle mapping, nb::handle key) {
  nb::object v = mapping.attr("get")(key);
  return py::truthy(v) ? v : nb::object(nb::dict());
}

// The project lock that the rivo command takes around its own changes of
// rivo.toml, rivo.lock and the shim folder, so a prune and a `rivo add` of
// another worker never interleave. Waiting is logged; a lock that cannot be
// taken at all (a file system without lock support) costs a warning only.
lock::FileLock lock_project_files(nb::handle home) {
  nb::object path = os_path("join")(home, lock::kRivoProjectLock);
  const std::string target = py::fs_encode(path);
  lock::Options options;
  options.on_wait = [&path](double waited) {
    nb::gil_scoped_acquire gil;
    py::log(kModule, waited < 30 ? DEBUG : WARNING, "Waiting for the rivo project lock %s (%s s)", path,
            nb::int_(static_cast<long>(waited)));
  };
  try {
    return py::without_gil([&](const std::function<bool()>& abort) {
      options.should_abort = abort;
      return lock::FileLock(target, lock::Mode::Exclusive, options);
    });
  } catch (const OsError& e) {
    py::log(kModule, WARNING, "Could not lock %s (%s); pruning without the lock", path,
            py::module_attr("os", "strerror")(e.err()));
    return {};
  }
}

void prune_lockfile_to_session(nb::handle self) {
  nb::object home = self.attr("_rivo_home");
  nb::object session = self.attr("_session_tools");
  if (!py::truthy(home) || !py::truthy(session)) return;
  nb::object keep = nb::steal(PySet_New(session.ptr()));
  if (!keep.is_valid()) throw nb::python_error();
  nb::object reader = toml_reader();
  if (reader.is_none()) {
    py::log(kModule, DEBUG, "No TOML reader; skipping lockfile prune");
    return;
  }
  lock::FileLock guard;
  if (py::truthy(os_path("isdir")(home))) guard = lock_project_files(home);
  struct File {
    const char* name;
    const char* pruned;
    const char* failed;
  };
  static constexpr File files[] = {
      {"rivo.lock", "Pruned stale tools from rivo.lock: %s",
       "Could not prune rivo.lock (%s); deleting it for a clean sync"},
      {"rivo.toml", "Pruned stale tools from rivo.toml: %s",
       "Could not prune rivo.toml (%s); deleting it for a clean sync"},
  };
  nb::object join = os_path("join");
  for (const File& file : files) {
    nb::object path = join(home, file.name);
    if (!exists(path)) continue;
    nb::object failure = py::failure_of([&] {
      nb::object doc = load_toml(reader, path);
      nb::object tools = get_or_empty(doc, nb::str("tools"));
      nb::list stale;
      for (nb::handle name : tools)
        if (!py::contains(keep, name)) stale.append(name);
      if (!nb::len(stale)) return;
      for (nb::handle name : stale) tools.attr("pop")(name, nb::none());
      nb::object write = self.attr("_write_toml");
      write(path, doc);
      py::log(kModule, INFO, file.pruned, stale);
    });
    if (!failure.is_valid()) continue;
    py::log(kModule, WARNING, file.failed, failure);
    try {
      py::module_attr("os", "remove")(path);
    } catch (nb::python_error& rm) {
      if (!rm.matches(PyExc_OSError)) throw;
    }
  }
}

nb::tuple locked_image_ref(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::tuple nothing = nb::make_tuple(nb::none(), nb::none());
  nb::object home = self.attr("_rivo_home");
  if (!py::truthy(home)) return nothing;
  nb::object path = os_path("join")(home, "rivo.lock");
  if (!exists(path)) return nothing;
  nb::object reader = toml_reader();
  if (reader.is_none()) return nothing;
  nb::object doc;
  if (py::failure_of([&] { doc = load_toml(reader, path); }).is_valid()) return nothing;
  nb::object entry = get_or_empty(get_or_empty(doc, nb::str("tools")), tool);
  nb::object ref = entry.attr("get")("image_reference");
  nb::object digest = entry.attr("get")("image_digest");
  return nb::make_tuple(ref, digest);
}

}  // namespace

void bind_project_files(nb::module_&, Class& cls) {
  cls.def_static("_write_toml", &write_toml, nb::arg("path").none(), nb::arg("data").none(),
                 nb::sig("def _write_toml(path: str, data: dict) -> None"),
                 "Best-effort TOML writer: tomli_w when available, otherwise a minimal "
                 "subset sufficient for rivo.toml / rivo.lock.");
  cls.def("_prune_lockfile_to_session", &prune_lockfile_to_session,
          nb::sig("def _prune_lockfile_to_session(self) -> None"),
          "Drop from rivo.lock and rivo.toml every tool not added during this run.");
  cls.def("_locked_image_ref", &locked_image_ref, nb::arg("tool").none(),
          nb::sig("def _locked_image_ref(self, tool: str) -> tuple[str | None, str | None]"),
          "The (image_reference, image_digest) that rivo.lock records for the tool.");
}

}  // namespace tavro::rivo
