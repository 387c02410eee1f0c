// The docker backend: `docker run` of the tool's image with the working
// directory mounted at /workspace, the tool's CPUs and memory as container
// limits, and a container rivo knows by name so it can stop and remove it
// itself (ending the client does not end the container).
#include <unistd.h>

#include "backend.hpp"
#include "common/random.hpp"
#include "docker_images.hpp"
#include "project_lock.hpp"

namespace rivo {
namespace {

// A container name of this rivo process, unique on the machine.
std::string container_name() { return "rivo-" + std::to_string(::getpid()) + "-" + tavro::random_hex(6); }

// Stops and removes the container (docker kill, then docker rm -f), quietly
// and within a few seconds; errors are ignored (it may be gone).
void stop_container(const std::string& name) {
  // Our caller may kill us a few seconds after its SIGTERM: keep each step short.
  for (std::vector<std::string> args : {std::vector<std::string>{"kill", name}, {"rm", "-f", name}}) {
    try {
      docker_quiet(args, 1.5);
    } catch (const std::exception&) {
      // already gone, or the daemon is slow: the next step (or --rm) still applies
    }
  }
}

void remove_container(const std::string& name) {
  try {
    docker_quiet({"rm", "-f", name}, 15);
  } catch (const std::exception&) {
    // the daemon did not answer: nothing more rivo can do
  }
}

// Whether the kernel killed the container at its memory limit: only the
// container's state tells that apart from any other SIGKILL (exit 137).
bool killed_for_memory(const std::string& name) {
  try {
    auto r = docker_quiet({"inspect", "-f", "{{.State.OOMKilled}}", name}, 15);
    return r.returncode == 0 && trim(r.out) == "true";
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int run_docker(const ExecRequest& req) {
  if (req.image.empty()) throw Failure("no container image to run " + req.argv[0] + " in");
  const Resources& res = req.resources;
  // --init: a tool's shell as PID 1 would ignore SIGTERM. The name lets
  // rivo stop the container itself.
  const std::string container = container_name();
  // With a memory limit the container must outlast its tool until rivo has
  // asked whether the kernel killed it for memory (--rm would remove it
  // first): then rivo removes it on every path, its watchdog when rivo dies.
  const bool keep = !res.memory.empty();

  ToolRun run;
  run.argv = {"docker", "run"};
  if (!keep) run.argv.push_back("--rm");
  for (const char* a : {"-i", "--init", "--name"}) run.argv.push_back(a);
  run.argv.push_back(container);
  run.argv.push_back("-v");
  run.argv.push_back(req.workdir.string() + ":/workspace");
  run.argv.push_back("-w");
  run.argv.push_back("/workspace");
  if (::getuid() != 0) {
    // Files the tool writes into the mounted directory stay the caller's.
    run.argv.push_back("--user");
    run.argv.push_back(std::to_string(::getuid()) + ":" + std::to_string(::getgid()));
    run.argv.push_back("-e");
    run.argv.push_back("HOME=/tmp");
  }
  if (req.gpu) {
    run.argv.push_back("--gpus");
    run.argv.push_back("all");
  }
  if (res.cpus) {
    bool clamped = false;
    run.argv.push_back("--cpus");
    run.argv.push_back(container_cpus(*res.cpus, clamped));
    if (clamped)
      debug("the tool asks for " + number_text(*res.cpus) + " CPUs; this machine has " + run.argv.back() +
            ", so the container gets them all");
  }
  if (keep) {
    // No swap beyond the limit: memory = memory-swap.
    for (const char* flag : {"--memory", "--memory-swap"}) {
      run.argv.push_back(flag);
      run.argv.push_back(std::to_string(res.memory_bytes));
    }
  }
  run.argv.push_back("--entrypoint=");
  run.argv.push_back(req.image);
  run.argv.insert(run.argv.end(), req.argv.begin(), req.argv.end());
  require_engine("docker", req.backend);
  add_exec_depth(run.env);
  say_image(req);

  bool stopped = false;
  run.on_signal = [&](int) {
    if (stopped) return;
    stopped = true;
    stop_container(container);
  };
  run.if_orphaned = {"docker", "rm", "-f", container};

  int rc = 0;
  try {
    rc = run_tool(run);
  } catch (...) {
    if (keep) remove_container(container);
    throw;
  }
  if (received_signal()) {
    if (keep && !stopped) remove_container(container);
    return -received_signal();
  }
  const bool oom = keep && rc != 0 && killed_for_memory(container);
  if (keep) remove_container(container);
  if (oom) {
    write_stderr("rivo: out of memory: the tool was killed at its memory limit of " + res.memory + "\n");
    return 137;
  }
  if (rc == 127)
    write_stderr("rivo: " + req.argv[0] + ": No such file or directory (not found in image " + req.image + ")\n");
  if (rc != 0) note_missing_paths(req.argv, req.workdir, false);
  return rc;
}

}  // namespace rivo
