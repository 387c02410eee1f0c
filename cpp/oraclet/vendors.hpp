// The LLM vendors Oraclet speaks to: one row of kVendors and one send
// function each (vendors.cpp). Everything else of the module (the
// constructor, call, default_llm, the lazy SDK imports, and the stub
// generator's placeholders) reads the table.
#pragma once

#include <span>

#include "pyglue/pyglue.hpp"

namespace tavro::oraclet {
namespace nb = nanobind;

// One request, as `call` hands it to a vendor's send function.
struct Request {
  nb::handle client;         // the vendor client, already built
  nb::handle model;          // Oraclet.model_name
  nb::handle user_prompt;    // str
  nb::handle system_prompt;  // str, or None when absent (None or empty)
  nb::dict options;          // the call's own copy of the keyword options; "temperature" is set
};

// Sends the request and returns the answer field of the response (a str or
// None; call checks it).
using Send = nb::object (*)(const Request&);

struct Vendor {
  const char* provider;       // the name Oraclet takes, lower case
  const char* sdk_module;     // the vendor's client library; must be installed for the module to load
  const char* sdk_name;       // the module attribute that holds it, imported when first read
  const char* sdk_member;     // ... as this member of sdk_module (nullptr: the module itself)
  const char* client_class;   // what builds a client: this attribute of sdk_name (nullptr: sdk_name)
  const char* default_model;  // what default_llm asks for
  const char* key_vars[3];    // API-key variables default_llm reads, in order
  int preference;             // default_llm tries vendors by ascending preference
  Send send;
};

// The vendors in the order they are named to users (messages, docs).
std::span<const Vendor> vendors();

}  // namespace tavro::oraclet
