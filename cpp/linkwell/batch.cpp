// Keeping a batch of generated connectors apart from the store it joins.
//
// All connectors of a pipeline share one module. A later batch that binds a
// module-level name the store already uses (a helper `_pick`, a constant, a
// builtin the store calls, an `edge_*` function of another edge) would change
// what the earlier connectors do when they run. So such names are renamed
// throughout the batch before it is stored: each occurrence that refers to
// the module-level binding, found with Python's own parser and the scope
// rules of the language, gets the new name; locals, parameters and
// attributes of the same spelling stay as they are. The text is edited in
// place, so the batch keeps its layout and comments.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "linkwell/linkwell.hpp"

namespace tavro::linkwell {
namespace {

using Names = std::set<std::string>;

// The modules the store header imports: a batch's own plain `import os`
// rebinds the very same module object, which changes nothing.
const Names kHeaderModules = {"os", "json", "glob", "tempfile"};

std::string ident(nb::handle s) { return py::utf8_bytes(s); }

std::string node_kind(nb::handle node) {
  return nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())))
                                   .attr("__name__"));
}

long attr_long(nb::handle node, const char* name) { return nb::cast<long>(node.attr(name)); }

enum class Kind { Module, Function, Class, Comprehension };

struct Scope {
  Kind kind;
  int parent;
  Names bound, globals, nonlocals;
};

// Where the identifier of one occurrence sits, worked out only when it is
// renamed: most occurrences never are, and some forms need a scan.
enum class Locate {
  Name,          // an ast.Name: its own position
  DefName,       // the name after `def` / `async def` / `class`
  Declared,      // one name of a `global` / `nonlocal` statement
  ExceptName,    // the name after `except <type> as`
  TrailingName,  // the last identifier of the node (`as x`, `*x`, `**x`)
  ImportPlain,   // `import x` / `from m import x`: " as <new>" is added
  ImportDotted,  // `import a.b`, which binds `a`: cannot be renamed
};

struct Occurrence {
  int scope;
  std::string name;
  Locate how;
  nb::object node;
};

class Analysis {
 public:
  std::vector<Scope> scopes;
  std::vector<Occurrence> occurrences;
  Names every_name;  // every identifier the batch binds or reads

  explicit Analysis(nb::handle tree) : iter_child_nodes_(mod_attr("ast").attr("iter_child_nodes")) {
    scopes.push_back({Kind::Module, -1, {}, {}, {}});
    body(tree.attr("body"), 0);
  }

  // Whether `name` read or bound in `scope` means the module-level binding.
  bool module_level(int scope, const std::string& name) const {
    const Scope& s = scopes[static_cast<size_t>(scope)];
    if (s.globals.count(name) || s.kind == Kind::Module) return true;
    if (s.nonlocals.count(name) || s.bound.count(name)) return false;
    for (int p = s.parent;; p = scopes[static_cast<size_t>(p)].parent) {
      const Scope& e = scopes[static_cast<size_t>(p)];
      if (e.kind == Kind::Module) return true;
      if (e.kind == Kind::Class) continue;  // function bodies do not see class names
      if (e.globals.count(name)) return true;
      if (e.bound.count(name) || e.nonlocals.count(name)) return false;
    }
  }

  // The names the batch binds at module level, directly or through `global`.
  Names module_bindings() const {
    Names out = scopes[0].bound;
    for (const Scope& s : scopes) out.insert(s.globals.begin(), s.globals.end());
    return out;
  }

 private:
  nb::object iter_child_nodes_;

  int open(Kind kind, int parent) {
    scopes.push_back({kind, parent, {}, {}, {}});
    return static_cast<int>(scopes.size() - 1);
  }

  void note(int scope, const std::string& name, Locate how, nb::handle node, bool binds) {
    if (binds) scopes[static_cast<size_t>(scope)].bound.insert(name);
    every_name.insert(name);
    occurrences.push_back({scope, name, how, nb::borrow(node)});
  }

  void body(nb::handle stmts, int scope) {
    for (nb::handle s : stmts) visit(s, scope);
  }

  void children(nb::handle node, int scope) {
    for (nb::handle c : iter_child_nodes_(node)) visit(c, scope);
  }

  void each(nb::handle list, int scope) {
    for (nb::handle n : list) visit(n, scope);
  }

  void maybe(nb::handle node, int scope) {
    if (!node.is_none()) visit(node, scope);
  }

