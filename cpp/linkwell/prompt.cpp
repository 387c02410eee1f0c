// The connector prompt: slot lines, the downstream and upstream blocks and the
// whole prompt for one batch of edges into one downstream node.
#include "linkwell/linkwell.hpp"
#include "linkwell/prompt_text.hpp"

namespace tavro::linkwell {
namespace {

using namespace text;

constexpr const char* kTags[] = {"entity",           "cardinality", "format",  "role",
                                 "cardinality_with", "write_mode",  "fallback"};

nb::object input_node_cls() { return import_from("tavro.node", "InputNode"); }

// The node's manifest; a node without one, or whose manifest is None (the
// host's gather nodes carry None), counts as having an empty dictionary.
nb::object manifest_of(nb::handle node) {
  nb::object m = getattr_or(node, "manifest", nb::none());
  return m.is_none() ? nb::object(nb::dict()) : m;
}

// dict(node.inputs); missing or None means no inputs.
nb::dict inputs_of(nb::handle node) {
  nb::object in = getattr_or(node, "inputs", nb::none());
  if (in.is_none()) return nb::dict();
  return nb::borrow<nb::dict>(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(in));
}

nb::object slots(nb::handle manifest, const char* key) {
  return manifest.attr("get")(key, nb::dict());
}

// py_repr(value)[:80]
nb::str preview(nb::handle value) {
  nb::str r = py_repr(value);
  if (nb::len(r) <= 80) return r;
  return nb::steal<nb::str>(PyUnicode_Substring(r.ptr(), 0, 80));
}

// The slot lines of one slot dictionary, joined with "\n".
void slot_lines(Text& t, nb::handle self, nb::handle slot_dict, bool include_required) {
  nb::object fmt = self.attr("_format_field");
  bool first = true;
  for (nb::handle item : slot_dict.attr("items")()) {
    auto [k, meta] = unpack2(item);
    nb::object line = include_required ? fmt(k, meta, nb::arg("include_required") = true)
                                       : fmt(k, meta);
    if (!first) t << "\n";
    first = false;
    t << line;
  }
}

nb::str format_field(nb::handle, nb::handle k, nb::handle meta, nb::handle include_required) {
  Text tags;
  bool any = false;
  nb::str empty("");
  for (const char* tag : kTags) {
    nb::object v = meta.attr("get")(tag);
    if (v.is_none()) continue;
    nb::object differs = nb::steal(PyObject_RichCompare(v.ptr(), empty.ptr(), Py_NE));
    if (!differs.is_valid()) throw nb::python_error();
    if (!py::truthy(differs)) continue;
    tags << (any ? ", " : " [") << tag << "=" << py_repr(v);
    any = true;
  }
  if (any) tags << "]";
  const char* req = "";
  if (py::truthy(include_required))
    req = py::truthy(meta.attr("get")("required")) ? " (required)" : " (optional)";
  Text t;
  t << "  - " << as_text(k) << ": " << as_text(meta.attr("get")("type", "unknown")) << req;
  t << tags.str() << " — " << as_text(meta.attr("get")("description", ""));
  return t.str();
}

nb::str downstream_block(nb::handle self, nb::handle v) {
  nb::object input_node = input_node_cls();
  nb::object manifest = manifest_of(v);
  if (is_instance(v, input_node) && !py::truthy(manifest)) {
    nb::dict inputs = inputs_of(v);
    Text t;
    t << kDownInputHead;
    bool first = true;
    for (auto [k, value] : inputs) {
      if (!first) t << "\n";
      first = false;
      t << "  - " << as_text(k) << ": " << py_repr(value);
    }
    t << kDownInputTail;
    return t.str();
  }
  Text t;
  t << kDownToolHead << as_text(v.attr("id")) << kDownToolTail;
  slot_lines(t, self, slots(manifest, "inputs"), true);
  t << "\n\n";
  return t.str();
}

nb::str upstream_block(nb::handle self, nb::handle u, nb::handle fn_name) {
  nb::object input_node = input_node_cls();
  nb::object manifest = manifest_of(u);
  Text t;
  t << kUpHead << as_text(u.attr("id")) << kUpFnName << as_text(fn_name);
  if (!is_instance(u, input_node)) {
    t << kUpToolOutputs;
    slot_lines(t, self, slots(manifest, "outputs"), false);
    t << "\n\n";
    return t.str();
  }
  if (py::truthy(manifest)) {
    nb::object declared = slots(manifest, "inputs");
    Text inputs_block;
    slot_lines(inputs_block, self, declared, false);
    nb::dict extra;
    for (auto [k, value] : inputs_of(u))
      if (!py::contains(declared, k)) extra[k] = preview(value);
    t << kUpInputManifest << inputs_block.str();
    if (nb::len(extra)) t << kUpExtraKeys << as_text(extra);
    t << "\n\n";
    return t.str();
  }
  nb::dict available;
  for (auto [k, value] : inputs_of(u)) available[k] = preview(value);
  t << kUpInputPlain;
  bool first = true;
  for (auto [k, p] : available) {
    if (!first) t << "\n";
    first = false;
    t << "  - " << as_text(k) << ": " << p;
  }
  t << kUpInputPlainTail;
  return t.str();
}

nb::str join(const char* sep, nb::handle items) {
  return nb::borrow<nb::str>(nb::str(sep).attr("join")(items));
}

nb::str build_prompt(nb::handle self, nb::handle v, nb::handle edges_to_generate,
                     nb::handle cached_siblings, nb::handle extra_context, nb::handle scatter_fn) {
  nb::object downstream = self.attr("_downstream_block")(v);

  std::vector<std::pair<nb::object, nb::object>> edges, cached;
  for (nb::handle pair : edges_to_generate) edges.push_back(unpack2(pair));
  Text upstream_blocks;
  nb::object up_block = self.attr("_upstream_block");
  for (size_t i = 0; i < edges.size(); ++i) {
    if (i) upstream_blocks << "\n";
    upstream_blocks << up_block(edges[i].first, edges[i].second);
  }

  nb::object input_node = input_node_cls();
  import_from("tavro.node", "GatherNode");

  bool is_scatter = false;
  if (!scatter_fn.is_none())
    for (auto& [u, fn] : edges)
      if (fn.equal(scatter_fn)) {
        is_scatter = true;
        break;
      }
  nb::object split_key = getattr_or(v, "split_key", nb::none());

  for (nb::handle pair : cached_siblings) cached.push_back(unpack2(pair));
  nb::list input_names, regular_names;
  for (auto* list : {&edges, &cached})
    for (auto& [u, fn] : *list)
      (is_instance(u, input_node) ? input_names : regular_names).append(u.attr("id"));

  Text priority;
  if (nb::len(input_names)) {
    if (nb::len(regular_names))
      priority << kPriorityHead << join(", ", input_names) << kPriorityMid
               << join(", ", regular_names) << kPriorityTail;
    else
      priority << kAllInputs;
  }

  Text cached_block;
  if (!cached.empty()) {
    cached_block << kCachedHead;
    for (size_t i = 0; i < cached.size(); ++i) {
      auto& [u, fn] = cached[i];
      if (i) cached_block << "\n";
      cached_block << "  - " << as_text(u.attr("id")) << " (" << as_text(fn) << ")";
      if (is_instance(u, input_node)) cached_block << " [InputNode]";
    }
    cached_block << kCachedTail;
  }

  Text scatter_block;
  if (is_scatter) {
    nb::str fn = as_text(scatter_fn);
    scatter_block << kScatterHead << fn << kScatterMid;
    if (py::truthy(split_key)) scatter_block << kSplitKeyHead << as_text(split_key) << kSplitKeyTail;
    scatter_block << kScatterSo << fn << kScatterTail;
  }

  std::string count = std::to_string(edges.size());
  Text t;
  t << kIntro << count << kTask << scatter_block.str() << priority.str() << cached_block.str();
  t << kDownstreamTool << as_text(v.attr("id")) << kDownstreamToolTail << downstream;
  t << kUpstreamsHead << upstream_blocks.str();
  if (py::truthy(extra_context)) t << kExtraHead << extra_context.attr("strip")() << "\n\n";
  t << kConstraintsHead;
  if (is_scatter)
    t << kSigScatterHead << as_text(scatter_fn) << kSigScatterTail;
  else
    t << kSigPlain;
  nb::list names;
  for (auto& [u, fn] : edges) names.append(fn);
  t << kConstraints << count << kNamesHead << join(", ", names) << ".";
  return t.str();
}

}  // namespace

void bind_prompt(Class& cls) {
  cls.def("_format_field", &format_field, nb::arg("k").none(), nb::arg("meta").none(),
          nb::arg("include_required").none() = false,
          nb::sig("def _format_field(self, k: object, meta: dict, include_required: bool = False) -> str"),
          "One prompt line for the slot `k`: type, requirement marker, tags and description.")
      .def("_downstream_block", &downstream_block, nb::arg("v").none(),
           nb::sig("def _downstream_block(self, v: object) -> str"),
           "The prompt block that describes the downstream node `v`.")
      .def("_upstream_block", &upstream_block, nb::arg("u").none(), nb::arg("fn_name").none(),
           nb::sig("def _upstream_block(self, u: object, fn_name: str) -> str"),
           "The prompt block that describes upstream node `u`, whose connector is `fn_name`.")
      .def("_build_prompt", &build_prompt, nb::arg("v").none(),
           nb::arg("edges_to_generate").none(),
           nb::arg("cached_siblings").none(), nb::arg("extra_context").none(),
           nb::arg("scatter_fn").none() = nb::none(),
           nb::sig("def _build_prompt(self, v: object, edges_to_generate: list, "
                   "cached_siblings: list, extra_context: str | None, "
                   "scatter_fn: str | None = None) -> str"),
           "The complete connector prompt for a batch of edges into the downstream node `v`.");
}

}  // namespace tavro::linkwell
