// The two recovery helpers RIVO.run calls after a failed `rivo exec`:
// argument inference by the LLM and relocation of stale absolute paths
// inside the tool's image.
#include "common/path.hpp"
#include "common/process.hpp"
#include "rivo/core/docker.hpp"
#include "rivo/core/executor.hpp"
#include "rivo/core/run.hpp"
#include "rivo/core/shell_split.hpp"
#include "rivo/core/template.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

// pathlib's final component of a str or path-like.
nb::str name_of(nb::handle path) {
  if (PyUnicode_Check(path.ptr())) return py::bytes_text(fs::final_component(py::text_bytes(path)));
  nb::object pure = py::module_attr("pathlib", "PurePath")(path);
  return nb::str(pure.attr("name"));
}

// The staged names in input order (a name starting with '-' as "./name").
nb::list positional(nb::handle staged) {
  nb::list out;
  auto add = [&out](nb::handle p) {
    nb::str name = name_of(p);
    out.append(py::bytes_text(path_argument(py::text_bytes(name))));
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

nb::str describe_slots(nb::handle manifest, const char* key) {
  nb::object slots = manifest.attr("get")(key, nb::dict());
  nb::list lines;
  nb::str tmpl("  - {}: {} \u2014 {}");
  nb::object items = slots.attr("items")();
  for (nb::handle item : items) {
    nb::object name = item[0];
    nb::object spec = item[1];
    nb::object type = spec.attr("get")("type", "");
    nb::object description = spec.attr("get")("description", "");
    lines.append(tmpl.format(name, type, description));
  }
  return nb::borrow<nb::str>(nb::str("\n").attr("join")(lines));
}

nb::str prompt_for(nb::handle tool_name, nb::handle manifest, nb::handle staged) {
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
  return nb::str(
             "Tool: {}\nDescription: {}\nBinary: {}\n\nManifest inputs:\n{}\n\n"
             "Manifest outputs:\n{}\n\n"
             "Staged files available in /workspace (key \u2192 filename):\n{}\n\n"
             "Write the correct command-line arguments to pass to '{}'. Include any "
             "required subcommand. Do NOT include the binary name itself. Use the "
             "staged filenames exactly as shown. Return ONLY the shell-quoted argument "
             "string, no explanation, no markdown.")
      .format(tool_name, description, entrypoint, inputs_desc, outputs_desc, staged_desc, entrypoint);
}

nb::object infer_args(nb::handle, nb::handle tool_name, nb::handle manifest, nb::handle staged) {
  py::require_str(tool_name, "tool_name");
  py::require_dict(manifest, "manifest");
  py::require_dict(staged, "staged");
  nb::str prompt = prompt_for(tool_name, manifest, staged);
  nb::list args;
  nb::object failure = py::failure_of([&] {
    nb::object llm = rivo_attr("_default_llm")();
    nb::object reply = llm.attr("call")(prompt);
    nb::object text = reply.attr("strip")();
    text = py::module_attr("re", "sub")("^`+|`+$", "", text).attr("strip")();
    for (const auto& word : shell_split(py::text_bytes(text))) args.append(py::bytes_text(word));
    py::log(kModule, INFO, "LLM inferred args for %s: %s", tool_name, args);
  });
  if (!failure.is_valid()) return args;
  py::log(kModule, WARNING, "LLM arg inference failed for %s: %s \u2014 falling back to positional", tool_name,
          nb::str(failure));
  return positional(staged);
}

bool stale(nb::handle arg) {
  if (PyUnicode_Check(arg.ptr())) return is_stale_candidate(py::text_bytes(arg));
  // Not a str: asked as Python would ask it (and failing as it would).
  nb::object starts = arg.attr("startswith");
  return py::truthy(starts("/")) && !py::truthy(starts("/workspace"));
}

// The first line of find's output, white space stripped.
nb::object first_hit(const std::string& out) {
  nb::object lines = py::decode_lossless(out).attr("splitlines")();
  for (nb::handle line : lines) {
    nb::object s = line.attr("strip")();
    if (py::truthy(s)) return s;
  }
  return nb::none();
}

nb::object fix_stale_abs_paths(nb::handle, nb::handle args, nb::handle manifest, nb::handle env) {
  py::require_list(args, "args");
  py::require_dict(manifest, "manifest");
  py::require_dict(env, "env");
  nb::list abs_args;
  for (nb::handle a : args)
    if (stale(a)) abs_args.append(a);
  if (nb::len(abs_args) == 0) return nb::none();
  nb::object image = manifest.attr("get")("image");
  if (!py::truthy(image)) return nb::none();
  const std::string docker = real_docker(py::fs_encode(rivo_attr("_DOCKER_REAL")), proc::exec_path(std::nullopt));

  nb::list fixed = nb::borrow<nb::list>(PySequence_List(args.ptr()));
  if (!fixed.is_valid()) throw nb::python_error();
  bool changed = false;
  LocalExecutor executor;
  for (nb::handle bad : abs_args) {
    nb::str name = name_of(bad);
    nb::object failure = py::failure_of([&] {
      std::vector<std::string> argv = image_search_argv(docker, py::fs_encode(image), py::fs_encode(name));
      auto env_pairs = py::to_env_pairs(env);
      ExecResult r = py::without_gil([&](const std::function<bool()>& abort) {
        return run_docker(executor, argv, 60, env_pairs, abort);
      });
      // The exit status is not looked at: a search that met unreadable
      // folders still found what it found.
      nb::object hit = first_hit(r.out);
      if (hit.is_none()) return;
      py::log(kModule, INFO, "Relocated %s \u2192 %s in container", bad, hit);
      for (size_t i = 0; i < nb::len(fixed); ++i) {
        nb::object item = fixed[i];
        if (item.equal(bad)) fixed[i] = hit;
      }
      changed = true;
    });
    if (failure.is_valid()) py::log(kModule, DEBUG, "find failed for %s: %s", name, nb::str(failure));
  }
  return changed ? nb::object(fixed) : nb::none();
}

}  // namespace

void bind_recovery(nb::module_&, Class& cls) {
  cls.def("_infer_args", &infer_args, nb::arg("tool_name").none(), nb::arg("manifest").none(),
          nb::arg("staged").none(),
          nb::sig("def _infer_args(self, tool_name: str, manifest: dict, staged: dict) -> list[str]"),
          "Ask the LLM for the arguments of a tool without a template; on any failure return "
          "the staged file names in input order.");
  cls.def("_fix_stale_abs_paths", &fix_stale_abs_paths, nb::arg("args").none(), nb::arg("manifest").none(),
          nb::arg("env").none(),
          nb::sig("def _fix_stale_abs_paths(self, args: list, manifest: dict, env: dict) -> list[str] | None"),
          "Replace absolute arguments that do not exist in the tool's image by the first file "
          "of the same name found in it; None when nothing was relocated.");
}

}  // namespace tavro::rivo
