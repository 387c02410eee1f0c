// The connector store: naming, the registry of edges, generation of a batch of
// connectors into one downstream node, and loading the store as a module.
#include "common/errors.hpp"
#include "common/flock.hpp"
#include "common/text.hpp"
#include "linkwell/linkwell.hpp"
#include "linkwell/store.hpp"

namespace tavro::linkwell {
namespace {

constexpr const char* kHeader =
    "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n";

// Holds the instance's fileLock (whatever object sits in `fileLock`) for one
// scope, and releases it on every exit.
class Held {
 public:
  explicit Held(nb::handle self) : lock_(self.attr("fileLock")) { lock_.attr("acquire")(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
    if (r)
      Py_DECREF(r);
    else
      PyErr_WriteUnraisable(lock_.ptr());
  }

 private:
  nb::object lock_;
};

// The lock that other processes see: a flock on "<store>.lock" beside the
// store, taken inside fileLock for every access of the store file. Waiting
// runs without the GIL and is logged after a second. When the directory
// refuses the lock file, the store itself is locked: the store is then
// rewritten in place, so every process locks the same file.
lock::FileLock store_lock(const std::string& store, lock::Mode mode) {
  auto take = [mode](const std::string& path) {
    return py::without_gil([&](const std::function<bool()>& abort) {
      lock::Options opts;
      opts.should_abort = abort;
      opts.on_wait = [&path](double) {
        nb::gil_scoped_acquire gil;
        try {
          py::log(kModule, py::DEBUG, "Waiting for the connector store lock %s", py::fs_decode(path));
        } catch (nb::python_error& e) {
          e.discard_as_unraisable("logging the wait for the connector store lock");
        }
      };
      return lock::FileLock(path, mode, opts);
    });
  };
  try {
    return take(store + ".lock");
  } catch (const OsError& e) {
    if (e.err() != EACCES && e.err() != EROFS && e.err() != EPERM) throw;
    return take(store);
  }
}

nb::object builtin(const char* name) { return nb::module_::import_("builtins").attr(name); }

nb::str decode_text(const std::string& raw) { return py::utf8_text(universal_newlines(raw)); }

nb::object store_path() { return mod_attr("_connectors_path")(); }

std::string read_store(const std::string& path) {
  nb::gil_scoped_release nogil;
  return store::read(path);
}

// Whether the store holds a line starting with "def <fn>(". Caller holds fileLock.
bool store_defines(nb::handle fn) {
  std::string path = py::fs_encode(store_path());
  std::optional<std::string> raw;
  {
    lock::FileLock held = store_lock(path, lock::Mode::Shared);
    nb::gil_scoped_release nogil;
    raw = store::read_if_exists(path);
  }
  if (!raw) return false;
  nb::object re = mod_attr("re");
  nb::object pattern = nb::str("^def ") + re.attr("escape")(fn) + nb::str("\\(");
  nb::object text = decode_text(*raw), multiline = re.attr("M");
  return !re.attr("search")(pattern, text, multiline).is_none();
}

nb::str joined(nb::handle names) { return nb::borrow<nb::str>(nb::str(", ").attr("join")(names)); }

// A batch that lacks one of the connectors asked for is refused: registering
// its edge would only defer the failure to the first getConnector.
void require_defined(nb::handle names, nb::handle missing) {
  if (!nb::len(missing)) return;
  nb::str msg = nb::str("Generated connector code for {} does not define {}")
                    .format(joined(names), joined(missing));
  py::raise(PyExc_RuntimeError, msg);
}

// compile() of the text; any failure becomes a SyntaxError naming the batch's
// connectors, with the compiler's own error as its cause.
nb::object require_compiles(nb::handle text, nb::handle filename, nb::handle names,
                            const char* what) {
  try {
    return builtin("compile")(text, filename, "exec", nb::arg("dont_inherit") = true);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    nb::str msg = nb::str("{} for {} does not parse: {}")
                      .format(nb::str(what), joined(names), nb::str(e.value()));
    nb::raise_from(e, PyExc_SyntaxError, "%U", msg.ptr());
  }
}

// Runs the compiled store as its own throw-away module (never entered in
// sys.modules), as getConnector will load it. A store that raises there would
// make every connector of the pipeline unloadable, so it is refused with a
// RuntimeError naming the batch's connectors, the error as its cause; so is
// one where a connector of the batch is not a function once loaded.
void require_runs(nb::handle code, nb::handle filename, nb::handle names) {
  nb::object globals;
  try {
    nb::object module = nb::module_::import_("types").attr("ModuleType")("connectors");
    module.attr("__file__") = filename;
    globals = module.attr("__dict__");
    builtin("exec")(code, globals);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception) && !e.matches(PyExc_SystemExit)) throw;
    nb::object kind = nb::handle(e.type()).attr("__name__");
    nb::str msg = nb::str("The connector store with the code for {} does not load: {}: {}")
                      .format(joined(names), kind, nb::str(e.value()));
    nb::raise_from(e, PyExc_RuntimeError, "%U", msg.ptr());
  }
  nb::list missing;
  for (nb::handle fn : names) {
    PyObject* value = PyDict_GetItemWithError(globals.ptr(), fn.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    if (!value || !PyCallable_Check(value)) missing.append(fn);
  }
  require_defined(names, missing);
}

// Every name the store binds or reads, as far as the compiler knows them; an
// empty set for a store that does not compile (the combined text is refused
// for that anyway).
std::set<std::string> store_names(nb::handle existing, nb::handle path) {
  std::set<std::string> names;
  try {
    nb::object code = builtin("compile")(existing, path, "exec", nb::arg("dont_inherit") = true);
    add_store_names(code, names);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  return names;
}

// Node ids are fetched into locals before they become arguments: a failed
// lookup leaves its exception set, and the next lookup must not run then.
nb::object key_of(nb::handle u, nb::handle v) {
  nb::object u_id = u.attr("id");
  nb::object v_id = v.attr("id");
  return nb::make_tuple(u_id, v_id);
}

// _edge_fn(u.id, v.id), the ids fetched in that order.
nb::object edge_name(nb::handle edge_fn, nb::handle u, nb::handle v) {
  nb::object u_id = u.attr("id");
  nb::object v_id = v.attr("id");
  return edge_fn(u_id, v_id);
}

void register_edge(nb::handle self, nb::handle u, nb::handle v, nb::handle fn) {
  nb::object registry = self.attr("edgeConnectors");
  if (PyObject_SetItem(registry.ptr(), key_of(u, v).ptr(), fn.ptr()) != 0) throw nb::python_error();
}

// The store module built from the file's current bytes. The source is compiled
// here rather than through the loader's exec_module, which would consult and
// write __pycache__: its mtime-and-size check cannot tell apart two stores
// written within the same second with the same length.
nb::object load_store(nb::handle path) {
  nb::object name = nb::str("connectors");
  nb::object util = mod_attr("importlib").attr("util");
  nb::object loader = nb::module_::import_("importlib.machinery").attr("SourceFileLoader")(name, path);
  nb::object spec = util.attr("spec_from_file_location")(name, path, nb::arg("loader") = loader);
  nb::object module = util.attr("module_from_spec")(spec);
  std::string where = py::fs_encode(path), source;
  {
    lock::FileLock held = store_lock(where, lock::Mode::Shared);
    source = read_store(where);
  }
  nb::object code = builtin("compile")(py::to_bytes(source), path, "exec",
                                       nb::arg("dont_inherit") = true);
  nb::object globals = module.attr("__dict__");
  builtin("exec")(code, globals);
  return module;
}

void init(Linkwell* t) {
  new (t) Linkwell();
  nb::handle self = nb::find(t);
  self.attr("edgeConnectors") = nb::dict();
  self.attr("fileLock") = mod_attr("threading").attr("Lock")();
  self.attr("llm") = mod_attr("_default_llm")();
  self.attr("_module") = nb::none();
  std::string path = py::fs_encode(store_path());
  lock::FileLock held = store_lock(path, lock::Mode::Exclusive);
  nb::gil_scoped_release nogil;
  store::write(path, kHeader);
}

void set_llm(nb::handle self, nb::handle provider, nb::handle model, nb::handle api_key) {
  py::require_str(provider, "provider");
  py::require_str(model, "model");
  py::require_str(api_key, "api_key");
  self.attr("llm") = mod_attr("Oraclet")(nb::arg("provider") = provider,
                                         nb::arg("model_name") = model,
                                         nb::arg("api_key") = api_key);
}

// The store with the batch's functions replaced by `code`, checked and
// written as one step under fileLock and the cross-process lock; drops the
// loaded module. The batch's module-level names are kept apart from those of
// the store as it is now, under the lock.
void write_batch(nb::handle self, nb::handle names, nb::handle batch) {
  Held lock(self);
  nb::object path = store_path();
  std::string where = py::fs_encode(path);
  // Read again under the exclusive lock: other processes may have added
  // their connectors since this one last looked.
  lock::FileLock held = store_lock(where, lock::Mode::Exclusive);
  nb::object existing = decode_text(read_store(where));
  nb::object re = mod_attr("re");
  nb::object dotall = re.attr("S");
  for (nb::handle fn : names) {
    nb::object pattern = nb::str("def ") + re.attr("escape")(fn) + nb::str("\\(.*?\\n(?=def |\\Z)");
    existing = re.attr("sub")(pattern, "", existing, nb::arg("flags") = dotall);
  }
  nb::object code = keep_apart(batch, names, store_names(existing, path));
  nb::object text = existing.attr("rstrip")() + nb::str("\n\n") + code + nb::str("\n");
  nb::object compiled = require_compiles(text, path, names, "The connector store with the code");
  require_runs(compiled, path, names);
  std::string data = py::utf8_bytes(text);
  {
    nb::gil_scoped_release nogil;
    store::replace(where, data);
  }
  self.attr("_module") = nb::none();
}

nb::object generate_connector(nb::handle self, nb::handle upstream, nb::handle downstream,
                              nb::handle extra_context, nb::handle scatter_source) {
  py::require_str(extra_context, "extra_context", true);
  nb::object in_attr = getattr_or(downstream, "inNodes", nb::none());
  nb::list in_nodes;
  if (py::truthy(in_attr)) in_nodes = nb::steal<nb::list>(PySequence_List(in_attr.ptr()));
  if (!in_nodes.is_valid()) throw nb::python_error();
  if (!py::contains(in_nodes, upstream)) in_nodes.append(upstream);

  nb::object edge_fn = mod_attr("_edge_fn");
  nb::object target_fn = edge_name(edge_fn, upstream, downstream);

  nb::list edges, cached;
  for (nb::handle u : in_nodes) {
    nb::object fn = edge_name(edge_fn, u, downstream);
    bool stored;
    {
      Held lock(self);
      stored = store_defines(fn);
    }
    if (stored) {
      register_edge(self, u, downstream, fn);
      cached.append(nb::make_tuple(u, fn));
    } else {
      edges.append(nb::make_tuple(u, fn));
    }
  }
  if (!nb::len(edges)) {
    register_edge(self, upstream, downstream, target_fn);
    return target_fn;
  }

  nb::object scatter_fn = py::truthy(scatter_source)
                              ? edge_name(edge_fn, upstream, downstream)
                              : nb::none();
  nb::object prompt = self.attr("_build_prompt")(downstream, edges, cached, extra_context,
                                                 nb::arg("scatter_fn") = scatter_fn);
  nb::object raw = self.attr("_call_and_clean")(prompt);
  nb::object code = self.attr("_postprocess_code")(raw);
  if (code.is_none()) code = nb::str("");
  if (!PyUnicode_Check(code.ptr())) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(code.ptr())->tp_name);
    throw nb::python_error();
  }

