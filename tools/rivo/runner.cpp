#include "runner.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/process.hpp"
#include "docker.hpp"
#include "exec_route.hpp"

extern char** environ;

namespace rivo {
namespace {

int g_received = 0;
bool g_forwarding = false;  // a child run is forwarding our signals now

struct Forwarding {
  Forwarding() { g_forwarding = true; }
  ~Forwarding() { g_forwarding = false; }
};

void write_stderr(const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Option words of a shell that take the command line next: -c, -ec, -lc, ...
bool is_command_flag(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
  return arg.find('c') != std::string::npos;
}

// Does `arg` look like a file the tool was meant to read?
bool looks_like_path(const std::string& arg) {
  if (arg.empty() || arg[0] == '-' || arg.find_first_of(" \t\n*?$`;|&<>") != std::string::npos) return false;
  if (arg.find('/') != std::string::npos) return true;
  size_t dot = arg.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= arg.size()) return false;
  char c = arg[dot + 1];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');  // a file extension, not "0.5"
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

// After a failed run: say which path-like arguments name nothing, so a
// missing input always leaves a recognisable message.
void note_missing_paths(const std::vector<std::string>& argv, const fs::path& workdir, bool host_paths) {
  if (argv.size() < 2 || is_shell(argv[0])) return;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    const std::string& prev = argv[i - 1];
    if (prev == "-o" || starts_with(prev, "--out")) continue;  // an output the tool never wrote
    if (!looks_like_path(arg)) continue;
    fs::path p;
    if (arg == "/workspace" || starts_with(arg, "/workspace/"))
      p = workdir / arg.substr(std::min<size_t>(arg.size(), 11));
    else if (arg[0] == '/')
      p = host_paths ? fs::path(arg) : fs::path();
    else
      p = workdir / arg;
    if (p.empty()) continue;
    std::error_code ec;
    if (!fs::exists(p, ec)) write_stderr("rivo: " + arg + ": No such file or directory\n");
  }
}

// The process environment with `overrides` set.
std::vector<std::string> child_env(const EnvOverrides& overrides) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    std::string_view key = kv.substr(0, kv.find('='));
    bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) { return o.first == key; });
    if (!replaced) out.emplace_back(kv);
  }
  for (const auto& [key, value] : overrides) out.push_back(key + "=" + value);
  return out;
}

}  // namespace

std::optional<Backend> parse_backend(const std::string& name) {
  std::string n = lower(trim(name));
  if (n == "local") return Backend::Local;
  if (n == "docker") return Backend::Docker;
  if (n == "apptainer" || n == "singularity") return Backend::Apptainer;
  if (n == "auto" || n.empty()) return std::nullopt;
  throw Failure("unknown backend '" + name + "' (expected local, docker, apptainer or auto)", kExitUsage);
}

std::string backend_name(Backend backend) {
  switch (backend) {
    case Backend::Local: return "local";
    case Backend::Docker: return "docker";
    case Backend::Apptainer: return "apptainer";
  }
  return "local";
}

std::optional<std::string> find_program(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return tavro::proc::which(name, tavro::proc::exec_path(std::nullopt));
}

int received_signal() { return g_received; }

tavro::proc::Result run_helper(tavro::proc::SpawnOptions o) {
  // A clean-up hook of a forwarding run (docker kill, docker rm) runs plainly:
  // one forwarding run at a time per process.
  if (g_forwarding) return tavro::proc::run(o);
  int got = 0;
  o.forward_signals = {SIGTERM, SIGINT, SIGHUP};
  o.on_signal = [&got](int sig) {
    if (!got) got = sig;
  };
  auto end_if_signalled = [&got] {
    if (!got) return;
    std::cout.flush();
    std::signal(got, SIG_DFL);
    std::raise(got);
  };
  Forwarding forwarding;
  try {
    tavro::proc::Result r = tavro::proc::run(o);
    end_if_signalled();
    return r;
  } catch (...) {
    end_if_signalled();
    throw;
  }
}

int run_tool(const std::vector<std::string>& argv, const EnvOverrides& env,
             const std::function<void(int)>& on_signal) {
  if (argv.empty()) throw Failure("nothing to run", kExitUsage);
  tavro::proc::SpawnOptions o;
  o.argv = argv;
  if (!env.empty()) o.env = child_env(env);
  o.passthrough = true;
  o.forward_signals = {SIGTERM, SIGINT, SIGHUP};
  g_received = 0;
  o.on_signal = [&on_signal](int sig) {
    if (!g_received) g_received = sig;
    if (on_signal) on_signal(sig);
  };
  std::cout.flush();
  Forwarding forwarding;
  try {
    return tavro::proc::run(o).returncode;
  } catch (const tavro::OsError& e) {
    // posix_spawn reports exec's own errno: the tool never ran.
    const std::string& what = e.path().empty() ? argv[0] : e.path();
    throw Failure(what + ": " + errno_text(e.err()), e.err() == ENOENT || e.err() == ENOTDIR ? 127 : 126);
  }
}

