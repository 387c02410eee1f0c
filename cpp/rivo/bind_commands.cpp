// Project commands (one `rivo` subcommand each) and the parser of the
// human-readable `rivo show` output.
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

// The command line [verb, arg] and, when given, `option value`.
nb::list command(const char* verb, nb::handle arg, const char* option = nullptr,
                 nb::handle value = nb::none()) {
  nb::list cmd;
  cmd.append(verb);
  cmd.append(arg);
  if (option) append_option(cmd, option, value);
  return cmd;
}

nb::object run_plain(nb::handle self, nb::list cmd) { return self.attr("_run")(cmd); }

nb::object run_captured(nb::handle self, nb::list cmd) {
  return self.attr("_run")(cmd, nb::arg("capture_output") = true, nb::arg("text") = true);
}

void remove(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  run_plain(self, command("remove", tool));
}

void lock(nb::handle self, nb::handle check) {
  bool flag = py::truthy(check);
  nb::list cmd;
  cmd.append("lock");
  if (flag) cmd.append("--check");
  run_plain(self, cmd);
}

nb::object exec(nb::handle self, nb::handle command, nb::args args) {
  py::require_str(command, "command");
  nb::list cmd;
  cmd.append("exec");
  if (nb::len(args) > 0) {
    cmd.append(command);
    for (nb::handle a : args) cmd.append(a);
  } else {
    for (const char* a : {"--", "bash", "-c"}) cmd.append(a);
    cmd.append(command);
  }
  return run_plain(self, cmd);
}

void shell(nb::handle self, nb::handle shell_name) {
  py::require_str(shell_name, "shell", true);
  nb::list cmd;
  cmd.append("shell");
  append_option(cmd, "--shell", shell_name);
  run_plain(self, cmd);
}

nb::object search(nb::handle self, nb::handle query, nb::handle tier) {
  py::require_str(query, "query");
  py::require_str(tier, "tier", true);
  return run_captured(self, command("search", query, "--tier", tier));
}

nb::object show(nb::handle self, nb::handle tool, nb::handle fmt) {
  py::require_str(tool, "tool");
  py::require_str(fmt, "fmt", true);
  return run_captured(self, command("show", tool, "--format", fmt));
}

nb::object info(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  return run_captured(self, command("info", tool));
}

nb::object list_tools(nb::handle self, nb::handle binaries) {
  bool flag = py::truthy(binaries);
  nb::list cmd;
  cmd.append("list");
  if (flag) cmd.append("--binaries");
  return run_captured(self, cmd);
}

// The three labelled lines, tried in this order; the first match wins.
struct Label {
  const char* prefix;
  const char* key;
};
constexpr Label kLabels[] = {
    {"Image:", "image"},
    {"Entrypoint:", "entrypoint"},
    {"Args template:", "args_template"},
};

nb::dict parse_show_text(nb::handle /*self*/, nb::handle text) {
  py::require_str(text, "text");
  nb::dict manifest;
  manifest["image"] = nb::none();
  manifest["entrypoint"] = nb::none();
  manifest["args_template"] = nb::none();
  manifest["gpu_required"] = false;
  // str.splitlines and str.strip keep Python's notion of line boundaries
  // (\r, \r\n, \x0b, \x1c, \u2028, ...) and of white space.
  nb::str gpu("gpu"), required("required"), true_word("true");
  for (nb::handle raw : nb::borrow<nb::object>(text).attr("splitlines")()) {
    nb::object line = raw.attr("strip")();
    bool labelled = false;
    for (const Label& l : kLabels) {
      if (py::truthy(line.attr("startswith")(l.prefix))) {
        size_t n = std::char_traits<char>::length(l.prefix);
        manifest[l.key] = line[nb::slice(nb::int_(n), nb::none(), nb::none())].attr("strip")();
        labelled = true;
        break;
      }
    }
    if (labelled) continue;
    nb::object lower = line.attr("lower")();
    if (py::contains(lower, gpu) && (py::contains(lower, required) || py::contains(lower, true_word)))
      manifest["gpu_required"] = true;
  }
  return manifest;
}

nb::object parse_show(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::object proc = self.attr("show")(tool);
  nb::object text = proc.attr("stdout");
  nb::object manifest = self.attr("parse_show_text")(text);
  py::require_return(manifest, &PyDict_Type);
  return manifest;
}

}  // namespace

void bind_commands(nb::module_&, Class& cls) {
  cls.def("remove", &remove, nb::arg("tool").none(), nb::sig("def remove(self, tool: str) -> None"),
          "Remove a tool from the project.");
  cls.def("lock", &lock, nb::arg("check").none() = false,
          nb::sig("def lock(self, check: bool = False) -> None"),
          "Regenerate rivo.lock. check=True exits with error if anything would change.");
  cls.def("exec", &exec, nb::arg("command").none(), nb::arg("args"),
          nb::sig("def exec(self, command: str, *args: str) -> subprocess.CompletedProcess"),
          "Run a command with all project binaries on PATH.\n\n"
          "Accepts either a full shell string (no extra args) or a command + args list.");
  cls.def("shell", &shell, nb::arg("shell").none() = nb::none(),
          nb::sig("def shell(self, shell: str | None = None) -> None"),
          "Start an interactive subshell with all project binaries on PATH.");
  cls.def("search", &search, nb::arg("query").none(), nb::arg("tier").none() = nb::none(),
          nb::sig("def search(self, query: str, tier: str | None = None) -> subprocess.CompletedProcess"),
          "Search the registry by name, description, or I/O type.\n\n"
          "tier: \"core\" | \"community\" | \"experimental\" | \"all\"");
  cls.def("show", &show, nb::arg("tool").none(), nb::arg("fmt").none() = nb::none(),
          nb::sig("def show(self, tool: str, fmt: str | None = None) -> subprocess.CompletedProcess"),
          "Show typed I/O schema and metadata for a tool.\n\n"
          "fmt: \"json\" | \"mcp\" | \"json-schema\"; human-readable text when not given.");
  cls.def("info", &info, nb::arg("tool").none(),
          nb::sig("def info(self, tool: str) -> subprocess.CompletedProcess"),
          "Show lockfile-level detail for a tool.");
  cls.def("list_tools", &list_tools, nb::arg("binaries").none() = false,
          nb::sig("def list_tools(self, binaries: bool = False) -> subprocess.CompletedProcess"),
          "List installed tools. binaries=True shows the binary routing table.");
  cls.def("parse_show_text", &parse_show_text, nb::arg("text").none(),
          nb::sig("def parse_show_text(self, text: str) -> dict"),
          "Parse the human-readable output of `rivo show` into a manifest dict.");
  cls.def("parse_show", &parse_show, nb::arg("tool").none(),
          nb::sig("def parse_show(self, tool: str) -> dict"),
          "Run `rivo show <tool>` and parse the output into a manifest dict.");
}

}  // namespace tavro::rivo
