// RIVO.run and its two recovery helpers: argument inference by the LLM and
// relocation of stale absolute paths inside the tool's image.
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/exec_core.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

nb::object mod(const char* name) { return nb::module_::import_(name); }

using py::bytes_text;
using py::text_bytes;

// os.fsencode of a str, or nothing when it cannot be a file name (then
// os.path.exists says False, so it is not a path either).
std::optional<std::string> try_fs_encode(nb::handle s) { return py::fs_path_or_none(s); }

bool path_exists(nb::handle s) {
  auto enc = try_fs_encode(s);
  return enc && fs::exists(*enc);
}

// pathlib's final component of a str or path-like.
nb::str name_of(nb::handle path) {
  if (PyUnicode_Check(path.ptr())) return bytes_text(core::final_component(text_bytes(path)));
  return nb::str(mod("pathlib").attr("PurePath")(path).attr("name"));
}

void require_component(nb::handle name, const char* what) {
  bool ok = PyUnicode_Check(name.ptr()) && fs::is_single_component(text_bytes(name));
  if (!ok) {
    nb::str msg = nb::str("Invalid {} {}: it must be one path component (not empty, '.', '..', "
                          "and without '/' or NUL)")
                      .format(what, nb::repr(name));
    py::raise(PyExc_ValueError, msg);
  }
}

// The exception being handled, as Python's `except ... as e:` block sets it,
// so errors raised by Python code called from here chain to it as __context__.
class Handling {
 public:
  explicit Handling(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030B0000
    prev_ = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
#else
    PyErr_GetExcInfo(&type_, &prev_, &tb_);
    PyErr_SetExcInfo(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))).inc_ref().ptr(),
                     nb::handle(exc).inc_ref().ptr(), PyException_GetTraceback(exc.ptr()));
#endif
  }
  ~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(prev_);
    Py_XDECREF(prev_);
#else
    PyErr_SetExcInfo(type_, prev_, tb_);
#endif
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* prev_ = nullptr;
#if PY_VERSION_HEX < 0x030B0000
  PyObject* type_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

// `raise first from None` while `second` is being handled: first gets second
// as its (suppressed) context, exactly as the interpreter would chain it.
[[noreturn]] void reraise_suppressing(nb::handle first, nb::handle second) {
  {
    Handling h(second);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(first.ptr())), first.ptr());
  }
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyException_SetCause(v, nullptr);  // also sets __suppress_context__
  PyErr_Restore(t, v, tb);
  throw nb::python_error();
}

nb::list exec_args(nb::handle entrypoint, nb::handle args) {
  nb::list cmd;
  cmd.append("exec");
  cmd.append(entrypoint);
  for (nb::handle a : args) cmd.append(a);
  return cmd;
}

