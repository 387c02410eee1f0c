// The connector generator: the Linkwell class and the pieces its methods share.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "pyglue/pyglue.hpp"

namespace tavro::linkwell {
namespace nb = nanobind;

inline constexpr const char* kModule = "tavro.helpers.linkwell";

// Every attribute of a Linkwell lives in its instance __dict__ (edgeConnectors,
// fileLock, llm, _module), so hosts, tests and subclasses read and replace them
// like those of any Python object; the C++ object itself carries nothing.
struct Linkwell {};
using Class = nb::class_<Linkwell>;

// A module-level name of this module, looked up at call time so that hosts
// and tests can replace it.
inline nb::object mod_attr(const char* name) { return py::module_attr(kModule, name); }

// `from module import name`: a missing name is an ImportError, as in Python.
nb::object import_from(const char* module, const char* name);

// getattr(obj, name, default): only AttributeError falls back to the default.
nb::object getattr_or(nb::handle obj, const char* name, nb::handle def);

using py::is_instance;

// `a, b = pair` with Python's errors for the wrong number of items.
std::pair<nb::object, nb::object> unpack2(nb::handle pair);

// Text assembled in C++ from fixed wording and Python-rendered pieces. Pieces
// travel as UTF-8 with surrogates passed through, so any Python str survives
// the round trip unchanged.
class Text {
 public:
  Text& operator<<(std::string_view s) {
    buf_.append(s);
    return *this;
  }
  Text& operator<<(nb::handle str);  // a str (or subclass)
  nb::str str() const;

 private:
  std::string buf_;
};

// format(obj, "") and repr(obj), both as str.
nb::str as_text(nb::handle obj);
inline nb::str py_repr(nb::handle obj) { return nb::repr(obj); }

// Logs through the module's `logger` attribute (skipped when disabled).
void log_warning(const char* fmt, nb::handle arg);

// A batch of generated connectors against the store it joins (batch.cpp).
// The names of `names` that `code` does not define as top-level functions.
nb::list undefined_connectors(nb::handle code, nb::handle names);
// Adds every name a compiled store binds or looks up by name (a superset of
// its module-level names) to `out`.
void add_store_names(nb::handle code_object, std::set<std::string>& out);
// `code` with each module-level name it binds that `store` holds, and each
// edge_* function not among `names`, renamed throughout the batch.
nb::object keep_apart(nb::handle code, nb::handle names, const std::set<std::string>& store);

void bind_prompt(Class& cls);
void bind_cleanup(Class& cls);
void bind_functions(nb::module_& m);
void bind_store(Class& cls);

}  // namespace tavro::linkwell
