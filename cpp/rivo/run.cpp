// RIVO.run: planning the sandbox and names, staging the inputs and building
// the argument list. Running and harvesting are in run_exec.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/run_plan.hpp"
#include "rivo/slurm_glue.hpp"

namespace tavro::rivo {
namespace {

using namespace detail;
using py::DEBUG;
using py::INFO;

// Output slots: names checked before anything exists.
void plan_slots(RunCall& call, RunPlan& plan) {
  call.out_specs = py::contains(call.manifest, "outputs") ? nb::object(call.manifest["outputs"])
                                                          : nb::object(nb::dict());
  for (nb::handle item : call.out_specs.attr("items")()) {
    nb::object slot = item[0];
    require_component(slot, "output slot name");
    bool is_dir = item[1].attr("get")("type").equal(nb::str("dir"));
    plan.slots.push_back({py::fs_encode(slot), text_bytes(slot), is_dir});
    call.slot_names.push_back(slot);
  }
}

// Staging requests: str values and the str elements of lists.
void plan_requests(RunCall& call, RunPlan& plan) {
  for (auto [slot, value] : nb::borrow<nb::dict>(call.inputs)) {
    if (slot.equal(nb::str("output_dir"))) continue;
    bool is_str = PyUnicode_Check(value.ptr());
    bool is_list = !is_str && PyList_Check(value.ptr());
    if (!is_str && !is_list) continue;
    core::StageRequest req;
    req.slot = PyUnicode_Check(slot.ptr()) ? py::fs_encode(slot) : py::fs_encode(nb::str(slot));
    if (is_str) {
      if (auto enc = py::fs_path_or_none(value)) req.sources.push_back(*enc);
    } else {
      for (nb::handle el : value)
        if (PyUnicode_Check(el.ptr()))
          if (auto enc = py::fs_path_or_none(el)) req.sources.push_back(*enc);
    }
    plan.requests.push_back(std::move(req));
    call.request_slots.push_back(nb::borrow(slot));
    call.request_is_list.push_back(is_list);
  }
}

}  // namespace

RunPlan plan_run(RunCall& call, nb::handle output_dir) {
  RunPlan plan;
  require_component(call.tool_name, "tool name");
  plan.tool = py::fs_encode(call.tool_name);
  plan_slots(call, plan);
  plan_requests(call, plan);
  if (auto bad = core::find_unstageable(plan.requests))
    py::raise(PyExc_ValueError,
              nb::str("Input {!r} cannot be staged: {!r} is {}, not a regular file or directory "
                      "(nothing was copied)")
                  .format(py::fs_decode(bad->slot), py::fs_decode(bad->source), bad->kind));

  nb::object os = mod("os");
  nb::object tempfile = mod("tempfile");
  nb::object pathlib = mod("pathlib");
  // Project directory: the shared one on the pipeline volume, else a new one.
  nb::str vol = environ_get("PIPELINE_VOLUME_PATH");
  nb::object proj = nb::len(vol) ? os.attr("path").attr("join")(vol, ".rivo_home")
                                 : tempfile.attr("mkdtemp")(nb::arg("prefix") = "rivo_");
  plan.proj_is_temp = !nb::len(vol);
  os.attr("makedirs")(proj, nb::arg("exist_ok") = true);
  plan.proj = py::fs_encode(os.attr("path").attr("abspath")(proj));

  // Sandbox, always in the local temporary directory.
  nb::object run_id = mod("uuid").attr("uuid4")().attr("hex")[nb::slice(nb::int_(0), nb::int_(12), nb::none())];
  nb::object root = pathlib.attr("Path")(tempfile.attr("gettempdir")()) / nb::str("tavro_sandboxes");
  nb::object name = nb::str("run-") + call.tool_name + nb::str("-") + run_id;
  call.sandbox_str = nb::str(root / name);
  plan.sandbox_root = py::fs_encode(nb::str(root));
  plan.sandbox = py::fs_encode(call.sandbox_str);
  plan.stdout_file = plan.sandbox + ".stdout";
  plan.output = py::fs_encode(nb::str(os.attr("fspath")(pathlib.attr("Path")(output_dir))));
  return plan;
}

void stage_inputs(RunCall& call, const RunPlan& plan) {
  std::string refused;
  core::StageResult staged_paths;
  {
    nb::gil_scoped_release nogil;
    refused = core::ensure_private_root(plan.sandbox_root);
    if (refused.empty()) {
      const std::string& sandbox = plan.sandbox;
      fs::make_dirs(sandbox);
      // Container users other than ours must be able to write the outputs.
      if (::chmod(sandbox.c_str(), 0777) != 0) throw_errno("chmod", sandbox);
      for (const char* name : {"rivo.toml", "rivo.lock"}) {
        std::string src = core::join(plan.proj, name);
        if (fs::exists(src)) fs::copy_file(src, core::join(sandbox, name));
      }
      std::string shims_src = core::join(plan.proj, ".rivo");
      std::string shims_dst = core::join(sandbox, ".rivo");
      if (fs::exists(shims_src) && !fs::exists(shims_dst)) {
        if (::symlink(shims_src.c_str(), shims_dst.c_str()) != 0) fs::copy_tree(shims_src, shims_dst, true);
      }
      staged_paths = core::stage_all(sandbox, plan.requests);
      for (const auto& s : plan.slots)
        if (s.is_dir) fs::make_dirs(core::join(sandbox, s.name));
    }
  }
  if (!refused.empty()) {
    py::raise(PyExc_PermissionError, nb::str("Refusing the sandbox folder: {}").format(py::fs_decode(refused)));
  }
  nb::object path_cls = mod("pathlib").attr("Path");
  for (size_t i = 0; i < plan.requests.size(); ++i) {
    if (staged_paths[i].empty()) continue;
    nb::list paths;
    for (const auto& p : staged_paths[i]) {
      paths.append(path_cls(py::fs_decode(p)));
      call.staged_names.insert(core::final_component(p));
    }
    call.staged[call.request_slots[i]] = call.request_is_list[i] ? nb::object(paths) : nb::object(paths[0]);
  }
}

namespace {

// Placeholder table in the order of the replacement: staged inputs, output
// slots (overriding an input of the same name), then scalars.
std::vector<std::pair<std::string, core::Replacement>> placeholder_table(RunCall& call) {
  nb::dict input_names;
  for (auto [slot, value] : call.staged) {
    nb::list names;
    if (PyList_Check(value.ptr())) {
      for (nb::handle p : value) names.append(name_of(p));
    } else {
      names.append(name_of(value));
    }
    input_names[slot] = names;
  }
  for (const auto& s : call.slot_names) input_names[s] = nb::make_tuple(s);
  std::vector<std::pair<std::string, core::Replacement>> table;
  nb::str open("{"), close("}");
  auto key_text = [&](nb::handle key) {
    nb::str marker = nb::borrow<nb::str>(open + key + close);  // a non-str key fails as str + key would
    std::string k = text_bytes(marker);
    return k.substr(1, k.size() - 2);
  };
  for (auto [key, names] : input_names) {
    core::Replacement r;
    for (nb::handle n : names) r.paths.push_back(text_bytes(n));
    table.emplace_back(key_text(key), std::move(r));
  }
  for (auto [key, value] : nb::borrow<nb::dict>(call.inputs)) {
    if (key.equal(nb::str("output_dir")) || py::contains(call.staged, key) ||
        py::contains(call.out_specs, key))
      continue;
    core::Replacement r;
    if (PyUnicode_Check(value.ptr())) {
      if (path_exists(value)) continue;
      r.text = text_bytes(value);
    } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
      r.text = text_bytes(nb::str(value));
    } else {
      continue;
    }
    table.emplace_back(key_text(key), std::move(r));
  }
  return table;
}

}  // namespace