  // A batch that does not compile is refused before the store is touched: one
  // bad answer must not make every other connector of the pipeline unloadable.
  nb::list names;
  for (nb::handle pair : edges) names.append(pair[1]);
  require_compiles(code, nb::str("<connectors>"), names, "Generated connector code");
  require_defined(names, undefined_connectors(code, names));

  write_batch(self, names, code);

  for (nb::handle pair : edges) register_edge(self, pair[0], downstream, pair[1]);
  return target_fn;
}

nb::object get_connector(nb::handle self, nb::handle in_node, nb::handle node) {
  nb::object fn_name = self.attr("edgeConnectors").attr("get")(key_of(in_node, node));
  if (fn_name.is_none()) return nb::none();
  // The module is kept in a local: a concurrent write may reset _module
  // between the load and the lookup.
  nb::object module = self.attr("_module");
  if (module.is_none()) {
    Held lock(self);
    module = self.attr("_module");
    if (module.is_none()) {
      module = load_store(store_path());
      self.attr("_module") = module;
    }
  }
  PyObject* fn = PyObject_GetAttr(module.ptr(), fn_name.ptr());
  if (!fn) throw nb::python_error();
  return nb::steal(fn);
}

nb::object get_edge_connectors(nb::handle self) { return self.attr("edgeConnectors"); }

nb::object connectors_path() {
  nb::object path = mod_attr("_get_connectors_path")();
  py::require_return(path, &PyUnicode_Type, false);
  return path;
}

nb::object ident(nb::handle node_id) {
  py::require_str(node_id, "node_id");
  nb::object last = node_id.attr("split")(".")[-1];
  return mod_attr("re").attr("sub")("\\W", "_", last);
}

nb::object edge_fn(nb::handle u_id, nb::handle v_id) {
  py::require_str(u_id, "u_id");
  py::require_str(v_id, "v_id");
  nb::object id_form = mod_attr("_ident");
  return nb::str("edge_") + id_form(u_id) + nb::str("_to_") + id_form(v_id);
}

nb::object default_llm() { return import_from("tavro.helpers.oraclet", "default_llm")(); }

}  // namespace

