#include "rivo/core/executor.hpp"

#include <csignal>

#include "common/errors.hpp"
#include "common/process.hpp"

namespace tavro::rivo {

ExecResult LocalExecutor::run(const ExecRequest& request) {
  proc::SpawnOptions o;
  o.argv = request.argv;
  o.parent_death_signal = SIGTERM;  // rivo ends its tool when the host dies
  o.cwd = request.cwd;
  o.cwd_fd = request.cwd_fd;
  if (request.env) o.env = proc::env_block(*request.env);
  o.timeout = request.timeout;
  o.input = request.input;
  o.stdin_fd = request.stdin_fd;
  o.stdout_fd = request.stdout_fd;
  o.capture_bound = kCaptureBound;
  o.should_abort = request.should_abort;
  proc::Result r = proc::run(o);
  return {r.returncode, std::move(r.out), std::move(r.err), r.out_bytes, {}};
}

}  // namespace tavro::rivo
