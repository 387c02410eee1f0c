// One client over the LLM vendors of the vendor table (vendors.cpp). The
// vendor SDK classes are looked up as attributes of this module at call time,
// so a host (or a test) can replace them. Loading the module only checks that
// every SDK is installed; an SDK is imported when its attribute is first read
// (module __getattr__), since all of them together take seconds and a hundred
// megabytes to import.
#include <algorithm>
#include <string>
#include <vector>

#include "oraclet/vendors.hpp"

namespace nb = nanobind;
namespace py = tavro::py;
using tavro::oraclet::Request;
using tavro::oraclet::Vendor;
using tavro::oraclet::vendors;

namespace {

constexpr const char* kModule = "tavro.helpers.oraclet";

struct Oraclet {};

nb::object mod_attr(const char* name) { return py::module_attr(kModule, name); }

// The vendor whose provider name equals `provider`, or none.
const Vendor* vendor_of(nb::handle provider) {
  for (const Vendor& v : vendors())
    if (provider.equal(nb::str(v.provider))) return &v;
  return nullptr;
}

// The vendors by ascending preference.
std::vector<const Vendor*> by_preference() {
  std::vector<const Vendor*> out;
  for (const Vendor& v : vendors()) out.push_back(&v);
  std::stable_sort(out.begin(), out.end(),
                   [](const Vendor* a, const Vendor* b) { return a->preference < b->preference; });
  return out;
}

// The providers as users are told them: "'openai', 'anthropic', or 'google'".
std::string provider_list() {
  auto all = vendors();
  std::string out;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i) out += all.size() > 2 ? ", " : " ";
    if (i && i + 1 == all.size()) out += "or ";
    out += std::string("'") + all[i].provider + "'";
  }
  return out;
}

nb::object build_client(const Vendor& v, nb::handle api_key) {
  nb::object sdk = mod_attr(v.sdk_name);
  nb::object make = v.client_class ? nb::object(sdk.attr(v.client_class)) : sdk;
  return make(nb::arg("api_key") = api_key);
}

void init(Oraclet* t, nb::handle provider, nb::handle model_name, nb::handle api_key) {
  py::require_str(provider, "provider");
  py::require_str(model_name, "model_name");
  py::require_str(api_key, "api_key");
  new (t) Oraclet();
  nb::handle self = nb::find(t);
  nb::object lowered = provider.attr("lower")();
  self.attr("provider") = lowered;
  self.attr("model_name") = model_name;
  const Vendor* v = vendor_of(lowered);
  if (!v) {
    nb::str msg = nb::str("Unsupported provider: {}. Use {}.").format(nb::repr(provider), provider_list());
    py::raise(PyExc_ValueError, msg);
  }
  // Current SDKs refuse an empty key in their constructors; with no key the
  // client is built at the first call instead, so the failure shows where the
  // request is made and a keyless machine can still construct clients.
  self.attr("client") = nb::len(api_key) ? build_client(*v, api_key) : nb::none();
}

nb::object call(nb::handle self, nb::handle user_prompt, nb::handle system_prompt,
                nb::kwargs kwargs) {
  py::require_str(user_prompt, "user_prompt");
  py::require_str(system_prompt, "system_prompt", true);
  nb::dict opts;
  for (auto [k, v] : kwargs) opts[k] = v;
  if (!opts.contains("temperature")) opts["temperature"] = nb::int_(0);
  const bool has_system = !system_prompt.is_none() && nb::len(system_prompt) > 0;

  nb::object provider = self.attr("provider");
  nb::object client = self.attr("client");
  const Vendor* v = vendor_of(provider);
  if (!v) return nb::none();
  if (client.is_none()) {
    client = build_client(*v, nb::str(""));
    self.attr("client") = client;
  }
  nb::object model = self.attr("model_name");
  nb::handle system = has_system ? system_prompt : nb::handle(Py_None);
  nb::object answer = v->send(Request{client, model, user_prompt, system, opts});
  py::require_return(answer, &PyUnicode_Type);
  return answer;
}

