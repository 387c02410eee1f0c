// The `rivo` command as RIVO._run starts it, for its Python face and for a
// tool run alike: the working folder, the settings added to the child's
// environment, the time limit, the log lines and the RuntimeError texts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/fd.hpp"
#include "rivo/core/executor.hpp"
#include "rivo/core/log.hpp"

namespace tavro::rivo {

using Env = std::vector<std::pair<std::string, std::string>>;

struct RivoCommand {
  std::string program = "rivo";    // the program started (see rivo_program)
  std::vector<std::string> args;   // after the program name
  std::optional<std::string> cwd;  // nullopt: the project folder (see run_rivo)
  int cwd_fd = -1;                 // the folder cwd names, open: entered by descriptor
  Env env;                         // the child's whole environment; the settings are added to it
  std::string registry;            // RIVO_REGISTRY when the environment has none
  std::string volume;              // PIPELINE_VOLUME_PATH of this process
  std::string temp_dir;            // where a temporary project folder goes
  // The caller's limit (nullopt: none at all) and its text as Python's
  // str() writes it; without one, 1800 s for add and sync, 3600 s else.
  bool limit_given = false;
  std::optional<double> timeout;
  std::string timeout_text;
  std::optional<std::string> input;
  int stdin_fd = -1;
  int stdout_fd = -1;              // a file as the command's standard output (see ExecRequest)
  std::function<bool()> should_abort;
  // The text that log lines and error messages quote for captured bytes;
  // unset: UTF-8 as text mode reads it (universal newlines).
  std::function<std::string(const std::string&)> as_text;
};

struct CommandOutput {
  int status = 0;
  std::string out;  // the bytes as the executor kept them
  std::string err;
  std::uint64_t out_bytes = 0;
};

// The rivo project a command works in: <volume>/.rivo_home (made when
// missing), or without a volume a fresh temporary folder "rivo_*" in
// temp_dir, which its owner removes when done.
struct ProjectFolder {
  std::string path;  // absolute
  bool temporary = false;
  fs::Fd lock;       // temporary: held while the folder is in use (see reap.hpp)
};
ProjectFolder project_folder(const std::string& volume, const std::string& temp_dir);

// True for the commands that pull images (add, sync): they get the shorter
// default limit, and a time-out blames the pull.
bool pulls_images(const std::vector<std::string>& args);

// 1800 or 3600 seconds.
double default_timeout(const std::vector<std::string>& args);

// What _run sets in a child's environment, over what is there: the registry
// (only when `has_registry` is false), the Apptainer cache on the volume
// (the folder is made here) and Apptainer's user-namespace settings.
Env env_settings(bool has_registry, const std::string& registry, const std::string& volume);

// Sets `key` to `value` in `env`, in its place or at the end.
void set_env(Env& env, const std::string& key, const std::string& value);
bool has_env(const Env& env, const std::string& key);

// The RuntimeError texts: "rivo <args> timed out after <limit>s — <what
// ran too long>" (for add and sync: "image pull may have stalled") and
// "rivo <args> failed (exit N):\nSTDOUT: <out>\nSTDERR: <err>".
std::string timeout_text(const std::vector<std::string>& args, const std::string& limit);
std::string failure_text(const std::vector<std::string>& args, int status, const std::string& out,
                         const std::string& err);

// Standard output as an error message quotes it: whole up to 128 KiB, else
// its first and last 64 KiB.
std::string bounded_for_error(const std::string& out);

// Runs `rivo <args>` through the executor the way RIVO._run does: in
// cmd.cwd, else in <volume>/.rivo_home, else in a fresh temporary "rivo_*"
// folder removed afterwards; with the settings added to cmd.env (which the
// caller sees filled in); logging "run cwd=%s cmd=%s" (debug) and a
// non-empty standard error (warning). A time-out or a non-zero exit throws
// CommandFailed; a command that cannot be started throws what the executor
// threw.
CommandOutput run_rivo(Executor& executor, RivoCommand& cmd, Log& log);

}  // namespace tavro::rivo
