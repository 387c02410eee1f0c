#include "runner.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rivo {
namespace {

volatile sig_atomic_t g_child_pid = 0;

void forward_signal(int sig) {
  if (g_child_pid > 0) ::kill(static_cast<pid_t>(g_child_pid), sig);
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

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool is_shell(const std::string& exe) {
  static const char* shells[] = {"sh", "bash", "dash", "zsh", "ksh", "ash"};
  std::string base = base_name(exe);
  for (const char* s : shells)
    if (base == s) return true;
  return false;
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

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
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

std::optional<std::string> find_on_path(const std::string& name, const std::string& path_value) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return name;
    return std::nullopt;
  }
  size_t start = 0;
  while (start <= path_value.size()) {
    size_t colon = path_value.find(':', start);
    if (colon == std::string::npos) colon = path_value.size();
    // An empty PATH entry means the current directory.
    std::string candidate = colon > start ? path_value.substr(start, colon - start) + "/" + name : "./" + name;
    struct stat st{};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = colon + 1;
  }
  return std::nullopt;
}

int spawn_wait(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (argv.empty()) throw Failure("nothing to run", kExitUsage);
  std::vector<char*> args = c_argv(argv);
  pid_t parent = ::getpid();
  ::fflush(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) throw Failure("cannot start " + argv[0] + ": " + errno_text(errno));
  if (pid == 0) {
    // The tool must not outlive rivo when the caller kills rivo at a time limit.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
    if (options.timeout > 0) ::setpgid(0, 0);  // a time-out ends the child's whole group
    if (options.quiet) {
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO) ::close(null_fd);
      }
    }
    for (const auto& [key, value] : options.env) ::setenv(key.c_str(), value.c_str(), 1);
    ::execvp(args[0], args.data());
    int err = errno;
    write_stderr("rivo: " + argv[0] + ": " + errno_text(err) + "\n");
    ::_exit(err == ENOENT || err == ENOTDIR ? 127 : 126);
  }

  if (options.timeout > 0) ::setpgid(pid, pid);  // both sides set it, whichever runs first

  // Like system(): the terminal's interrupts go to the child; termination
  // requests sent to rivo are handed on to it.
  struct sigaction ignore{}, forward{}, old_int{}, old_quit{}, old_term{}, old_hup{};
  ignore.sa_handler = SIG_IGN;
  forward.sa_handler = forward_signal;
  g_child_pid = pid;
  ::sigaction(SIGINT, &ignore, &old_int);
  ::sigaction(SIGQUIT, &ignore, &old_quit);
  ::sigaction(SIGTERM, &forward, &old_term);
  ::sigaction(SIGHUP, &forward, &old_hup);

  int status = 0;
  bool timed_out = false;
  if (options.timeout > 0) {
    long waited = 0;
    long limit = static_cast<long>(options.timeout * 1000);
    while (true) {
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) break;
      if (r < 0 && errno != EINTR) break;
      if (waited >= limit) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        timed_out = true;
        break;
      }
      sleep_ms(25);
      waited += 25;
    }
  } else {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  g_child_pid = 0;
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGQUIT, &old_quit, nullptr);
  ::sigaction(SIGTERM, &old_term, nullptr);
  ::sigaction(SIGHUP, &old_hup, nullptr);

  if (timed_out) return -SIGKILL;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return 1;
}

Backend detect_backend() {
  std::string path = env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  if (!find_on_path("docker", path)) return Backend::Local;
  double limit = 5.0;
  if (auto v = env_value("RIVO_DOCKER_PROBE_TIMEOUT")) {
    char* end = nullptr;
    double d = std::strtod(v->c_str(), &end);
    if (end != v->c_str() && d > 0) limit = d;
  }
  SpawnOptions probe;
  probe.quiet = true;
  probe.timeout = limit;
  return spawn_wait({"docker", "info"}, probe) == 0 ? Backend::Docker : Backend::Local;
}

void pull_image(Backend backend, const std::string& image) {
  if (backend != Backend::Docker || image.empty()) return;
  int rc = spawn_wait({"docker", "pull", image});
  if (rc != 0) throw Failure("docker pull " + image + " failed (exit " + std::to_string(rc) + ")");
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
  SpawnOptions options;
  std::vector<std::string> argv;

  switch (req.backend) {
    case Backend::Local: {
      argv = map_workspace(req.argv, workdir);
      std::string path = path_without_shims(env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
      options.env.emplace_back("PATH", path);
      break;
    }
    case Backend::Docker: {
      if (req.image.empty()) throw Failure("no container image to run " + req.argv[0] + " in");
      argv = {"docker", "run", "--rm", "-i", "-v", workdir + ":/workspace", "-w", "/workspace"};
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
      std::string path = env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
      std::string engine = find_on_path("apptainer", path) ? "apptainer" : "singularity";
      argv = {engine, "exec", "--bind", workdir + ":/workspace", "--pwd", "/workspace"};
      if (req.gpu) argv.push_back("--nv");
      std::string ref = req.image.find("://") == std::string::npos ? "docker://" + req.image : req.image;
      argv.push_back(ref);
      argv.insert(argv.end(), req.argv.begin(), req.argv.end());
      break;
    }
  }

  if (req.backend != Backend::Local &&
      !find_on_path(argv[0], env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin")))
    throw Failure(argv[0] + ": No such file or directory (needed by the " + backend_name(req.backend) + " backend)", 127);

  int depth = 0;
  if (auto d = env_value("RIVO_EXEC_DEPTH")) depth = std::atoi(d->c_str());
  options.env.emplace_back("RIVO_EXEC_DEPTH", std::to_string(depth + 1));

  int rc = spawn_wait(argv, options);
  if (rc != 0) {
    if (req.backend != Backend::Local && rc == 127)
      write_stderr("rivo: " + req.argv[0] + ": No such file or directory (not found in image " + req.image + ")\n");
    if (!(req.backend == Backend::Local && rc == 127)) note_missing_paths(req.argv, req.workdir, req.backend == Backend::Local);
  }
  return rc;
}

}  // namespace rivo
