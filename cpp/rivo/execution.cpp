// RIVO.run and its two recovery helpers: argument inference by the LLM and
// relocation of stale absolute paths inside the tool's image.
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/exec_core.hpp"
#include "rivo/rivo.hpp"
#include "rivo/run_plan.hpp"

namespace tavro::rivo {
namespace detail {

nb::object mod(const char* name) { return nb::module_::import_(name); }

using py::bytes_text;
using py::text_bytes;

// os.path.exists of a str: a string that cannot be a file name names nothing.
bool path_exists(nb::handle s) {
  auto enc = py::fs_path_or_none(s);
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

// A name starting with '-' goes as "./name", so the tool cannot take the
// file for an option.
nb::list positional(nb::handle staged) {
  nb::list out;
  auto add = [&out](nb::handle p) {
    nb::str name = name_of(p);
    out.append(bytes_text(core::path_argument(text_bytes(name))));
  };
  for (auto [slot, value] : nb::borrow<nb::dict>(staged)) {
    (void)slot;
    if (PyList_Check(value.ptr())) {
      for (nb::handle p : value) add(p);
    } else {
      add(value);
    }
  }
  return out;
}

}  // namespace detail

namespace {

using namespace detail;
using py::DEBUG;
using py::INFO;
using py::WARNING;

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

}  // namespace

void bind_execution(nb::module_&, Class& cls) {
  cls.def("run", &run_tool, nb::arg("tool_name").none(), nb::arg("manifest").none(),
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
