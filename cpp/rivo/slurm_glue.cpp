// Resources and the SLURM executor, Python side (see slurm_glue.hpp).
#include "rivo/slurm_glue.hpp"

#include <unistd.h>

#include <cmath>

#include "common/errors.hpp"
#include "common/text.hpp"
#include "rivo/bundled.hpp"
#include "rivo/slurm_core.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::WARNING;

constexpr const char* kMemoryForm =
    "a text such as \"4 GiB\": an integer or decimal with a unit B, KiB, MiB, GiB or TiB";
constexpr const char* kTimeForm = "a text such as \"90s\", \"30m\", \"2h\", \"1d\", \"1h30m\" or \"HH:MM:SS\"";

// The limit of a `rivo exec` that declares no time, as for a local run.
constexpr double kExecLimit = 3600;

[[noreturn]] void bad_resource(const char* key, const char* form, nb::handle value) {
  py::raise(PyExc_ValueError,
            nb::str("Invalid \"{}\" in the manifest's resources: expected {}, got {!r}").format(key, form, value));
}

std::string text_of(nb::handle s) { return py::text_bytes(s); }

}  // namespace

std::optional<core::Resources> manifest_resources(nb::handle manifest) {
  nb::object entry = manifest.attr("get")("resources");
  if (entry.is_none()) return std::nullopt;
  if (!PyDict_Check(entry.ptr()))
    py::raise(PyExc_ValueError,
              nb::str("The manifest's \"resources\" must be a dict with any of \"cpus\", \"memory\", \"time\", "
                      "got {!r}").format(entry));
  core::Resources r;
  for (auto [key, value] : nb::borrow<nb::dict>(entry)) {
    nb::str k = nb::str(key);
    if (k.equal(nb::str("cpus"))) {
      const bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
      double v = number ? py::as_double(value) : 0;
      if (!number || !std::isfinite(v) || v <= 0) bad_resource("cpus", "a number above 0", value);
      r.cpus = v;
      r.cpus_text = text_of(nb::str(value));
    } else if (k.equal(nb::str("memory"))) {
      std::optional<std::uint64_t> bytes;
      if (PyUnicode_Check(value.ptr())) bytes = core::parse_memory(text_of(value));
      if (!bytes) bad_resource("memory", kMemoryForm, value);
      r.memory = text_of(value);
      r.memory_bytes = *bytes;
    } else if (k.equal(nb::str("time"))) {
      std::optional<std::uint64_t> seconds;
      if (PyUnicode_Check(value.ptr())) seconds = core::parse_time(text_of(value));
      if (!seconds) bad_resource("time", kTimeForm, value);
      r.time = text_of(value);
      r.time_seconds = *seconds;
    } else {
      py::log(kModule, WARNING, "ignoring unknown resource %r in the manifest (known: cpus, memory, time)", key);
    }
  }
  if (r.empty()) return std::nullopt;
  return r;
}

void put_resource_env(nb::handle env, const core::Resources& res) {
  if (res.cpus) env["RIVO_CPUS"] = py::bytes_text(res.cpus_text);
  if (!res.memory.empty()) env["RIVO_MEMORY"] = py::bytes_text(res.memory);
  if (!res.time.empty()) env["RIVO_TIME"] = py::bytes_text(res.time);
}

core::Resources job_resources(nb::handle self, nb::handle tool_name, const std::optional<core::Resources>& given) {
  core::Resources r = given ? *given : core::Resources{};
  if (r.cpus && !r.memory.empty() && !r.time.empty()) return r;
  core::Resources def;
  try {
    nb::object proc = self.attr("show")(tool_name, "json");
    nb::object doc = py::module_attr("json", "loads")(proc.attr("stdout"));
    if (!PyDict_Check(doc.ptr())) return r;
    nb::object res = doc.attr("get")("resources");
    if (!PyDict_Check(res.ptr())) return r;
    nb::dict manifest;
    nb::dict declared;
    for (const char* key : {"cpus", "memory", "time"})
      if (py::contains(res, key)) declared[key] = res[key];
    manifest["resources"] = declared;
    if (auto parsed = manifest_resources(manifest)) def = *parsed;
  } catch (nb::python_error& e) {
    py::log(kModule, DEBUG, "no resources from the definition of %s: %s", tool_name, nb::str(e.value()));
  }
  if (!r.cpus) {
    r.cpus = def.cpus;
    r.cpus_text = def.cpus_text;
  }
  if (r.memory.empty()) {
    r.memory = def.memory;
    r.memory_bytes = def.memory_bytes;
  }
  if (r.time.empty()) {
    r.time = def.time;
    r.time_seconds = def.time_seconds;
  }
  return r;
}

bool runs_on_slurm(nb::handle self) {
  nb::object executor = nb::getattr(self, "executor", nb::none());
  return PyUnicode_Check(executor.ptr()) && executor.equal(nb::str("slurm"));
}

void init_executor(nb::handle self, nb::handle executor, nb::handle partition, nb::handle account,
                   nb::handle srun_args) {
  py::require_str(executor, "executor", true);
  py::require_str(partition, "slurm_partition", true);
  py::require_str(account, "slurm_account", true);
  py::require_list(srun_args, "slurm_args", true);
  nb::object chosen = nb::borrow(executor);
  const char* source = "executor";
  if (chosen.is_none()) {
    nb::str env = environ_get("RIVO_EXECUTOR");
    chosen = nb::len(env) ? nb::object(env) : nb::object(nb::str("local"));
    source = "RIVO_EXECUTOR";
  }
  if (!chosen.equal(nb::str("local")) && !chosen.equal(nb::str("slurm")))
    py::raise(PyExc_ValueError,
              nb::str("{} must be \"local\" or \"slurm\", got {!r}").format(source, chosen));
  nb::list args;
  if (!srun_args.is_none())
    for (nb::handle a : srun_args) {
      if (!PyUnicode_Check(a.ptr()))
        py::raise(PyExc_TypeError,
                  nb::str("slurm_args must hold str, got {}").format(nb::type_name(a.type())));
      args.append(a);
    }
  self.attr("executor") = chosen;
  self.attr("slurm_partition") = partition;
  self.attr("slurm_account") = account;
  self.attr("slurm_args") = args;
}

