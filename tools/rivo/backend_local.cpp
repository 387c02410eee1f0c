// The local backend: the executable found on PATH runs on this machine in
// the working directory, with /workspace paths in its arguments mapped onto
// that directory. It cannot enforce a tool's resources.
#include "backend.hpp"
#include "exec_route.hpp"
#include "project_lock.hpp"

namespace rivo {
namespace {

// Option words of a shell that take the command line next: -c, -ec, -lc, ...
bool is_command_flag(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
  return arg.find('c') != std::string::npos;
}

bool shell_safe(const std::string& text) {
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
              c == '_' || c == '-' || c == '+' || c == ',' || c == '@' || c == '%';
    if (!ok) return false;
  }
  return true;
}

std::string map_line(const std::string& line, const std::string& workdir) {
  static const std::string word = "/workspace";
  static const std::string before = " \t\n'\"=:(`;|&<>";
  static const std::string after = "/ \t\n'\";|&)<>`:";
  if (!shell_safe(workdir)) return line;  // a substituted path would need quoting
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = line.find(word, pos);
    if (hit == std::string::npos) break;
    size_t end = hit + word.size();
    bool left_ok = hit == 0 || before.find(line[hit - 1]) != std::string::npos;
    bool right_ok = end == line.size() || after.find(line[end]) != std::string::npos;
    out.append(line, pos, hit - pos);
    out += (left_ok && right_ok) ? workdir : word;
    pos = end;
  }
  out.append(line, pos, std::string::npos);
  return out;
}

std::string map_arg(const std::string& arg, const std::string& workdir) {
  static const std::string word = "/workspace";
  if (arg == word) return workdir;
  if (starts_with(arg, word + "/")) return workdir + arg.substr(word.size());
  if (!arg.empty() && arg[0] == '-') {
    size_t eq = arg.find("=" + word);
    if (eq != std::string::npos) {
      size_t end = eq + 1 + word.size();
      if (end == arg.size() || arg[end] == '/') return arg.substr(0, eq + 1) + workdir + arg.substr(end);
    }
  }
  return arg;
}

// /workspace paths mapped onto `workdir`: an argument equal to /workspace or
// below it, the value of --opt=/workspace/..., and /workspace paths inside a
// `sh -c` command line.
std::vector<std::string> map_workspace(const std::vector<std::string>& argv, const std::string& workdir) {
  std::vector<std::string> out;
  out.reserve(argv.size());
  bool shell = !argv.empty() && is_shell(argv[0]);
  for (size_t i = 0; i < argv.size(); ++i) {
    if (shell && i > 0 && is_command_flag(argv[i - 1]))
      out.push_back(map_line(argv[i], workdir));
    else
      out.push_back(map_arg(argv[i], workdir));
  }
  return out;
}

// PATH without the project shim folders (".../.rivo/bin"), so that a local
// run never finds a shim that would call rivo again.
std::string path_without_shims(const std::string& path_value) {
  std::vector<std::string> kept;
  size_t start = 0;
  while (start <= path_value.size()) {
    size_t colon = path_value.find(':', start);
    if (colon == std::string::npos) colon = path_value.size();
    std::string dir = path_value.substr(start, colon - start);
    std::string norm = dir;
    while (norm.size() > 1 && norm.back() == '/') norm.pop_back();
    bool shim = norm == ".rivo/bin" || (norm.size() >= 10 && norm.compare(norm.size() - 10, 10, "/.rivo/bin") == 0);
    if (!shim) kept.push_back(dir);
    start = colon + 1;
  }
  return join(kept, ":");
}

}  // namespace

int run_local(const ExecRequest& req) {
  ToolRun run;
  run.argv = map_workspace(req.argv, req.workdir.string());
  run.env.emplace_back("PATH", path_without_shims(env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin")));
  add_exec_depth(run.env);
  if (req.resources.cpus || !req.resources.memory.empty())
    debug("the local backend cannot enforce the tool's resources (" + req.resources.summary() +
          "): it runs without limits");
  int rc = run_tool(run);
  if (received_signal()) return -received_signal();
  if (rc != 0 && rc != 127) note_missing_paths(req.argv, req.workdir, true);
  return rc;
}

}  // namespace rivo