void build_arguments(RunCall& call, const RunPlan& plan) {
  call.template_ = call.manifest.attr("get")("args_template");
  if (!py::truthy(call.template_)) call.template_ = nb::str("");
  std::vector<std::string> paths;
  std::string substituted = core::substitute(text_bytes(call.template_), placeholder_table(call), paths);

  std::vector<std::string> tokens;
  if (!substituted.empty())
    for (nb::handle t : mod("shlex").attr("split")(bytes_text(substituted))) tokens.push_back(text_bytes(t));
  std::unordered_set<std::string> slot_texts;
  for (const auto& s : plan.slots) slot_texts.insert(s.text);
  core::FilteredArgs filtered = core::filter_tokens(tokens, slot_texts, paths);
  call.capture_slot = filtered.capture_slot;
  for (const auto& t : filtered.clean) call.clean.append(bytes_text(t));
  if (nb::len(call.clean) == 0 && nb::len(call.staged) > 0) call.clean = positional(call.staged);

  call.entrypoint = call.manifest.attr("get")("entrypoint");
  if (!py::truthy(call.entrypoint)) call.entrypoint = nb::borrow(call.tool_name);
  nb::object basename = mod("pathlib").attr("PurePath")(call.entrypoint).attr("name");
  nb::list& clean = call.clean;
  if (nb::len(clean) > 0 && (clean[0].equal(call.entrypoint) || clean[0].equal(basename)))
    clean = nb::steal<nb::list>(PySequence_GetSlice(clean.ptr(), 1, PY_SSIZE_T_MAX));
}

namespace {

// Files of one run outside its sandbox: the temporary project folder and
// the streamed standard output (already moved into place when delivered)
// go when the run ends, whichever way; only a failed run's sandbox stays.
struct RunLeftovers {
  const RunPlan& plan;
  ~RunLeftovers() {
    if (plan.proj_is_temp && !plan.proj.empty()) fs::remove_tree_ignore_errors(plan.proj);
    if (!plan.stdout_file.empty()) ::unlink(plan.stdout_file.c_str());
  }
};

}  // namespace

nb::object run_tool(nb::handle self, nb::handle tool_name, nb::handle manifest, nb::handle inputs,
                    nb::handle output_dir) {
  py::require_str(tool_name, "tool_name");
  py::require_dict(manifest, "manifest");
  py::require_dict(inputs, "inputs");
  py::require_str(output_dir, "output_dir");

  RunCall call;
  call.self = self;
  call.tool_name = tool_name;
  call.manifest = manifest;
  call.inputs = inputs;
  call.resources = manifest_resources(manifest);
  RunPlan plan = plan_run(call, output_dir);
  RunLeftovers leftovers{plan};
  stage_inputs(call, plan);
  build_arguments(call, plan);
  // A real copy: nb::dict(obj) would only borrow os.environ.
  call.env = mod("builtins").attr("dict")(mod("os").attr("environ"));
  if (call.resources) put_resource_env(call.env, *call.resources);
  py::log(kModule, INFO, "Running rivo exec %s %s", call.entrypoint, call.clean);

  Executed run = execute_with_recovery(call, plan);
  nb::dict result = harvest_outputs(call, plan, run);
  {
    nb::gil_scoped_release nogil;
    fs::remove_tree_ignore_errors(plan.sandbox);
  }
  py::log(kModule, DEBUG, "Cleaned up sandbox: %s", call.sandbox_str);
  return result;
}

}  // namespace tavro::rivo
