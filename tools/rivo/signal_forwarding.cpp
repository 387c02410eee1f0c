#include "signal_forwarding.hpp"

#include <algorithm>
#include <csignal>
#include <iostream>

#include "common/errors.hpp"
#include "run_guard.hpp"

extern char** environ;

namespace rivo {
namespace {

const std::vector<int> kForwarded = {SIGTERM, SIGINT, SIGHUP};

// A child outliving rivo would run on unseen: it gets SIGTERM when rivo
// dies (git cleans its lock files on it; a docker client passes it to its
// container; the watchdog follows with SIGKILL).
constexpr int kParentDeathSignal = SIGTERM;

int g_received = 0;
bool g_forwarding = false;  // a child run is forwarding our signals now

struct Forwarding {
  Forwarding() { g_forwarding = true; }
  ~Forwarding() { g_forwarding = false; }
};

}  // namespace

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

int received_signal() { return g_received; }

tavro::proc::Result run_helper(tavro::proc::SpawnOptions o) {
  o.parent_death_signal = kParentDeathSignal;
  // A clean-up hook of a forwarding run (docker kill, docker rm) runs plainly:
  // one forwarding run at a time per process.
  if (g_forwarding) return tavro::proc::run(o);
  int got = 0;
  o.forward_signals = kForwarded;
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

int run_tool(const ToolRun& run) {
  if (run.argv.empty()) throw Failure("nothing to run", kExitUsage);
  tavro::proc::SpawnOptions o;
  o.argv = run.argv;
  if (!run.env.empty()) o.env = child_env(run.env);
  o.passthrough = true;
  o.parent_death_signal = kParentDeathSignal;
  o.forward_signals = kForwarded;
  g_received = 0;
  o.on_signal = [&run](int sig) {
    if (!g_received) g_received = sig;
    if (run.on_signal) run.on_signal(sig);
  };
  RunGuard guard(run.if_orphaned);
  o.on_start = [&guard](int pid) { guard.watch(pid); };
  std::cout.flush();
  Forwarding forwarding;
  try {
    return tavro::proc::run(o).returncode;
  } catch (const tavro::OsError& e) {
    // The child reports exec's own errno: the tool never ran.
    const std::string& what = e.path().empty() ? run.argv[0] : e.path();
    throw Failure(what + ": " + errno_text(e.err()), e.err() == ENOENT || e.err() == ENOTDIR ? 127 : 126);
  }
}

}  // namespace rivo