// The first vendor by preference whose key variable is set and not empty;
// else the last one, with the first of its variables that exists at all.
nb::object default_llm() {
  nb::object environ = py::module_attr("os", "environ");
  nb::object cls = mod_attr("Oraclet");
  std::vector<const Vendor*> order = by_preference();
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    for (const char* var : order[i]->key_vars) {
      if (!var) break;
      nb::object key = environ.attr("get")(var, "");
      if (py::truthy(key)) return cls(order[i]->provider, order[i]->default_model, key);
    }
  }
  const Vendor& fallback = *order.back();
  nb::object key = nb::str("");
  for (const char* var : fallback.key_vars) {
    if (!var) break;
    if (py::contains(environ, var)) {
      key = environ[var];
      break;
    }
  }
  return cls(fallback.provider, fallback.default_model, key);
}

// Called for a module attribute that is not set: imports the vendor SDK it
// names and keeps the result as an ordinary attribute (which a host may then
// replace like any other).
nb::object module_getattr(nb::handle name) {
  for (const Vendor& v : vendors()) {
    if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), v.sdk_name) == 0) {
      nb::object value = nb::module_::import_(v.sdk_module);
      if (v.sdk_member) value = value.attr(v.sdk_member);
      nb::module_::import_(kModule).attr(v.sdk_name) = value;
      return value;
    }
  }
  PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kModule,
               nb::str(name).ptr());
  throw nb::python_error();
}

// dir() of the module: its attributes and the vendor names not yet imported.
nb::object module_dir() {
  nb::object names = nb::module_::import_("builtins").attr("set")(
      nb::module_::import_(kModule).attr("__dict__"));
  for (const Vendor& v : vendors()) names.attr("add")(v.sdk_name);
  return nb::module_::import_("builtins").attr("sorted")(names);
}

// Fails the import of this module, as importing it would, when a vendor SDK
// is not installed.
void require_installed(const char* module) {
  nb::object spec = py::module_attr("importlib.util", "find_spec")(module);
  if (!spec.is_none()) return;
  nb::object err = nb::handle(PyExc_ModuleNotFoundError)(nb::str("No module named '{}'").format(module));
  err.attr("name") = module;
  py::raise_instance(err);
}

}  // namespace

NB_MODULE(oraclet, m) {
  py::register_translators();
  m.attr("os") = nb::module_::import_("os");
  m.attr("Optional") = nb::module_::import_("typing").attr("Optional");
  // Checked by preference: a missing vendor SDK makes the import of this
  // module fail, though none is imported yet.
  nb::module_::import_("importlib.util");
  for (const Vendor* v : by_preference()) require_installed(v->sdk_module);

  // Docstrings name the table's vendors; they must outlive the module.
  std::string sdks, order;
  for (const Vendor& v : vendors()) sdks += std::string(sdks.empty() ? "" : ", ") + v.sdk_name;
  std::vector<const Vendor*> preferred = by_preference();
  for (size_t i = 0; i < preferred.size(); ++i)
    order += std::string(i ? (i + 1 == preferred.size() ? ", else " : ", ") : "") + preferred[i]->provider;
  static const std::string getattr_doc = "Import a vendor SDK (" + sdks + ") when it is first used.";
  static const std::string class_doc = "A prompt-in, text-out client over " + provider_list() + ".";
  static const std::string default_doc =
      "An Oraclet for the first vendor whose API key is set: " + order + ".";

  m.def("__getattr__", &module_getattr, nb::arg("name"), nb::sig("def __getattr__(name: str) -> object"),
        getattr_doc.c_str());
  m.def("__dir__", &module_dir, nb::sig("def __dir__() -> list[str]"),
        "The module's names, the vendor SDK names included.");

  nb::class_<Oraclet> cls(m, "Oraclet", nb::dynamic_attr(), class_doc.c_str());
  cls.def("__init__", &init, nb::arg("provider").none(), nb::arg("model_name").none(), nb::arg("api_key").none(),
           nb::sig("def __init__(self, provider: str, model_name: str, api_key: str) -> None"))
      .def("call", &call, nb::arg("user_prompt").none(), nb::arg("system_prompt").none() = nb::none(),
           nb::arg("kwargs"),
           nb::sig("def call(self, user_prompt: str, system_prompt: str | None = None, **kwargs) -> str | None"),
           "Send one prompt and return the model's answer text.");
  py::expose_signature(cls);

  m.def("default_llm", &default_llm, nb::sig("def default_llm() -> Oraclet"), default_doc.c_str());
}
