// rivo: a small local tool manager. It keeps a project (rivo.toml, rivo.lock
// and the .rivo shim folder) in the working directory, reads tool definitions
// from a registry folder, and runs a tool's executables on this machine or in
// the tool's container image (Docker or Apptainer).
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "common/errors.hpp"
#include "util.hpp"

namespace {

constexpr const char* kVersion = "rivo 0.1.0 (tavro local)";

constexpr const char* kExecUsage =
    "Usage: rivo [--backend NAME] [--registry DIR] exec EXE [ARGS...]\n"
    "       rivo [--backend NAME] [--registry DIR] exec -- bash -c LINE\n"
    "\n"
    "Runs EXE with its arguments in the container of the project tool that\n"
    "provides it (see 'rivo list --binaries'), with the working directory\n"
    "mounted at /workspace. With the local backend EXE runs on this machine in\n"
    "the working directory, and arguments under /workspace name files there.\n"
    "Standard streams pass through and the exit status is the tool's.\n";

// Always fails: every word after `exec` is left unparsed (prefix command)
// and read from remaining(); the positional only makes "--" count as the
// separator before the command.
const CLI::Validator kTakeNothing([](std::string&) { return std::string("-"); }, "", "");

std::vector<std::string> exec_command(const CLI::App& exec) {
  std::vector<std::string> command = exec.remaining();
  if (!command.empty() && command.front() == "--") command.erase(command.begin());
  return command;
}

struct ExecOptions {
  std::vector<std::string> unused;
  std::string registry, backend;
};

// `exec` takes everything after its own options verbatim (CLI11's prefix
// command); its --registry and --backend mean the same as the global ones.
CLI::App* add_exec(CLI::App& app, ExecOptions& o) {
  auto* exec = app.add_subcommand("exec", "Run an executable of the project: exec EXE [ARGS...] | exec -- bash -c LINE");
  exec->footer(kExecUsage);
  exec->prefix_command();
  exec->validate_positionals();
  exec->add_option("command", o.unused, "EXE [ARGS...], or -- bash -c LINE")->check(kTakeNothing);
  exec->add_option("--registry", o.registry, "Same as before the subcommand");
  exec->add_option("--backend", o.backend, "Same as before the subcommand");
  return exec;
}

// The value of a global option when given, the one after `exec` winning.
std::optional<std::string> given(const CLI::App& app, const std::string& name, const std::string& value,
                                 const CLI::App& exec, const std::string& exec_value) {
  if (exec.get_option(name)->count()) return exec_value;
  if (app.get_option(name)->count()) return value;
  return std::nullopt;
}

int run(int argc, char** argv) {
  CLI::App app{"Manage the command-line tools of a project and run them locally or in containers.", "rivo"};
  app.set_version_flag("--version", kVersion);
  app.require_subcommand(1);
  app.footer(
      "Tool definitions are <tool>.toml files in the registry folder. The project lives in the\n"
      "working directory: rivo.toml, rivo.lock and .rivo/ (shims in .rivo/bin).\n"
      "Exit status: 0 success, 1 failure, 2 usage error or unusable registry.");

  std::string registry, backend;
  app.add_option("--registry", registry, "Folder of tool definitions (default: $RIVO_REGISTRY)");
  app.add_option("--backend", backend, "local, docker, apptainer or auto (default: $RIVO_BACKEND, else auto)");

  std::vector<std::string> add_tools;
  auto* add = app.add_subcommand("add", "Add tools from the registry to the project");
  add->add_option("tools", add_tools, "Tool names");

  bool frozen = false;
  auto* sync = app.add_subcommand("sync", "Pull all locked images and regenerate rivo.lock and the shims");
  sync->add_flag("--frozen", frozen, "Fail instead of changing rivo.lock");

  bool check = false;
  auto* lock = app.add_subcommand("lock", "Regenerate rivo.lock from rivo.toml");
  lock->add_flag("--check", check, "Exit with status 1 if rivo.lock would change");

  std::vector<std::string> remove_tools;
  auto* remove = app.add_subcommand("remove", "Remove tools from the project");
  remove->add_option("tools", remove_tools, "Tool names")->required();

  bool binaries = false;
  auto* list = app.add_subcommand("list", "List installed tools");
  list->add_flag("--binaries", binaries, "Show the binary routing table");

  std::string show_tool, show_format;
  auto* show = app.add_subcommand("show", "Show a tool's typed inputs, outputs and metadata");
  show->add_option("tool", show_tool, "Tool name")->required();
  show->add_option("--format", show_format, "json, mcp or json-schema (default: text)");

  std::string info_tool;
  auto* info = app.add_subcommand("info", "Show lockfile detail for a tool");
  info->add_option("tool", info_tool, "Tool name")->required();

  std::string query, tier;
  auto* search = app.add_subcommand("search", "Search the registry by name, description or input/output type");
  search->add_option("query", query, "Text to look for")->required();
  search->add_option("--tier", tier, "core, community, experimental or all");

  std::string shell;
  auto* shell_cmd = app.add_subcommand("shell", "Start a subshell with the project's binaries first on PATH");
  shell_cmd->add_option("--shell", shell, "Shell to run (default: $SHELL, else /bin/sh)");

  ExecOptions exec_opts;
  auto* exec = add_exec(app, exec_opts);

  for (auto* s : {add, sync, lock, remove, list, show, info, search, shell_cmd}) s->fallthrough();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : rivo::kExitUsage;
  }

  rivo::Context ctx(given(app, "--registry", registry, *exec, exec_opts.registry),
                   given(app, "--backend", backend, *exec, exec_opts.backend));

  if (add->parsed()) return rivo::cmd_add(ctx, add_tools);
  if (sync->parsed()) return rivo::cmd_sync(ctx, frozen);
  if (lock->parsed()) return rivo::cmd_lock(ctx, check);
  if (remove->parsed()) return rivo::cmd_remove(ctx, remove_tools);
  if (list->parsed()) return rivo::cmd_list(ctx, binaries);
  if (show->parsed()) return rivo::cmd_show(ctx, show_tool, show_format);
  if (info->parsed()) return rivo::cmd_info(ctx, info_tool);
  if (search->parsed()) return rivo::cmd_search(ctx, query, tier);
  if (shell_cmd->parsed()) return rivo::cmd_shell(ctx, shell);
  if (exec->parsed()) return rivo::cmd_exec(ctx, exec_command(*exec));
  return rivo::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const rivo::Failure& f) {
    std::cout.flush();
    std::cerr << "rivo: " << f.what() << "\n";
    return f.status;
  } catch (const tavro::OsError& e) {
    std::cout.flush();
    std::cerr << "rivo: " << (e.path().empty() ? e.syscall() : e.path()) << ": " << rivo::errno_text(e.err()) << "\n";
    return rivo::kExitFailure;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "rivo: " << e.what() << "\n";
    return rivo::kExitFailure;
  }
}