nb::list positional(nb::handle staged) {
  nb::list out;
  for (auto [slot, value] : nb::borrow<nb::dict>(staged)) {
    (void)slot;
    if (PyList_Check(value.ptr())) {
      for (nb::handle p : value) out.append(name_of(p));
    } else {
      out.append(name_of(value));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// _infer_args

nb::str describe_slots(nb::handle manifest, const char* key) {
  nb::object slots = manifest.attr("get")(key, nb::dict());
  nb::list lines;
  nb::str tmpl("  - {}: {} \u2014 {}");
  for (nb::handle item : slots.attr("items")()) {
    nb::object spec = item[1];
    lines.append(tmpl.format(item[0], spec.attr("get")("type", ""), spec.attr("get")("description", "")));
  }
  return nb::borrow<nb::str>(nb::str("\n").attr("join")(lines));
}

nb::object infer_args(nb::handle self, nb::handle tool_name, nb::handle manifest, nb::handle staged) {
  (void)self;
  py::require_str(tool_name, "tool_name");
  py::require_dict(manifest, "manifest");
  py::require_dict(staged, "staged");
  nb::str inputs_desc = describe_slots(manifest, "inputs");
  nb::str outputs_desc = describe_slots(manifest, "outputs");
  nb::list staged_lines;
  for (auto [slot, value] : nb::borrow<nb::dict>(staged)) {
    nb::object names;
    if (PyList_Check(value.ptr())) {
      nb::list parts;
      for (nb::handle p : value) parts.append(name_of(p));
      names = nb::str(" ").attr("join")(parts);
    } else {
      names = name_of(value);
    }
    staged_lines.append(nb::str("  - {}: {}").format(slot, names));
  }
  nb::object staged_desc = nb::str("\n").attr("join")(staged_lines);

  nb::object entrypoint = manifest.attr("get")("entrypoint");
  if (!py::truthy(entrypoint)) entrypoint = nb::borrow(tool_name);
  nb::object description = manifest.attr("get")("description", "");

  nb::str prompt = nb::str(
                       "Tool: {}\nDescription: {}\nBinary: {}\n\nManifest inputs:\n{}\n\n"
                       "Manifest outputs:\n{}\n\n"
                       "Staged files available in /workspace (key \u2192 filename):\n{}\n\n"
                       "Write the correct command-line arguments to pass to '{}'. Include any "
                       "required subcommand. Do NOT include the binary name itself. Use the "
                       "staged filenames exactly as shown. Return ONLY the shell-quoted argument "
                       "string, no explanation, no markdown.")
                       .format(tool_name, description, entrypoint, inputs_desc, outputs_desc,
                               staged_desc, entrypoint);

  try {
    nb::object llm = rivo_attr("_default_llm")();
    nb::object reply = llm.attr("call")(prompt);
    nb::object text = reply.attr("strip")();
    text = mod("re").attr("sub")("^`+|`+$", "", text).attr("strip")();
    nb::object args = mod("shlex").attr("split")(text);
    py::log(kModule, INFO, "LLM inferred args for %s: %s", tool_name, args);
    return args;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    nb::object err = nb::borrow(e.value());
    nb::str text = nb::str(err);
    py::log(kModule, WARNING, "LLM arg inference failed for %s: %s \u2014 falling back to positional",
            tool_name, text);
    return positional(staged);
  }
}

// ---------------------------------------------------------------------------
// _fix_stale_abs_paths

nb::object docker_executable() {
  nb::object which = mod("shutil").attr("which");
  nb::object found = which("docker.real");
  if (!found.is_none()) return found;
  if (fs::exists("/usr/bin/docker.real")) return nb::str("/usr/bin/docker.real");
  found = which("docker");
  if (!found.is_none()) return found;
  return nb::str("docker");
}

// Runs a search in the image; failures come back as Python exceptions whose
// text is what subprocess would have said.
nb::str find_in_image(nb::list argv, nb::handle env) {
  proc::SpawnOptions o;
  o.argv = py::to_argv(argv);
  o.env = py::to_envp(env);
  o.timeout = 60;
  try {
    proc::Result r = py::run_process(std::move(o));
    return py::decode_lossless(r.out);
  } catch (const proc::TimedOut&) {
    py::raise_timeout_expired(argv, nb::int_(60));
  } catch (const OsError& e) {
    py::raise_os_error(e);
  }
}

nb::object fix_stale_abs_paths(nb::handle self, nb::handle args, nb::handle manifest, nb::handle env) {
  (void)self;
  py::require_list(args, "args");
  py::require_dict(manifest, "manifest");
  py::require_dict(env, "env");
  nb::list abs_args;
  for (nb::handle a : args) {
    if (py::truthy(a.attr("startswith")("/")) && !py::truthy(a.attr("startswith")("/workspace")))
      abs_args.append(a);
  }
  if (nb::len(abs_args) == 0) return nb::none();
  nb::object image = manifest.attr("get")("image");
  if (!py::truthy(image)) return nb::none();
  nb::object docker = docker_executable();

  nb::list fixed = nb::borrow<nb::list>(PySequence_List(args.ptr()));
  if (!fixed.is_valid()) throw nb::python_error();
  bool changed = false;
  for (nb::handle bad : abs_args) {
    nb::str name = name_of(bad);
    try {
      nb::list argv;
      argv.append(docker);
      for (const char* a : {"run", "--rm", "--network=host", "--entrypoint", ""}) argv.append(a);
      argv.append(image);
      for (const char* a : {"find", "/", "-name"}) argv.append(a);
      argv.append(name);
      for (const char* a : {"-maxdepth", "8", "-type", "f"}) argv.append(a);
      nb::str out = find_in_image(argv, env);
      nb::object hit;
      for (nb::handle line : out.attr("splitlines")()) {
        nb::object s = line.attr("strip")();
        if (py::truthy(s)) {
          hit = s;
          break;
        }
      }
      if (hit.is_valid()) {
        py::log(kModule, INFO, "Relocated %s \u2192 %s in container", bad, hit);
        for (size_t i = 0; i < nb::len(fixed); ++i)
          if (fixed[i].equal(bad)) fixed[i] = hit;
        changed = true;
      }
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      nb::object err = nb::borrow(e.value());
      py::log(kModule, DEBUG, "find failed for %s: %s", name, nb::str(err));
    }
  }
  return changed ? nb::object(fixed) : nb::none();
}

// ---------------------------------------------------------------------------
// run

struct OutSlot {
  nb::object name;
  std::string bytes;  // file-system spelling
  bool is_dir;
};

nb::object call_run(nb::handle self, nb::handle entrypoint, nb::handle args, nb::handle cwd,
                    nb::handle env) {
  return self.attr("_run")(exec_args(entrypoint, args), nb::arg("cwd") = cwd, nb::arg("env") = env);
}

// The first `rivo exec` failed with `first`: retry once with relocated paths
// or, for a tool without a template, with LLM-written arguments.
nb::object recover(nb::handle self, nb::python_error& first, nb::handle tool_name, nb::handle manifest,
                   nb::handle staged, nb::handle clean, nb::handle template_, nb::handle entrypoint,
                   nb::handle cwd, nb::handle env) {
  nb::object e = nb::borrow(first.value());
  nb::str err_text = nb::str(e);
  bool has_abs_miss = false;
  if (py::contains(err_text, "No such file or directory")) {
    for (nb::handle a : clean) {
      if (py::truthy(a.attr("startswith")("/")) && !py::truthy(a.attr("startswith")("/workspace"))) {
        has_abs_miss = true;
        break;
      }
    }
  }
  Handling handling(e);
  if (has_abs_miss) {
    nb::object fixed = self.attr("_fix_stale_abs_paths")(clean, manifest, env);
    if (fixed.is_none() || !fixed.not_equal(clean)) throw first;
    py::log(kModule, INFO, "Retrying with relocated paths: %s", fixed);
    try {
      return call_run(self, entrypoint, fixed, cwd, env);
    } catch (nb::python_error& second) {
      if (!second.matches(PyExc_RuntimeError)) throw;
      nb::object s = nb::borrow(second.value());
      reraise_suppressing(e, s);
    }
  }
  if (py::truthy(template_)) throw first;
  py::log(kModule, INFO, "Positional fallback failed for %s \u2014 asking LLM for correct args",
          tool_name);
  nb::object inferred = self.attr("_infer_args")(tool_name, manifest, staged);
  if (inferred.equal(clean)) throw first;
  py::log(kModule, INFO, "Retrying rivo exec %s %s (LLM-inferred)", entrypoint, inferred);
  return call_run(self, entrypoint, inferred, cwd, env);
}

nb::bytes stdout_bytes(nb::handle out) {
  if (PyBytes_Check(out.ptr())) return nb::borrow<nb::bytes>(out);
  return nb::borrow<nb::bytes>(out.attr("encode")("utf-8", "surrogateescape"));
}

std::string_view view(const nb::bytes& b) { return {b.c_str(), b.size()}; }

nb::object run(nb::handle self, nb::handle tool_name, nb::handle manifest, nb::handle inputs,
               nb::handle output_dir) {
  py::require_str(tool_name, "tool_name");
  py::require_dict(manifest, "manifest");
  py::require_dict(inputs, "inputs");
  py::require_str(output_dir, "output_dir");

  // Names that become path components are checked before anything exists.
  require_component(tool_name, "tool name");
  nb::object out_specs = py::contains(manifest, "outputs") ? nb::object(manifest["outputs"])
                                                           : nb::object(nb::dict());
  std::vector<OutSlot> slots;
  std::unordered_set<std::string> slot_texts;
  for (nb::handle item : out_specs.attr("items")()) {
    nb::object slot = item[0];
    require_component(slot, "output slot name");
    bool is_dir = item[1].attr("get")("type").equal(nb::str("dir"));
    slots.push_back({slot, py::fs_encode(slot), is_dir});
    slot_texts.insert(text_bytes(slot));
  }

  nb::object os = mod("os");
  nb::object os_path = os.attr("path");
  nb::object tempfile = mod("tempfile");
  nb::object pathlib = mod("pathlib");

  // Project directory: the shared one on the pipeline volume, else a new one.
  nb::str vol = environ_get("PIPELINE_VOLUME_PATH");
  nb::object proj = nb::len(vol) ? os_path.attr("join")(vol, ".rivo_home")
                                 : tempfile.attr("mkdtemp")(nb::arg("prefix") = "rivo_");
  os.attr("makedirs")(proj, nb::arg("exist_ok") = true);
  std::string proj_b = py::fs_encode(os_path.attr("abspath")(proj));

  // Sandbox, always in the local temporary directory.
  nb::object run_id = mod("uuid").attr("uuid4")().attr("hex")[nb::slice(nb::int_(0), nb::int_(12), nb::none())];
  nb::object sandbox_root = pathlib.attr("Path")(tempfile.attr("gettempdir")()) / nb::str("tavro_sandboxes");
  nb::object sandbox_path = sandbox_root / (nb::str("run-") + tool_name + nb::str("-") + run_id);
  nb::str sandbox_str = nb::str(sandbox_path);
  const std::string sandbox = py::fs_encode(sandbox_str);

  // Staging requests: str values and the str elements of lists.
  std::vector<core::StageRequest> requests;
  std::vector<nb::object> request_slots;
  std::vector<bool> request_is_list;
  for (auto [slot, value] : nb::borrow<nb::dict>(inputs)) {
    if (slot.equal(nb::str("output_dir"))) continue;
    bool is_str = PyUnicode_Check(value.ptr());
    bool is_list = !is_str && PyList_Check(value.ptr());
    if (!is_str && !is_list) continue;
    core::StageRequest req;
    req.slot = PyUnicode_Check(slot.ptr()) ? py::fs_encode(slot) : py::fs_encode(nb::str(slot));
    if (is_str) {
      if (auto enc = try_fs_encode(value)) req.sources.push_back(*enc);
    } else {
      for (nb::handle el : value)
        if (PyUnicode_Check(el.ptr()))
          if (auto enc = try_fs_encode(el)) req.sources.push_back(*enc);
    }
    requests.push_back(std::move(req));
    request_slots.push_back(nb::borrow(slot));
    request_is_list.push_back(is_list);
  }

  core::StageResult staged_paths;
  {
    nb::gil_scoped_release nogil;
    fs::make_dirs(sandbox);
    if (::chmod(sandbox.c_str(), 0777) != 0) throw_errno("chmod", sandbox);
    for (const char* name : {"rivo.toml", "rivo.lock"}) {
      std::string src = core::join(proj_b, name);
      if (fs::exists(src)) fs::copy_file(src, core::join(sandbox, name));
    }
    std::string shims_src = core::join(proj_b, ".rivo");
    std::string shims_dst = core::join(sandbox, ".rivo");
    if (fs::exists(shims_src) && !fs::exists(shims_dst)) {
      if (::symlink(shims_src.c_str(), shims_dst.c_str()) != 0) fs::copy_tree(shims_src, shims_dst, true);
    }
    staged_paths = core::stage_all(sandbox, requests);
    for (const auto& s : slots)
      if (s.is_dir) fs::make_dirs(core::join(sandbox, s.bytes));
  }

  nb::dict staged;
  std::unordered_set<std::string> staged_names;
  for (size_t i = 0; i < requests.size(); ++i) {
    if (staged_paths[i].empty()) continue;
    nb::list paths;
    for (const auto& p : staged_paths[i]) {
      paths.append(pathlib.attr("Path")(py::fs_decode(p)));
      staged_names.insert(core::final_component(p));
    }
    staged[request_slots[i]] = request_is_list[i] ? nb::object(paths) : nb::object(paths[0]);
  }

  nb::object template_ = manifest.attr("get")("args_template");
  if (!py::truthy(template_)) template_ = nb::str("");

  nb::dict input_names;
  for (auto [slot, value] : staged) {
    if (PyList_Check(value.ptr())) {
      nb::list parts;
      for (nb::handle p : value) parts.append(name_of(p));
      input_names[slot] = nb::str(" ").attr("join")(parts);
    } else {
      input_names[slot] = name_of(value);
    }
  }
  for (const auto& s : slots) input_names[s.name] = s.name;

  nb::dict scalar_values;
  for (auto [key, value] : nb::borrow<nb::dict>(inputs)) {
    if (key.equal(nb::str("output_dir")) || py::contains(staged, key) || py::contains(out_specs, key))
      continue;
    if (PyUnicode_Check(value.ptr())) {
      if (!path_exists(value)) scalar_values[key] = value;
    } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
      scalar_values[key] = nb::str(value);
    }
  }

  nb::object substituted = template_;
  nb::str open("{"), close("}");
  for (nb::dict* table : {&input_names, &scalar_values})
    for (auto [key, text] : *table)
      substituted = substituted.attr("replace")(open + key + close, text);

  std::vector<std::string> tokens;
  if (py::truthy(substituted))
    for (nb::handle t : mod("shlex").attr("split")(substituted)) tokens.push_back(text_bytes(t));
  core::FilteredArgs filtered = core::filter_tokens(tokens, slot_texts);
  nb::list clean;
  for (const auto& t : filtered.clean) clean.append(bytes_text(t));
  if (nb::len(clean) == 0 && nb::len(staged) > 0) clean = positional(staged);

  nb::object entrypoint = manifest.attr("get")("entrypoint");
  if (!py::truthy(entrypoint)) entrypoint = nb::borrow(tool_name);
  nb::object entrypoint_basename = pathlib.attr("PurePath")(entrypoint).attr("name");
  if (nb::len(clean) > 0 && (clean[0].equal(entrypoint) || clean[0].equal(entrypoint_basename)))
    clean = nb::steal<nb::list>(PySequence_GetSlice(clean.ptr(), 1, PY_SSIZE_T_MAX));

  // A real copy: nb::dict(obj) would only borrow os.environ.
  nb::object run_env = mod("builtins").attr("dict")(os.attr("environ"));
  py::log(kModule, INFO, "Running rivo exec %s %s", entrypoint, clean);

  nb::object proc;
  try {
    proc = call_run(self, entrypoint, clean, sandbox_str, run_env);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    proc = recover(self, e, tool_name, manifest, staged, clean, template_, entrypoint, sandbox_str,
                   run_env);
  }

  nb::object out = proc.attr("stdout");
  if (filtered.capture_slot && py::truthy(out)) {
    nb::bytes data = stdout_bytes(out);
    std::string target = core::join(sandbox, py::fs_encode(bytes_text(*filtered.capture_slot)));
    nb::gil_scoped_release nogil;
    core::write_replacing(target, view(data));
  }

  // Harvest: the glob of each file slot is matched with Python's fnmatch.
  core::HarvestPlan plan;
  plan.sandbox = sandbox;
  nb::str output = nb::str(os.attr("fspath")(pathlib.attr("Path")(output_dir)));
  plan.output = py::fs_encode(output);
  plan.staged_names = staged_names;
  std::vector<std::string> names;
  {
    nb::gil_scoped_release nogil;
    names = core::sandbox_names(sandbox);
  }
  nb::list name_list;
  for (const auto& n : names) name_list.append(py::fs_decode(n));
  nb::object fnmatch_filter = mod("fnmatch").attr("filter");
  for (const auto& s : slots) {
    core::HarvestSlot hs{s.bytes, s.is_dir, {}};
    if (!s.is_dir)
      for (nb::handle m : fnmatch_filter(name_list, s.name + nb::str("*")))
        hs.matches.push_back(py::fs_encode(m));
    plan.slots.push_back(std::move(hs));
  }
  core::HarvestResult delivered;
  {
    nb::gil_scoped_release nogil;
    delivered = core::harvest(plan);
  }

  nb::dict tool_outputs;
  bool all_empty = true;
  for (size_t i = 0; i < slots.size(); ++i) {
    nb::list paths;
    for (const auto& p : delivered[i]) paths.append(py::fs_decode(p));
    if (!delivered[i].empty()) all_empty = false;
    tool_outputs[slots[i].name] = paths;
  }
  if (all_empty && py::truthy(out) && py::truthy(out.attr("strip")())) {
    nb::bytes data = stdout_bytes(out);
    std::string dir = core::join(plan.output, "stdout");
    std::string file = core::join(dir, py::fs_encode(tool_name) + "_stdout.txt");
    {
      nb::gil_scoped_release nogil;
      fs::make_dirs(dir);
      fs::write_file(file, view(data));
    }
    nb::list one;
    one.append(py::fs_decode(file));
    tool_outputs["stdout"] = one;
  }

  std::unordered_set<std::string> dir_slots;
  for (const auto& s : slots)
    if (s.is_dir) dir_slots.insert(s.bytes);
  nb::dict result;
  for (auto [slot, paths] : tool_outputs) {
    size_t n = nb::len(paths);
    if (n == 0)
      result[slot] = nb::none();
    else if (dir_slots.count(py::fs_encode(slot)))
      result[slot] = py::fs_decode(core::join(plan.output, py::fs_encode(slot)));
    else if (n == 1)
      result[slot] = paths[0];
    else
      result[slot] = paths;
  }

  {
    nb::gil_scoped_release nogil;
    fs::remove_tree_ignore_errors(sandbox);
  }
  py::log(kModule, DEBUG, "Cleaned up sandbox: %s", sandbox_str);
  return result;
}

}  // namespace

void bind_execution(nb::module_&, Class& cls) {
  cls.def("run", &run, nb::arg("tool_name").none(), nb::arg("manifest").none(),
          nb::arg("inputs").none(), nb::arg("output_dir").none(),
          nb::sig("def run(self, tool_name: str, manifest: dict, inputs: dict, output_dir: str) -> dict"),
          "Run one tool for one node: stage the inputs into a private sandbox, build the "
          "arguments from the template, run it through `rivo exec`, retry once with relocated "
          "paths or LLM-written arguments, harvest the outputs into output_dir and return the "
          "map from output slot to path (None, a path, or a list of paths).");
  cls.def("_infer_args", &infer_args, nb::arg("tool_name").none(), nb::arg("manifest").none(),
          nb::arg("staged").none(),
          nb::sig("def _infer_args(self, tool_name: str, manifest: dict, staged: dict) -> list[str]"),
          "Ask the LLM for the arguments of a tool without a template; on any failure return "
          "the staged file names in input order.");
  cls.def("_fix_stale_abs_paths", &fix_stale_abs_paths, nb::arg("args").none(),
          nb::arg("manifest").none(), nb::arg("env").none(),
          nb::sig("def _fix_stale_abs_paths(self, args: list, manifest: dict, env: dict) -> list[str] | None"),
          "Replace absolute arguments that do not exist in the tool's image by the first file "
          "of the same name found in it; None when nothing was relocated.");
}

}  // namespace tavro::rivo
