// RIVO.run: running the tool (with one recovery attempt) and harvesting its
// outputs into the node's output folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/publish.hpp"
#include "rivo/run_plan.hpp"
#include "rivo/slurm_glue.hpp"

namespace tavro::rivo {
namespace {

using namespace detail;
using py::INFO;
using Attempt = std::function<nb::object(nb::handle args)>;

bool stale_absolute(nb::handle clean) {
  for (nb::handle a : clean)
    if (py::truthy(a.attr("startswith")("/")) && !py::truthy(a.attr("startswith")("/workspace")))
      return true;
  return false;
}

// The first `rivo exec` failed with `first`: retry once with relocated paths
// or, for a tool without a template, with LLM-written arguments.
nb::object recover(RunCall& call, nb::python_error& first, const Attempt& attempt) {
  nb::object e = nb::borrow(first.value());
  nb::str err_text = nb::str(e);
  bool has_abs_miss = py::contains(err_text, "No such file or directory") && stale_absolute(call.clean);
  Handling handling(e);
  if (has_abs_miss) {
    nb::object fixed = call.self.attr("_fix_stale_abs_paths")(call.clean, call.manifest, call.env);
    if (fixed.is_none() || !fixed.not_equal(call.clean)) throw first;
    py::log(kModule, INFO, "Retrying with relocated paths: %s", fixed);
    try {
      return attempt(fixed);
    } catch (nb::python_error& second) {
      if (!second.matches(PyExc_RuntimeError)) throw;
      nb::object s = nb::borrow(second.value());
      reraise_suppressing(e, s);
    }
  }
  if (py::truthy(call.template_)) throw first;
  py::log(kModule, INFO, "Positional fallback failed for %s \u2014 asking LLM for correct args",
          call.tool_name);
  nb::object inferred = call.self.attr("_infer_args")(call.tool_name, call.manifest, call.staged);
  if (inferred.equal(call.clean)) throw first;
  py::log(kModule, INFO, "Retrying rivo exec %s %s (LLM-inferred)", call.entrypoint, inferred);
  return attempt(inferred);
}

nb::object run_with(RunCall& call, const Attempt& attempt) {
  try {
    return attempt(call.clean);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    return recover(call, e, attempt);
  }
}

}  // namespace

Executed execute_with_recovery(RunCall& call, const RunPlan& plan) {
  Executed run;
  if (runs_on_slurm(call.self)) {
    // One job per attempt; the job step writes standard output to the file
    // beside the sandbox itself.
    core::Resources res = job_resources(call.self, call.tool_name, call.resources);
    const std::string name = core::final_component(plan.sandbox);
    SlurmRun last;
    run.proc = run_with(call, [&](nb::handle args) {
      last = run_on_slurm(call.self, exec_args(call.entrypoint, args), call.sandbox_str, call.env,
                          plan.stdout_file, name, res);
      return last.proc;
    });
    run.streamed = true;
    run.out_bytes = last.out_bytes;
    struct stat st;
    if (::stat(plan.stdout_file.c_str(), &st) == 0)
      run.own_file = std::make_pair(static_cast<unsigned long long>(st.st_dev),
                                    static_cast<unsigned long long>(st.st_ino));
    return run;
  }
  // A declared time is the run's time limit instead of the default hour.
  nb::object timeout;
  if (call.resources && call.resources->time_seconds)
    timeout = nb::int_(static_cast<long long>(call.resources->time_seconds));
  if (!runs_own_run(call.self)) {
    // A replaced _run returns text; it is written out as before.
    run.proc = run_with(call, [&](nb::handle args) {
      nb::kwargs kw;
      kw["cwd"] = call.sandbox_str;
      kw["env"] = call.env;
      if (timeout.is_valid()) kw["timeout"] = timeout;
      return call.self.attr("_run")(exec_args(call.entrypoint, args), **kw);
    });
    return run;
  }
  // Standard output goes from the pipe to a file beside the sandbox, in
  // chunks: memory stays flat whatever the tool writes.
  fs::Fd fd(::open(plan.stdout_file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd) py::raise_os_error(errno, plan.stdout_file);
  StdoutStream stream{fd.get(), 0};
  run.proc = run_with(call, [&](nb::handle args) {
    // Each attempt starts the file afresh.
    if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) < 0)
      py::raise_os_error(errno, plan.stdout_file);
    try {
      return run_streamed(call.self, exec_args(call.entrypoint, args), call.sandbox_str, call.env, stream,
                          timeout);
    } catch (const OsError& e) {
      if (e.syscall() == "write" && e.path().empty()) py::raise_os_error(e.err(), plan.stdout_file);
      throw;
    }
  });
  run.streamed = true;
  run.out_bytes = stream.bytes;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0)
    run.own_file = std::make_pair(static_cast<unsigned long long>(st.st_dev),
                                  static_cast<unsigned long long>(st.st_ino));
  return run;
}

}  // namespace tavro::rivo