Backend detect_backend() {
  if (!find_program("docker")) return Backend::Local;
  double limit = 5.0;
  if (auto v = env_value("RIVO_DOCKER_PROBE_TIMEOUT")) {
    char* end = nullptr;
    double d = std::strtod(v->c_str(), &end);
    if (end != v->c_str() && d > 0) limit = d;
  }
  try {
    return docker_quiet({"info"}, limit).returncode == 0 ? Backend::Docker : Backend::Local;
  } catch (const tavro::proc::TimedOut&) {
    return Backend::Local;
  } catch (const tavro::OsError&) {
    return Backend::Local;
  }
}

void pull_image(Backend backend, const std::string& image, bool may_pull) {
  if (backend == Backend::Docker) ensure_image(image, may_pull);
}

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

int run_exec(const ExecRequest& req) {
  if (req.argv.empty()) throw Failure("exec needs an executable", kExitUsage);
  const std::string workdir = req.workdir.string();
  EnvOverrides env;
  std::vector<std::string> argv;
  std::string container;

  switch (req.backend) {
    case Backend::Local: {
      argv = map_workspace(req.argv, workdir);
      std::string path = path_without_shims(env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
      env.emplace_back("PATH", path);
      break;
    }
    case Backend::Docker: {
      if (req.image.empty()) throw Failure("no container image to run " + req.argv[0] + " in");
      // --init: a tool's shell as PID 1 would ignore SIGTERM. The name lets
      // rivo stop the container itself: ending the client does not.
      container = container_name();
      argv = {"docker", "run", "--rm", "-i", "--init", "--name", container,
              "-v", workdir + ":/workspace", "-w", "/workspace"};
      if (::getuid() != 0) {
        // Files the tool writes into the mounted directory stay the caller's.
        argv.push_back("--user");
        argv.push_back(std::to_string(::getuid()) + ":" + std::to_string(::getgid()));
        argv.push_back("-e");
        argv.push_back("HOME=/tmp");
      }
      if (req.gpu) {
        argv.push_back("--gpus");
        argv.push_back("all");
      }
      argv.push_back("--entrypoint=");
      argv.push_back(req.image);
      argv.insert(argv.end(), req.argv.begin(), req.argv.end());
      break;
    }
    case Backend::Apptainer: {
      if (req.image.empty()) throw Failure("no container image to run " + req.argv[0] + " in");
      std::string engine = find_program("apptainer") ? "apptainer" : "singularity";
      argv = {engine, "exec", "--bind", workdir + ":/workspace", "--pwd", "/workspace"};
      if (req.gpu) argv.push_back("--nv");
      std::string ref = req.image.find("://") == std::string::npos ? "docker://" + req.image : req.image;
      argv.push_back(ref);
      argv.insert(argv.end(), req.argv.begin(), req.argv.end());
      break;
    }
  }

  if (req.backend != Backend::Local && !find_program(argv[0]))
    throw Failure(argv[0] + ": No such file or directory (needed by the " + backend_name(req.backend) + " backend)", 127);

  int depth = 0;
  if (auto d = env_value("RIVO_EXEC_DEPTH")) depth = std::atoi(d->c_str());
  env.emplace_back("RIVO_EXEC_DEPTH", std::to_string(depth + 1));

  if (req.backend != Backend::Local && env_value("RIVO_VERBOSE").value_or("") != "")
    write_stderr("rivo: running " + req.argv[0] + " in image " + req.image + "\n");
  bool stopped = false;
  int rc = run_tool(argv, env, [&](int) {
    if (container.empty() || stopped) return;
    stopped = true;
    stop_container(container);
  });
  if (received_signal()) return -received_signal();
  if (rc != 0) {
    if (req.backend != Backend::Local && rc == 127)
      write_stderr("rivo: " + req.argv[0] + ": No such file or directory (not found in image " + req.image + ")\n");
    if (!(req.backend == Backend::Local && rc == 127)) note_missing_paths(req.argv, req.workdir, req.backend == Backend::Local);
  }
  return rc;
}

}  // namespace rivo