  // Defaults and annotations belong to the scope around the function; the
  // parameters are bound inside it.
  void arguments(nb::handle args, int outer, int inner, bool annotations) {
    each(args.attr("defaults"), outer);
    for (nb::handle d : args.attr("kw_defaults")) maybe(d, outer);
    nb::object vararg = args.attr("vararg"), kwarg = args.attr("kwarg");
    std::vector<nb::object> all;
    for (const char* field : {"posonlyargs", "args", "kwonlyargs"})
      for (nb::handle a : args.attr(field)) all.push_back(nb::borrow(a));
    if (!vararg.is_none()) all.push_back(vararg);
    if (!kwarg.is_none()) all.push_back(kwarg);
    for (const nb::object& a : all) {
      if (annotations) maybe(a.attr("annotation"), outer);
      std::string name = ident(a.attr("arg"));
      scopes[static_cast<size_t>(inner)].bound.insert(name);
      every_name.insert(name);
    }
  }

  void comprehension(nb::handle node, int scope, const std::string& kind) {
    nb::object generators = node.attr("generators");
    visit(generators[0].attr("iter"), scope);  // evaluated where the comprehension is
    int inner = open(Kind::Comprehension, scope);
    bool first = true;
    for (nb::handle g : generators) {
      visit(g.attr("target"), inner);
      if (!first) visit(g.attr("iter"), inner);
      first = false;
      each(g.attr("ifs"), inner);
    }
    if (kind == "DictComp") {
      visit(node.attr("key"), inner);
      visit(node.attr("value"), inner);
    } else {
      visit(node.attr("elt"), inner);
    }
  }

  void visit(nb::handle node, int scope) {
    const std::string kind = node_kind(node);
    if (kind == "Name") {
      nb::object ctx = node.attr("ctx");
      bool binds = node_kind(ctx) != "Load";
      note(scope, ident(node.attr("id")), Locate::Name, node, binds);
    } else if (kind == "FunctionDef" || kind == "AsyncFunctionDef") {
      each(node.attr("decorator_list"), scope);
      int inner = open(Kind::Function, scope);
      arguments(node.attr("args"), scope, inner, true);
      maybe(node.attr("returns"), scope);
      note(scope, ident(node.attr("name")), Locate::DefName, node, true);
      body(node.attr("body"), inner);
    } else if (kind == "Lambda") {
      int inner = open(Kind::Function, scope);
      arguments(node.attr("args"), scope, inner, false);
      visit(node.attr("body"), inner);
    } else if (kind == "ClassDef") {
      each(node.attr("decorator_list"), scope);
      each(node.attr("bases"), scope);
      for (nb::handle k : node.attr("keywords")) visit(k.attr("value"), scope);
      note(scope, ident(node.attr("name")), Locate::DefName, node, true);
      body(node.attr("body"), open(Kind::Class, scope));
    } else if (kind == "ListComp" || kind == "SetComp" || kind == "GeneratorExp" ||
               kind == "DictComp") {
      comprehension(node, scope, kind);
    } else if (kind == "NamedExpr") {
      // `(x := ...)` in a comprehension binds x in the scope around it.
      int target = scope;
      while (scopes[static_cast<size_t>(target)].kind == Kind::Comprehension)
        target = scopes[static_cast<size_t>(target)].parent;
      visit(node.attr("value"), scope);
      visit(node.attr("target"), target);
    } else if (kind == "Global" || kind == "Nonlocal") {
      Scope& s = scopes[static_cast<size_t>(scope)];
      for (nb::handle n : node.attr("names")) {
        std::string name = ident(n);
        (kind == "Global" ? s.globals : s.nonlocals).insert(name);
        every_name.insert(name);
        occurrences.push_back({scope, name, Locate::Declared, nb::borrow(node)});
      }
    } else if (kind == "Import" || kind == "ImportFrom") {
      bool plain_import = kind == "Import";
      for (nb::handle alias : node.attr("names")) {
        nb::object asname = alias.attr("asname");
        std::string full = ident(alias.attr("name"));
        if (full == "*") continue;
        if (!asname.is_none()) {
          note(scope, ident(asname), Locate::TrailingName, alias, true);
          continue;
        }
        std::string top = full.substr(0, full.find('.'));
        if (plain_import && scope == 0 && kHeaderModules.count(top)) continue;
        note(scope, top, plain_import && top != full ? Locate::ImportDotted : Locate::ImportPlain,
             alias, true);
      }
    } else if (kind == "ExceptHandler") {
      maybe(node.attr("type"), scope);
      nb::object name = node.attr("name");
      if (!name.is_none()) note(scope, ident(name), Locate::ExceptName, node, true);
      body(node.attr("body"), scope);
    } else if (kind == "MatchAs" || kind == "MatchStar" || kind == "MatchMapping") {
      children(node, scope);
      nb::object name = node.attr(kind == "MatchMapping" ? "rest" : "name");
      if (!name.is_none()) note(scope, ident(name), Locate::TrailingName, node, true);
    } else {
      children(node, scope);
    }
  }
};

