// One client over three LLM vendors. The vendor SDK classes are looked up as
// attributes of this module at call time, so a host (or a test) can replace
// them. Loading the module only checks that every SDK is installed; an SDK is
// imported when its attribute is first read (module __getattr__), since the
// three together take seconds and a hundred megabytes to import.
#include "pyglue/pyglue.hpp"

namespace nb = nanobind;
namespace py = tavro::py;

namespace {

constexpr const char* kModule = "tavro.helpers.oraclet";

struct Oraclet {};


nb::object mod_attr(const char* name) { return py::module_attr(kModule, name); }

// The vendor client for `provider`, or None for an unknown provider.
nb::object build_client(nb::handle provider, nb::handle api_key) {
  if (provider.equal(nb::str("openai"))) return mod_attr("OpenAI")(nb::arg("api_key") = api_key);
  if (provider.equal(nb::str("anthropic")))
    return mod_attr("Anthropic")(nb::arg("api_key") = api_key);
  if (provider.equal(nb::str("google")))
    return mod_attr("genai").attr("Client")(nb::arg("api_key") = api_key);
  return nb::none();
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
  bool known = lowered.equal(nb::str("openai")) || lowered.equal(nb::str("anthropic")) ||
               lowered.equal(nb::str("google"));
  if (!known) {
    nb::str msg = nb::str("Unsupported provider: {}. Use 'openai', 'anthropic', or 'google'.")
                      .format(nb::repr(provider));
    py::raise(PyExc_ValueError, msg);
  }
  // Current SDKs refuse an empty key in their constructors; with no key the
  // client is built at the first call instead, so the failure shows where the
  // request is made and a keyless machine can still construct clients.
  self.attr("client") = nb::len(api_key) ? build_client(lowered, api_key) : nb::none();
}

// Newer Anthropic SDKs dropped sampling options such as `temperature` from
// the keywords of messages.create, although the API still takes them. Any
// request field the method does not name travels in `extra_body`, so the
// request on the wire carries the same fields whatever the SDK version.
nb::dict sdk_keywords(nb::handle fn, nb::dict req) {
  nb::object params;
  try {
    params = py::module_attr("inspect", "signature")(fn).attr("parameters");
  } catch (nb::python_error&) {
    return req;  // not introspectable: pass everything as keywords
  }
  for (nb::handle p : params.attr("values")()) {
    if (nb::cast<int>(p.attr("kind")) == 4) return req;  // takes **kwargs
  }
  nb::dict out, extra;
  for (auto [k, v] : req) {
    if (py::contains(params, k)) out[k] = v;
    else extra[k] = v;
  }
  if (nb::len(extra) == 0) return out;
  if (out.contains("extra_body") && !out["extra_body"].is_none()) {
    nb::dict merged = py::new_dict(out["extra_body"]);
    merged.attr("update")(extra);
    extra = merged;
  }
  out["extra_body"] = extra;
  return out;
}

[[noreturn]] void duplicate_keyword(nb::handle fn, const char* key) {
  nb::object name = nb::getattr(fn, "__qualname__", nb::str("create"));
  PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%s'", name.ptr(),
               key);
  throw nb::python_error();
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
  auto ensure_client = [&]() {
    if (client.is_none()) {
      client = build_client(provider, nb::str(""));
      self.attr("client") = client;
    }
  };
  nb::object model = self.attr("model_name");
  nb::object answer;

