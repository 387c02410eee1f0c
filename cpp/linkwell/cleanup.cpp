// Turning an LLM answer into storable connector code: fence removal, leading
// prose, one syntax repair through the model, module-level imports removed and
// missing standard-library imports added. All parsing is Python's own `ast`,
// since the interpreter that loads the store is the judge.
#include <map>
#include <vector>

#include "linkwell/linkwell.hpp"

namespace tavro::linkwell {
namespace {

// The four modules the store header imports at module level.
constexpr const char* kHeaderModules[] = {"os", "json", "glob", "tempfile"};

nb::object ast_mod() { return mod_attr("ast"); }

nb::object parse(nb::handle code) { return ast_mod().attr("parse")(code); }

nb::str join_lines(nb::handle lines) {
  return nb::borrow<nb::str>(nb::str("\n").attr("join")(lines));
}

// From the first line that starts with "def " once stripped, joined with
// "\n"; the text unchanged when there is no such line.
nb::object drop_leading_prose(nb::handle code) {
  nb::list lines = nb::borrow<nb::list>(code.attr("splitlines")());
  size_t n = nb::len(lines);
  for (size_t i = 0; i < n; ++i) {
    if (py::truthy(lines[i].attr("strip")().attr("startswith")("def ")))
      return join_lines(nb::steal(PyList_GetSlice(lines.ptr(), static_cast<Py_ssize_t>(i),
                                                  static_cast<Py_ssize_t>(n))));
  }
  return nb::borrow(code);
}

long as_long(nb::handle o) { return nb::cast<long>(o); }

nb::object call_and_clean(nb::handle self, nb::handle prompt) {
  py::require_str(prompt, "prompt");
  nb::object answer = self.attr("llm").attr("call")(prompt);
  // A vendor may answer with no text at all (None); that is an empty answer,
  // which the generation then refuses as lacking its connectors.
  if (answer.is_none()) return nb::str("");
  nb::object text = answer.attr("strip")();
  nb::object re = mod_attr("re");
  text = re.attr("sub")("^```[a-zA-Z]*\n?", "", text, nb::arg("count") = 1);
  text = re.attr("sub")("\n?```$", "", text);
  return text;
}

nb::object strip_toplevel_imports(nb::handle, nb::handle code) {
  py::require_str(code, "code");
  nb::object ast = ast_mod();
  nb::object tree = parse(code);
  nb::list lines = nb::borrow<nb::list>(code.attr("splitlines")());
  nb::object import_t = ast.attr("Import"), import_from_t = ast.attr("ImportFrom");
  std::vector<bool> drop(nb::len(lines) + 1, false);
  for (nb::handle node : tree.attr("body")) {
    if (!is_instance(node, import_t) && !is_instance(node, import_from_t)) continue;
    long first = as_long(node.attr("lineno")), last = as_long(node.attr("end_lineno"));
    for (long i = std::max(first, 1L); i <= last && i < static_cast<long>(drop.size()); ++i)
      drop[static_cast<size_t>(i)] = true;
  }
  nb::list kept;
  for (size_t i = 0; i < nb::len(lines); ++i)
    if (!drop[i + 1]) kept.append(lines[i]);
  return join_lines(kept);
}

// The ast node types the import injection looks at.
struct AstTypes {
  nb::object ast = ast_mod();
  nb::object function_t = ast.attr("FunctionDef"), name_t = ast.attr("Name"),
             attribute_t = ast.attr("Attribute"), import_t = ast.attr("Import"),
             import_from_t = ast.attr("ImportFrom"), walk = ast.attr("walk");
};

// Names a function uses as `name` or as the base of `name.attr`.
nb::set referenced_names(nb::handle fn, const AstTypes& t) {
  nb::set referenced;
  for (nb::handle node : t.walk(fn)) {
    if (is_instance(node, t.name_t)) {
      referenced.add(node.attr("id"));
    } else if (is_instance(node, t.attribute_t)) {
      nb::object value = node.attr("value");
      if (is_instance(value, t.name_t)) referenced.add(value.attr("id"));
    }
  }
  return referenced;
}

// Top-level package names a function imports itself.
nb::set imported_names(nb::handle fn, const AstTypes& t) {
  nb::set imported;
  for (nb::handle node : t.walk(fn)) {
    if (is_instance(node, t.import_t)) {
      for (nb::handle alias : node.attr("names")) {
        nb::object asname = alias.attr("asname");
        nb::object name = asname.is_none() ? alias.attr("name") : asname;
        imported.add(name.attr("split")(".")[0]);
      }
    } else if (is_instance(node, t.import_from_t)) {
      nb::object module = node.attr("module");
      if (py::truthy(module)) imported.add(module.attr("split")(".")[0]);
    }
  }
  return imported;
}

// function name -> sorted missing standard-library modules, in recording order.
nb::dict missing_imports(nb::handle code, nb::handle stdlib, const AstTypes& t) {
  nb::object sorted = nb::module_::import_("builtins").attr("sorted");
  nb::set header;
  for (const char* m : kHeaderModules) header.add(nb::str(m));
  nb::dict missing_by_fn;
  nb::object tree = parse(code);
  for (nb::handle fn : tree.attr("body")) {
    if (!is_instance(fn, t.function_t)) continue;
    nb::object missing = (referenced_names(fn, t) & stdlib) - imported_names(fn, t) - header;
    if (py::truthy(missing)) missing_by_fn[fn.attr("name")] = sorted(missing);
  }
  return missing_by_fn;
}

// Where a function's imports go: after the `def` line, indented by the body's
// column in blanks; and, should that not parse, just above the first body
// statement with that line's own indentation.
struct Spot {
  long after_def, indent;
  std::optional<long> before_body;
  nb::object body_pad;
};

Spot spot_of(nb::handle fn, nb::handle lines) {
  nb::object body = fn.attr("body");
  long def_line = as_long(fn.attr("lineno"));
  Spot spot{def_line - 1, nb::len(body) ? as_long(body[0].attr("col_offset")) : 4, {}, {}};
  if (!nb::len(body)) return spot;
  long first = as_long(body[0].attr("lineno"));
  long col = as_long(body[0].attr("col_offset"));
  if (first > def_line && first - 1 < static_cast<long>(nb::len(lines))) {
    nb::object line = lines[first - 1];
    nb::object pad = nb::steal(PyUnicode_Substring(line.ptr(), 0, col));
    if (!pad.is_valid()) throw nb::python_error();
    if (!py::truthy(pad.attr("strip")())) {
      spot.before_body = first - 2;
      spot.body_pad = pad;
    }
  }
  return spot;
}

std::map<std::string, Spot> import_spots(nb::handle code, nb::handle lines, const AstTypes& t) {
  std::map<std::string, Spot> where;
  nb::object tree = parse(code);
  for (nb::handle fn : tree.attr("body")) {
    if (!is_instance(fn, t.function_t)) continue;
    where[nb::cast<std::string>(fn.attr("name"))] = spot_of(fn, lines);
  }
  return where;
}

// The code's lines with the imports put in: at the spots after the `def`
// lines, or with `fallback` above the first body statements.
nb::object with_imports(nb::handle lines, nb::handle missing_by_fn,
                        const std::map<std::string, Spot>& where, bool fallback) {
  std::map<long, std::vector<nb::object>> inserts;
  for (auto [name, modules] : nb::borrow<nb::dict>(missing_by_fn)) {
    const Spot& spot = where.at(nb::cast<std::string>(name));
    if (fallback && !spot.before_body) continue;  // body on the `def` line: no room
    long index = fallback ? *spot.before_body : spot.after_def;
    nb::object pad = fallback ? spot.body_pad
                              : nb::str(std::string(static_cast<size_t>(spot.indent), ' ').c_str());
    for (nb::handle m : modules) inserts[index].push_back(pad + nb::str("import ") + nb::str(m));
  }
  nb::list out;
  for (size_t i = 0; i < nb::len(lines); ++i) {
    out.append(lines[i]);
    auto it = inserts.find(static_cast<long>(i));
    if (it != inserts.end())
      for (auto& line : it->second) out.append(line);
  }
  return join_lines(out);
}

nb::object inject_missing_imports(nb::handle, nb::handle code) {
  py::require_str(code, "code");
  nb::object sys = mod_attr("sys");
  nb::object stdlib = getattr_or(sys, "stdlib_module_names", nb::frozenset());
  if (!py::truthy(stdlib)) return nb::borrow(code);

  AstTypes t;
  nb::dict missing_by_fn = missing_imports(code, stdlib, t);
  if (!nb::len(missing_by_fn)) return nb::borrow(code);

  nb::list lines = nb::borrow<nb::list>(code.attr("splitlines")());
  std::map<std::string, Spot> where = import_spots(code, lines, t);

  // Lines put after the `def` line break a header that spans several lines, a
  // tab-indented body or a body on the `def` line itself; valid code must not
  // come out invalid, so such code gets its imports above the first body
  // statement instead, and if even that does not parse the error propagates.
  nb::object result = with_imports(lines, missing_by_fn, where, false);
  try {
    parse(result);
    return result;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_SyntaxError)) throw;
  }
  result = with_imports(lines, missing_by_fn, where, true);
  parse(result);
  return result;
}