// The batch's text as lines of UTF-8, the way the parser numbers them.
class Source {
 public:
  explicit Source(nb::handle code) {
    std::string text = universal_newlines(py::text_bytes(code));
    size_t start = 0;
    for (;;) {
      size_t nl = text.find('\n', start);
      lines_.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }

  // An edit at byte `col` of 1-based `line`: `length` bytes replaced by `text`.
  struct Edit {
    long line, col;
    size_t length;
    std::string text;
  };

  // The byte position of identifier `name` at or after (line, col), skipping
  // the characters `skipped`, line continuations and the given keywords;
  // nothing when the text there is not that identifier.
  std::optional<std::pair<long, long>> find(long line, long col, const std::string& name,
                                            std::initializer_list<const char*> keywords,
                                            std::string_view skipped = " \t\f)") const {
    for (const char* kw : keywords) {
      skip(line, col, skipped);
      if (!at_word(line, col, kw)) continue;
      col += static_cast<long>(std::char_traits<char>::length(kw));
    }
    skip(line, col, skipped);
    if (!at_word(line, col, name.c_str())) return std::nullopt;
    return std::make_pair(line, col);
  }

  // The last identifier of a node that ends at (line, end_col): `as x`,
  // `*x`, `**x,}`.
  std::optional<std::pair<long, long>> trailing(long line, long end_col,
                                                const std::string& name) const {
    const std::string& l = text_of(line);
    long end = end_col;
    while (end > 0 && std::string_view(" \t\f,}").find(l[static_cast<size_t>(end - 1)]) !=
                          std::string_view::npos)
      --end;
    long col = end - static_cast<long>(name.size());
    if (col < 0 || l.compare(static_cast<size_t>(col), name.size(), name) != 0) return std::nullopt;
    return std::make_pair(line, col);
  }

  bool holds(long line, long col, const std::string& name) const {
    return line >= 1 && static_cast<size_t>(line) <= lines_.size() && at_word(line, col, name.c_str());
  }

  nb::str apply(std::vector<Edit> edits) const {
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
      return a.line != b.line ? a.line > b.line : a.col > b.col;
    });
    std::vector<std::string> lines = lines_;
    for (const Edit& e : edits)
      lines[static_cast<size_t>(e.line - 1)].replace(static_cast<size_t>(e.col), e.length, e.text);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i) out += '\n';
      out += lines[i];
    }
    return py::bytes_text(out);
  }

 private:
  std::vector<std::string> lines_;

  const std::string& text_of(long line) const {
    static const std::string none;
    return line >= 1 && static_cast<size_t>(line) <= lines_.size()
               ? lines_[static_cast<size_t>(line - 1)]
               : none;
  }

  static bool word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
  }

  bool at_word(long line, long col, const char* word) const {
    const std::string& l = text_of(line);
    size_t n = std::char_traits<char>::length(word), c = static_cast<size_t>(col);
    if (col < 0 || c + n > l.size() || l.compare(c, n, word) != 0) return false;
    return (c + n == l.size() || !word_char(l[c + n])) && (c == 0 || !word_char(l[c - 1]));
  }

  void skip(long& line, long& col, std::string_view skipped) const {
    for (;;) {
      const std::string& l = text_of(line);
      size_t c = static_cast<size_t>(col);
      while (c < l.size() && skipped.find(l[c]) != std::string_view::npos) ++c;
      if (c + 1 == l.size() && l[c] == '\\' && static_cast<size_t>(line) < lines_.size()) {
        ++line;
        col = 0;
        continue;
      }
      col = static_cast<long>(c);
      return;
    }
  }
};

[[noreturn]] void cannot_rename(nb::handle names, const std::string& name) {
  nb::str msg = nb::str("Generated connector code for {} binds '{}', which the connector store "
                        "already uses, in a form that cannot be renamed")
                    .format(nb::str(", ").attr("join")(names), py::utf8_text(name));
  py::raise(PyExc_RuntimeError, msg);
}

