#include "rivo/core/command.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>

#include "common/capture.hpp"
#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/process.hpp"
#include "rivo/core/errors.hpp"
#include "rivo/core/reap.hpp"
#include "rivo/core/resources.hpp"
#include "rivo/core/staging.hpp"
#include "common/text.hpp"

namespace tavro::rivo {
namespace {

std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ' ';
    out += args[i];
  }
  return out;
}

std::string number_text(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", s);
  return buf;
}

// A project folder made for one command: removed when the command ends,
// then unlocked.
struct TempProject {
  std::string path;
  fs::Fd lock;
  ~TempProject() {
    if (!path.empty()) fs::remove_tree_ignore_errors(path);
  }
};

}  // namespace

ProjectFolder project_folder(const std::string& volume, const std::string& temp_dir) {
  if (!volume.empty()) {
    std::string home = fs::join(volume, ".rivo_home");
    fs::make_dirs(home);
    return {fs::absolute(home), false, fs::Fd()};
  }
  // Made by name: nobody else may be able to swap it afterwards.
  require_safe_temp_dir(temp_dir);
  LockedFolder made = make_temp_project(temp_dir);
  return {fs::absolute(made.path), true, std::move(made.lock)};
}

bool pulls_images(const std::vector<std::string>& args) {
  return !args.empty() && (args[0] == "add" || args[0] == "sync");
}

double default_timeout(const std::vector<std::string>& args) { return pulls_images(args) ? 1800 : 3600; }

bool has_env(const Env& env, const std::string& key) {
  for (const auto& kv : env)
    if (kv.first == key) return true;
  return false;
}

void set_env(Env& env, const std::string& key, const std::string& value) {
  for (auto& kv : env)
    if (kv.first == key) {
      kv.second = value;
      return;
    }
  env.emplace_back(key, value);
}

Env env_settings(bool has_registry, const std::string& registry, const std::string& volume) {
  Env out;
  if (!has_registry) out.emplace_back("RIVO_REGISTRY", registry);
  if (!volume.empty()) {
    // Joined as written, without normalising: "/vol/" gives "/vol//.apptainer_cache".
    std::string cache = volume + "/.apptainer_cache";
    fs::make_dirs(cache);
    out.emplace_back("APPTAINER_CACHEDIR", cache);
    out.emplace_back("SINGULARITY_CACHEDIR", cache);
  }
  out.emplace_back("APPTAINER_NO_USERNS", "1");
  out.emplace_back("APPTAINER_ROOTLESS", "1");
  return out;
}

std::string timeout_text(const std::vector<std::string>& args, const std::string& limit) {
  const char* what = pulls_images(args)                 ? "image pull may have stalled"
                     : !args.empty() && args[0] == "exec" ? "the tool did not finish within the time limit"
                                                         : "rivo did not finish within the time limit";
  return "rivo " + joined(args) + " timed out after " + limit + "s \u2014 " + what;
}

std::string failure_text(const std::vector<std::string>& args, int status, const std::string& out,
                         const std::string& err) {
  return "rivo " + joined(args) + " failed (exit " + std::to_string(status) + "):\nSTDOUT: " + out +
         "\nSTDERR: " + err;
}

std::string bounded_for_error(const std::string& out) {
  return out.size() <= 2 * kCaptureBound ? out : capture::bounded_view(out, kCaptureBound);
}

CommandOutput run_rivo(Executor& executor, RivoCommand& cmd, Log& log) {
  TempProject temp;
  if (!cmd.cwd) {
    ProjectFolder home = project_folder(cmd.volume, cmd.temp_dir);
    if (home.temporary) {
      temp.path = home.path;
      temp.lock = std::move(home.lock);
    }
    cmd.cwd = home.path;
  }
  log.debug("run cwd=%s cmd=%s", *cmd.cwd, cmd.args);
  for (const auto& [k, v] : env_settings(has_env(cmd.env, "RIVO_REGISTRY"), cmd.registry, cmd.volume))
    set_env(cmd.env, k, v);
  if (!cmd.limit_given) {
    cmd.timeout = default_timeout(cmd.args);
    cmd.timeout_text = number_text(*cmd.timeout);
  }

  ExecRequest req;
  req.argv.reserve(cmd.args.size() + 1);
  req.argv.push_back(cmd.program);
  req.argv.insert(req.argv.end(), cmd.args.begin(), cmd.args.end());
  req.cwd = cmd.cwd;
  req.cwd_fd = cmd.cwd_fd;
  req.env = cmd.env;
  req.timeout = cmd.timeout;
  req.input = cmd.input;
  req.stdin_fd = cmd.stdin_fd;
  req.stdout_fd = cmd.stdout_fd;
  req.should_abort = cmd.should_abort;
  ExecResult r;
  try {
    r = executor.run(req);
  } catch (const proc::TimedOut&) {
    throw CommandFailed(timeout_text(cmd.args, cmd.timeout_text));
  }
  auto text = [&cmd](const std::string& raw) { return cmd.as_text ? cmd.as_text(raw) : universal_newlines(raw); };
  if (!r.err.empty()) {
    const std::string err = text(r.err);
    if (!err.empty()) log.warning("stderr: %s", std::string(py_rstrip(err)));
  }
  if (r.status != 0) {
    const std::string err = text(r.err);
    std::string message =
        failure_text(cmd.args, r.status, text(cmd.stdout_fd >= 0 ? r.out : bounded_for_error(r.out)), err);
    // One more line when the tool was killed for memory, as rivo (its
    // container's state) or the engine (a job's state) reports it.
    const std::string note = failure_note(err, r.note);
    if (!note.empty()) message += "\n" + note;
    throw CommandFailed(message);
  }
  return {r.status, std::move(r.out), std::move(r.err), r.out_bytes};
}

}  // namespace tavro::rivo