  if (provider.equal(nb::str("openai"))) {
    ensure_client();
    nb::list messages;
    if (has_system) {
      nb::dict m;
      m["role"] = "system";
      m["content"] = system_prompt;
      messages.append(m);
    }
    nb::dict user;
    user["role"] = "user";
    user["content"] = user_prompt;
    messages.append(user);
    nb::object create = client.attr("chat").attr("completions").attr("create");
    for (const char* k : {"model", "messages"})
      if (opts.contains(k)) duplicate_keyword(create, k);
    nb::dict req;
    req["model"] = model;
    req["messages"] = messages;
    for (auto [k, v] : opts) req[k] = v;
    nb::object response = create(**req);
    answer = response.attr("choices")[0].attr("message").attr("content");
  } else if (provider.equal(nb::str("anthropic"))) {
    ensure_client();
    nb::dict req;
    req["model"] = model;
    req["max_tokens"] = opts.attr("pop")("max_tokens", 4096);
    nb::list messages;
    nb::dict user;
    user["role"] = "user";
    user["content"] = user_prompt;
    messages.append(user);
    req["messages"] = messages;
    req.attr("update")(opts);
    if (has_system) req["system"] = system_prompt;
    nb::object create = client.attr("messages").attr("create");
    nb::object response = create(**sdk_keywords(create, req));
    answer = response.attr("content")[0].attr("text");
  } else if (provider.equal(nb::str("google"))) {
    ensure_client();
    nb::object temperature = opts.attr("pop")("temperature", 0);
    nb::dict config;
    for (auto [k, v] : opts) config[k] = v;
    config["temperature"] = temperature;
    if (has_system) config["system_instruction"] = system_prompt;
    nb::object response = client.attr("models").attr("generate_content")(
        nb::arg("model") = model, nb::arg("contents") = user_prompt, nb::arg("config") = config);
    answer = response.attr("text");
  } else {
    return nb::none();
  }
  py::require_return(answer, &PyUnicode_Type);
  return answer;
}

nb::object default_llm() {
  nb::object environ = py::module_attr("os", "environ");
  nb::object cls = mod_attr("Oraclet");
  nb::object anthropic_key = environ.attr("get")("ANTHROPIC_API_KEY", "");
  if (py::truthy(anthropic_key)) return cls("anthropic", "claude-haiku-4-5-20251001", anthropic_key);
  nb::object openai_key = environ.attr("get")("OPENAI_API_KEY", "");
  if (py::truthy(openai_key)) return cls("openai", "gpt-4o-mini", openai_key);
  nb::object key = nb::str("");
  if (py::contains(environ, "GEMINI_API_KEY")) key = environ["GEMINI_API_KEY"];
  else if (py::contains(environ, "GOOGLE_API_KEY")) key = environ["GOOGLE_API_KEY"];
  return cls("google", "gemini-2.5-flash-lite", key);
}

// The lazily imported vendor names: attribute, module, attribute of that
// module (null: the module itself).
struct Vendor {
  const char* name;
  const char* module;
  const char* attr;
};
constexpr Vendor kVendors[] = {
    {"Anthropic", "anthropic", "Anthropic"}, {"OpenAI", "openai", "OpenAI"}, {"genai", "google.genai", nullptr}};

// Called for a module attribute that is not set: imports the vendor SDK it
// names and keeps the result as an ordinary attribute (which a host may then
// replace like any other).
nb::object module_getattr(nb::handle name) {
  for (const Vendor& v : kVendors) {
    if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), v.name) == 0) {
      nb::object value = nb::module_::import_(v.module);
      if (v.attr) value = value.attr(v.attr);
      nb::module_::import_(kModule).attr(v.name) = value;
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
  for (const Vendor& v : kVendors) names.attr("add")(v.name);
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
  // Checked in this order: a missing vendor SDK makes the import of this
  // module fail, though none is imported yet.
  nb::module_::import_("importlib.util");
  for (const Vendor& v : kVendors) require_installed(v.module);
  m.def("__getattr__", &module_getattr, nb::arg("name"), nb::sig("def __getattr__(name: str) -> object"),
        "Import a vendor SDK (Anthropic, OpenAI, genai) when it is first used.");
  m.def("__dir__", &module_dir, nb::sig("def __dir__() -> list[str]"),
        "The module's names, the vendor SDK names included.");

  nb::class_<Oraclet> cls(m, "Oraclet", nb::dynamic_attr(),
                          "A prompt-in, text-out client over OpenAI, Anthropic or Google.");
  cls.def("__init__", &init, nb::arg("provider").none(), nb::arg("model_name").none(), nb::arg("api_key").none(),
           nb::sig("def __init__(self, provider: str, model_name: str, api_key: str) -> None"))
      .def("call", &call, nb::arg("user_prompt").none(), nb::arg("system_prompt").none() = nb::none(),
           nb::arg("kwargs"),
           nb::sig("def call(self, user_prompt: str, system_prompt: str | None = None, **kwargs) -> str | None"),
           "Send one prompt and return the model's answer text.");
  py::expose_signature(cls);

  m.def("default_llm", &default_llm, nb::sig("def default_llm() -> Oraclet"),
        "An Oraclet for the first vendor whose API key is set: Anthropic, OpenAI, else Google.");
}