void bind_functions(nb::module_& m) {
  m.def("_connectors_path", &connectors_path, nb::sig("def _connectors_path() -> str"),
        "Path of the connector store, as the host's get_connectors_path() gives it now.");
  m.def("_ident", &ident, nb::arg("node_id").none(), nb::sig("def _ident(node_id: str) -> str"),
        "Identifier form of a node id: its last dotted component, non-word characters as '_'.");
  m.def("_edge_fn", &edge_fn, nb::arg("u_id").none(), nb::arg("v_id").none(),
        nb::sig("def _edge_fn(u_id: str, v_id: str) -> str"),
        "Connector function name of the edge from `u_id` to `v_id`.");
  m.def("_default_llm", &default_llm, nb::sig("def _default_llm() -> Oraclet"),
        "A new LLM client chosen from the environment's API keys.");
}

void bind_store(Class& cls) {
  cls.def("__init__", &init, nb::sig("def __init__(self) -> None"))
      .def("set_llm", &set_llm, nb::arg("provider").none(), nb::arg("model").none(),
           nb::arg("api_key").none(),
           nb::sig("def set_llm(self, provider: str, model: str, api_key: str) -> None"),
           "Replace the LLM client with a new Oraclet for this provider, model and key.")
      .def("generateConnector", &generate_connector, nb::arg("upstream").none(),
           nb::arg("downstream").none(),
           nb::arg("extra_context").none() = nb::none(),
           nb::arg("scatter_source").none() = false,
           nb::sig("def generateConnector(self, upstream: object, downstream: object, "
                   "extra_context: str | None = None, scatter_source: object = False) -> str"),
           "Return the connector function name of the edge upstream -> downstream, first "
           "having the LLM write the connectors of every not yet stored edge into `downstream` "
           "in one request.")
      .def("getConnector", &get_connector, nb::arg("in_node").none(), nb::arg("node").none(),
           nb::sig("def getConnector(self, in_node: object, node: object) -> "
                   "typing.Callable[[dict], typing.Any] | None"),
           "The connector function of the edge in_node -> node, or None if it is not registered.")
      .def("get_edge_connectors", &get_edge_connectors,
           nb::sig("def get_edge_connectors(self) -> dict"),
           "The live registry: (upstream id, downstream id) -> connector function name.");
}

}  // namespace tavro::linkwell
