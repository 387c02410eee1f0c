// The vendor table and the send functions: what goes to each vendor's SDK and
// which field of its answer is taken. A new vendor is one send function here
// and one row of kVendors.
#include "oraclet/vendors.hpp"

namespace tavro::oraclet {
namespace {

namespace py = tavro::py;

nb::dict message(const char* role, nb::handle content) {
  nb::dict m;
  m["role"] = role;
  m["content"] = content;
  return m;
}

[[noreturn]] void duplicate_keyword(nb::handle fn, const char* key) {
  nb::object name = nb::getattr(fn, "__qualname__", nb::str("create"));
  PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%s'", name.ptr(),
               key);
  throw nb::python_error();
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

// chat.completions.create(model=, messages=, **options); an option named
// model or messages is the duplicate keyword Python reports, and nothing is
// sent.
nb::object send_openai(const Request& r) {
  nb::list messages;
  if (!r.system_prompt.is_none()) messages.append(message("system", r.system_prompt));
  messages.append(message("user", r.user_prompt));
  nb::object create = r.client.attr("chat").attr("completions").attr("create");
  for (const char* k : {"model", "messages"})
    if (r.options.contains(k)) duplicate_keyword(create, k);
  nb::dict req;
  req["model"] = r.model;
  req["messages"] = messages;
  for (auto [k, v] : r.options) req[k] = v;
  nb::object response = create(**req);
  return response.attr("choices")[0].attr("message").attr("content");
}

// messages.create with max_tokens 4096 unless given; the options are merged
// over the built request, and the system prompt over the options.
nb::object send_anthropic(const Request& r) {
  nb::dict req;
  req["model"] = r.model;
  req["max_tokens"] = r.options.attr("pop")("max_tokens", 4096);
  nb::list messages;
  messages.append(message("user", r.user_prompt));
  req["messages"] = messages;
  req.attr("update")(r.options);
  if (!r.system_prompt.is_none()) req["system"] = r.system_prompt;
  nb::object create = r.client.attr("messages").attr("create");
  nb::object response = create(**sdk_keywords(create, req));
  return response.attr("content")[0].attr("text");
}

// models.generate_content(model=, contents=, config=): every option travels
// inside config under its own name.
nb::object send_google(const Request& r) {
  nb::object temperature = r.options.attr("pop")("temperature", 0);
  nb::dict config;
  for (auto [k, v] : r.options) config[k] = v;
  config["temperature"] = temperature;
  if (!r.system_prompt.is_none()) config["system_instruction"] = r.system_prompt;
  nb::object response = r.client.attr("models").attr("generate_content")(
      nb::arg("model") = r.model, nb::arg("contents") = r.user_prompt, nb::arg("config") = config);
  return response.attr("text");
}

// The last vendor by preference is default_llm's fallback: it is chosen when
// no other vendor's key is set, with the value of the first of its variables
// that exists at all (even empty), else an empty key.
constexpr Vendor kVendors[] = {
    {.provider = "openai",
     .sdk_module = "openai",
     .sdk_name = "OpenAI",
     .sdk_member = "OpenAI",
     .client_class = nullptr,
     .default_model = "gpt-4o-mini",
     .key_vars = {"OPENAI_API_KEY"},
     .preference = 2,
     .send = send_openai},
    {.provider = "anthropic",
     .sdk_module = "anthropic",
     .sdk_name = "Anthropic",
     .sdk_member = "Anthropic",
     .client_class = nullptr,
     .default_model = "claude-haiku-4-5-20251001",
     .key_vars = {"ANTHROPIC_API_KEY"},
     .preference = 1,
     .send = send_anthropic},
    {.provider = "google",
     .sdk_module = "google.genai",
     .sdk_name = "genai",
     .sdk_member = nullptr,
     .client_class = "Client",
     .default_model = "gemini-2.5-flash-lite",
     .key_vars = {"GEMINI_API_KEY", "GOOGLE_API_KEY"},
     .preference = 3,
     .send = send_google},
};

}  // namespace

std::span<const Vendor> vendors() { return kVendors; }

}  // namespace tavro::oraclet