// The edit that renames one occurrence.
Source::Edit edit_for(const Source& src, const Occurrence& o, const std::string& to,
                      nb::handle names) {
  std::optional<std::pair<long, long>> at;
  nb::handle n = o.node;
  switch (o.how) {
    case Locate::Name:
      at = std::make_pair(attr_long(n, "lineno"), attr_long(n, "col_offset"));
      break;
    case Locate::DefName:
      at = src.find(attr_long(n, "lineno"), attr_long(n, "col_offset"), o.name,
                    {"async", "def", "class"});
      break;
    case Locate::Declared: {
      // Each name of the statement in turn, after the keyword and commas.
      long line = attr_long(n, "lineno"), col = attr_long(n, "col_offset");
      std::string keyword = node_kind(n) == "Global" ? "global" : "nonlocal";
      at = src.find(line, col, keyword, {});
      if (at) {
        line = at->first;
        col = at->second + static_cast<long>(keyword.size());
        at.reset();
        for (nb::handle d : n.attr("names")) {
          std::string each = ident(d);
          std::optional<std::pair<long, long>> pos = src.find(line, col, each, {}, " \t\f,");
          if (!pos) break;
          if (each == o.name) {
            at = pos;
            break;
          }
          line = pos->first;
          col = pos->second + static_cast<long>(each.size());
        }
      }
      break;
    }
    case Locate::ExceptName: {
      nb::object type = n.attr("type");
      at = src.find(attr_long(type, "end_lineno"), attr_long(type, "end_col_offset"), o.name, {"as"});
      break;
    }
    case Locate::TrailingName:
      at = src.trailing(attr_long(n, "end_lineno"), attr_long(n, "end_col_offset"), o.name);
      break;
    case Locate::ImportPlain: {
      long line = attr_long(n, "end_lineno"), col = attr_long(n, "end_col_offset");
      return {line, col, 0, " as " + to};
    }
    case Locate::ImportDotted:
      cannot_rename(names, o.name);
  }
  if (!at || !src.holds(at->first, at->second, o.name)) cannot_rename(names, o.name);
  return {at->first, at->second, o.name.size(), to};
}

// A name for `name` that nothing in the store or the batch uses: `_pick` ->
// `_pick_2`; an edge function that is not the batch's own loses its `edge_`
// start, so no edge is ever taken for stored by it: `_edge_a_to_b`.
std::string fresh_name(const std::string& name, const Names& taken) {
  bool edge = name.rfind("edge_", 0) == 0;
  std::string base = edge ? "_" + name : name;
  if (edge && !taken.count(base)) return base;
  for (int k = 2;; ++k) {
    std::string candidate = base + "_" + std::to_string(k);
    if (!taken.count(candidate)) return candidate;
  }
}

Names names_of(nb::handle names) {
  Names out;
  for (nb::handle n : names) out.insert(ident(n));
  return out;
}

}  // namespace

nb::list undefined_connectors(nb::handle code, nb::handle names) {
  Names defined;
  nb::object tree = mod_attr("ast").attr("parse")(code);
  for (nb::handle stmt : tree.attr("body"))
    if (node_kind(stmt) == "FunctionDef") defined.insert(ident(stmt.attr("name")));
  nb::list missing;
  for (nb::handle n : names)
    if (!defined.count(ident(n))) missing.append(n);
  return missing;
}

void add_store_names(nb::handle code, std::set<std::string>& out) {
  for (nb::handle n : code.attr("co_names")) out.insert(ident(n));
  for (nb::handle c : code.attr("co_consts"))
    if (PyCode_Check(c.ptr())) add_store_names(c, out);
}

nb::object keep_apart(nb::handle code, nb::handle names, const std::set<std::string>& store) {
  Names own = names_of(names);
  Analysis a(mod_attr("ast").attr("parse")(code));

  Names taken = store;
  taken.insert(a.every_name.begin(), a.every_name.end());
  taken.insert(own.begin(), own.end());
  std::map<std::string, std::string> renamed;
  for (const std::string& name : a.module_bindings()) {
    if (own.count(name)) continue;
    if (!store.count(name) && name.rfind("edge_", 0) != 0) continue;
    std::string to = fresh_name(name, taken);
    taken.insert(to);
    renamed[name] = to;
  }
  if (renamed.empty()) return nb::borrow(code);

  Source src(code);
  std::vector<Source::Edit> edits;
  for (const Occurrence& o : a.occurrences) {
    auto it = renamed.find(o.name);
    if (it == renamed.end() || !a.module_level(o.scope, o.name)) continue;
    edits.push_back(edit_for(src, o, it->second, names));
  }
  nb::str out = src.apply(std::move(edits));
  if (py::log_enabled(kModule, py::DEBUG)) {
    nb::list pairs;
    for (const auto& [from, to] : renamed)
      pairs.append(nb::str("{} -> {}").format(py::utf8_text(from), py::utf8_text(to)));
    nb::object batch = nb::str(", ").attr("join")(names), list = nb::str(", ").attr("join")(pairs);
    py::log(kModule, py::DEBUG, "Names of the connectors %s renamed apart from the store: %s", batch,
            list);
  }
  return out;
}

}  // namespace tavro::linkwell