// Runs one best-effort repair step; any ordinary exception leaves the code as
// it was and is logged.
nb::object best_effort(nb::handle self, const char* method, const char* warning, nb::handle code) {
  try {
    return self.attr(method)(code);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_warning(warning, e.value());
    return nb::borrow(code);
  }
}

nb::object postprocess_code(nb::handle self, nb::handle code_in) {
  py::require_str(code_in, "code");
  nb::object code = drop_leading_prose(code_in);
  std::optional<nb::str> error;
  try {
    parse(code);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_SyntaxError)) throw;
    error = nb::str(e.value());
  }
  if (error) {
    Text prompt;
    prompt << "Python syntax error: " << *error
           << "\nFix and return only the corrected code, no markdown:\n\n" << code;
    code = drop_leading_prose(self.attr("_call_and_clean")(prompt.str()));
  }
  code = best_effort(self, "_strip_toplevel_imports", "Top-level import strip skipped: %s", code);
  code = best_effort(self, "_inject_missing_imports", "Import injection skipped: %s", code);
  return code;
}

}  // namespace

void bind_cleanup(Class& cls) {
  cls.def("_call_and_clean", &call_and_clean, nb::arg("prompt").none(),
          nb::sig("def _call_and_clean(self, prompt: str) -> str"),
          "Send `prompt` to the LLM and return its answer without white space and code fences.")
      .def("_postprocess_code", &postprocess_code, nb::arg("code").none(),
           nb::sig("def _postprocess_code(self, code: str) -> str"),
           "Repair generated connector code: drop leading prose, one syntax repair through the "
           "LLM, remove module-level imports, add missing standard-library imports.")
      .def("_strip_toplevel_imports", &strip_toplevel_imports, nb::arg("code").none(),
           nb::sig("def _strip_toplevel_imports(self, code: str) -> str"),
           "Remove the lines of every module-level import statement.")
      .def("_inject_missing_imports", &inject_missing_imports, nb::arg("code").none(),
           nb::sig("def _inject_missing_imports(self, code: str) -> str"),
           "Add function-local imports of standard-library modules that a top-level function "
           "uses without importing them.");
}

}  // namespace tavro::linkwell
