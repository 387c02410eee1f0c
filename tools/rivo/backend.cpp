#include "backend.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/errors.hpp"
#include "common/process.hpp"
#include "docker_images.hpp"
#include "exec_route.hpp"

namespace rivo {
namespace {

// Does `arg` look like a file the tool was meant to read?
bool looks_like_path(const std::string& arg) {
  if (arg.empty() || arg[0] == '-' || arg.find_first_of(" \t\n*?$`;|&<>") != std::string::npos) return false;
  if (arg.find('/') != std::string::npos) return true;
  size_t dot = arg.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= arg.size()) return false;
  char c = arg[dot + 1];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');  // a file extension, not "0.5"
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

int run_exec(const ExecRequest& req) {
  if (req.argv.empty()) throw Failure("exec needs an executable", kExitUsage);
  switch (req.backend) {
    case Backend::Local: return run_local(req);
    case Backend::Docker: return run_docker(req);
    case Backend::Apptainer: return run_apptainer(req);
  }
  return run_local(req);
}

void add_exec_depth(EnvOverrides& env) {
  int depth = 0;
  if (auto d = env_value("RIVO_EXEC_DEPTH")) depth = std::atoi(d->c_str());
  env.emplace_back("RIVO_EXEC_DEPTH", std::to_string(depth + 1));
}

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

void require_engine(const std::string& engine, Backend backend) {
  if (!find_program(engine))
    throw Failure(engine + ": No such file or directory (needed by the " + backend_name(backend) + " backend)", 127);
}

void say_image(const ExecRequest& req) {
  if (env_value("RIVO_VERBOSE").value_or("") != "")
    write_stderr("rivo: running " + req.argv[0] + " in image " + req.image + "\n");
}

}  // namespace rivo
