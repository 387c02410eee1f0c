// Where RIVO.run runs its tool (the executor and its SLURM options), and
// what the tool needs (a manifest's "resources"): checked and converted
// here, used by the core (core/executor_slurm.cpp, core/resources.cpp).
#include <cmath>

#include "rivo/core/command.hpp"
#include "rivo/core/executor_slurm.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::WARNING;

constexpr const char* kMemoryForm =
    "a text such as \"4 GiB\": an integer or decimal with a unit B, KiB, MiB, GiB or TiB";
constexpr const char* kTimeForm = "a text such as \"90s\", \"30m\", \"2h\", \"1d\", \"1h30m\" or \"HH:MM:SS\"";

[[noreturn]] void bad_resource(const char* key, const char* form, nb::handle value) {
  py::raise(PyExc_ValueError,
            nb::str("Invalid \"{}\" in the manifest's resources: expected {}, got {!r}").format(key, form, value));
}

nb::str sandbox_message(const SandboxNotVisible& e) {
  nb::object srun = py::decode_lossless(e.srun_err).attr("rstrip")();
  return nb::str("The sandbox {} is not visible to SLURM jobs: job {} could not open its output files there, in a "
                 "folder this machine had just made. Point TMPDIR (where sandboxes are made) at a file system that "
                 "every node mounts.\n{}")
      .format(py::fs_decode(e.sandbox), py::fs_decode(e.job_id), srun);
}

}  // namespace

std::optional<Resources> manifest_resources(nb::handle manifest) {
  nb::object entry = manifest.attr("get")("resources");
  if (entry.is_none()) return std::nullopt;
  if (!PyDict_Check(entry.ptr()))
    py::raise(PyExc_ValueError,
              nb::str("The manifest's \"resources\" must be a dict with any of \"cpus\", \"memory\", \"time\", "
                      "got {!r}").format(entry));
  Resources r;
  for (auto [key, value] : nb::borrow<nb::dict>(entry)) {
    nb::str k = nb::str(key);
    if (k.equal(nb::str("cpus"))) {
      const bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
      double v = number ? py::as_double(value) : 0;
      if (!number || !std::isfinite(v) || v <= 0) bad_resource("cpus", "a number above 0", value);
      r.cpus = v;
      r.cpus_text = py::text_bytes(nb::str(value));
    } else if (k.equal(nb::str("memory"))) {
      std::optional<std::uint64_t> bytes;
      if (PyUnicode_Check(value.ptr())) bytes = parse_memory(py::text_bytes(value));
      if (!bytes) bad_resource("memory", kMemoryForm, value);
      r.memory = py::text_bytes(value);
      r.memory_bytes = *bytes;
    } else if (k.equal(nb::str("time"))) {
      std::optional<std::uint64_t> seconds;
      if (PyUnicode_Check(value.ptr())) seconds = parse_time(py::text_bytes(value));
      if (!seconds) bad_resource("time", kTimeForm, value);
      r.time = py::text_bytes(value);
      r.time_seconds = *seconds;
    } else {
      py::log(kModule, WARNING, "ignoring unknown resource %r in the manifest (known: cpus, memory, time)", key);
    }
  }
  if (r.empty()) return std::nullopt;
  return r;
}

void put_resource_env(Env& env, const Resources& res) {
  if (res.cpus) set_env(env, "RIVO_CPUS", res.cpus_text);
  if (!res.memory.empty()) set_env(env, "RIVO_MEMORY", res.memory);
  if (!res.time.empty()) set_env(env, "RIVO_TIME", res.time);
}

Resources job_resources(nb::handle self, nb::handle tool_name, const std::optional<Resources>& given) {
  Resources r = given ? *given : Resources{};
  if (r.cpus && !r.memory.empty() && !r.time.empty()) return r;
  Resources def;
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
    // Also a definition whose resources this side refuses: the job then
    // asks for none of them, as with a rivo that knows nothing of them.
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
    py::raise(PyExc_ValueError, nb::str("{} must be \"local\" or \"slurm\", got {!r}").format(source, chosen));
  nb::list args;
  if (!srun_args.is_none())
    for (nb::handle a : srun_args) {
      if (!PyUnicode_Check(a.ptr()))
        py::raise(PyExc_TypeError, nb::str("slurm_args must hold str, got {}").format(nb::type_name(a.type())));
      args.append(a);
    }
  self.attr("executor") = chosen;
  self.attr("slurm_partition") = partition;
  self.attr("slurm_account") = account;
  self.attr("slurm_args") = args;
}

void bind_executor(nb::module_&) {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const SandboxNotVisible& e) {
      PyErr_SetObject(PyExc_FileNotFoundError, sandbox_message(e).ptr());
    }
  });
}

}  // namespace tavro::rivo