namespace {

slurm::Options slurm_options(nb::handle self) {
  slurm::Options o;
  nb::object partition = nb::getattr(self, "slurm_partition", nb::none());
  nb::object account = nb::getattr(self, "slurm_account", nb::none());
  nb::object args = nb::getattr(self, "slurm_args", nb::none());
  if (py::truthy(partition)) o.partition = py::fs_encode(partition);
  if (py::truthy(account)) o.account = py::fs_encode(account);
  if (!args.is_none()) o.extra_args = py::to_argv(args);
  return o;
}

nb::str cmd_text(nb::handle cmd) { return nb::borrow<nb::str>(nb::str(" ").attr("join")(cmd)); }

}  // namespace

SlurmRun run_on_slurm(nb::handle self, nb::handle cmd, nb::handle cwd, nb::handle env,
                      const std::string& stdout_file, const std::string& job_name,
                      const core::Resources& res) {
  nb::list args;
  args.append("rivo");
  for (nb::handle c : cmd) args.append(c);

  slurm::Job job;
  job.name = slurm::job_name(job_name);
  job.workdir = py::fs_encode(cwd);
  job.stdout_path = stdout_file;
  job.stderr_path = job.workdir + ".stderr";
  job.command = py::to_argv(args);
  // The rivo a local run would start; the bundled one is found on a node
  // only when the installation is on the shared file system too.
  job.command[0] = rivo_program(env);
  job.resources = res;
  slurm::Options opts = slurm_options(self);
  std::vector<std::string> envp = py::to_envp(env);
  // A declared time is the run's limit; SLURM is told too (it rounds up to
  // whole minutes, so ours normally ends the job first).
  const double limit = res.time_seconds ? static_cast<double>(res.time_seconds) : kExecLimit;

  if (py::log_enabled(kModule, DEBUG)) {
    nb::list argv;
    for (const auto& a : slurm::srun_argv(job, opts)) argv.append(py::fs_decode(a));
    py::log(kModule, DEBUG, "srun cwd=%s cmd=%s", cwd, argv);
  }
  slurm::Outcome out = py::without_gil([&](const std::function<bool()>& abort) {
    return slurm::run_job(job, envp, limit, abort, kCaptureBound, opts);
  });
  nb::str srun_err = py::decode_lossless(out.srun_err);
  if (py::truthy(srun_err)) py::log(kModule, DEBUG, "srun: %s", srun_err.attr("rstrip")());

  nb::object timeout_text = nb::int_(static_cast<long long>(limit));
  if (out.timed_out)
    py::raise(PyExc_RuntimeError, nb::str("rivo {} timed out after {}s \u2014 image pull may have stalled")
                                      .format(cmd_text(cmd), timeout_text));
  if (!out.started) {
    // A job that got to a node but whose step never opened its files (srun
    // may even say 0): the node cannot see the sandbox. A job cancelled in
    // the queue never started at all.
    if (out.job && out.job->started && out.job->state != "CANCELLED") {
      nb::str sandbox = nb::borrow<nb::str>(nb::str(cwd));
      py::raise(PyExc_FileNotFoundError,
                nb::str("The sandbox {} is not visible to SLURM jobs: job {} could not open its output "
                        "files there, in a folder this machine had just made. Point TMPDIR (where sandboxes "
                        "are made) at a file system that every node mounts.\n{}")
                    .format(sandbox, py::fs_decode(out.job->id), srun_err.attr("rstrip")()));
    }
    // srun itself failed (no allocation, a bad option): its words are the error.
    py::raise(PyExc_RuntimeError, nb::str("rivo {} failed (exit {}):\nSTDOUT: \nSTDERR: {}")
                                      .format(cmd_text(cmd), out.returncode, srun_err));
  }
  nb::object stdout_text = py::decode_lossless(universal_newlines(std::move(out.out_view)));
  nb::object stderr_text = py::decode_lossless(universal_newlines(std::move(out.err)));
  if (py::truthy(stderr_text)) py::log(kModule, WARNING, "stderr: %s", stderr_text.attr("rstrip")());
  if (out.returncode != 0) {
    std::string note;
    const std::string state = out.job ? out.job->state : "";
    if (auto limit_text = core::oom_limit(py::text_bytes(stderr_text), res.memory)) {
      note = core::oom_note(*limit_text);
    } else if (state == "OUT_OF_MEMORY") {
      note = core::oom_note(!res.memory.empty() ? res.memory : out.job->memory);
    } else if (state == "TIMEOUT") {
      note = core::time_limit_note(!res.time.empty() ? res.time : out.job->time_limit);
    }
    nb::str text = nb::str("rivo {} failed (exit {}):\nSTDOUT: {}\nSTDERR: {}")
                       .format(cmd_text(cmd), out.returncode, stdout_text, stderr_text);
    if (!note.empty()) text = nb::borrow<nb::str>(text + nb::str("\n") + py::bytes_text(note));
    py::raise(PyExc_RuntimeError, text);
  }
  SlurmRun run;
  run.proc = py::module_attr("subprocess", "CompletedProcess")(args, out.returncode, stdout_text, stderr_text);
  run.out_bytes = out.out_bytes;
  return run;
}

}  // namespace tavro::rivo
