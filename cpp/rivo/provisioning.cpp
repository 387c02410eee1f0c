// Tool provisioning on RIVO: project-file maintenance, Docker readiness and
// wrapper, the image tar cache, add and sync.
#include <optional>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/flock.hpp"
#include "rivo/prov_core.hpp"
#include "rivo/rivo.hpp"
#include "rivo/toml_io.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

constexpr int kCacheDockerTimeout = 1800;

nb::object os_path(const char* name) { return py::module_attr("os.path", name); }
bool exists(nb::handle path) { return py::truthy(os_path("exists")(path)); }

void check_tool_name(nb::handle tool) {
  if (!PyUnicode_Check(tool.ptr())) return;
  if (fs::is_single_component(py::fs_encode(tool))) return;
  py::raise(PyExc_ValueError,
        nb::str("Invalid tool name {!r}: a tool name must be a single path component "
                "(not empty, '.' or '..', without '/' or NUL)")
            .format(tool));
}

// Runs the real Docker program for the cache. Failures surface as the
// Python exceptions subprocess.run raises (OSError, TimeoutExpired).
proc::Result run_docker(nb::handle argv, int timeout) {
  proc::SpawnOptions o;
  o.argv = py::to_argv(argv);
  o.timeout = timeout;
  try {
    return py::run_process(std::move(o));
  } catch (const proc::TimedOut&) {
    py::raise_timeout_expired(argv, nb::int_(timeout));
  } catch (const OsError& e) {
    py::raise_os_error(e);
  }
}

// Exit status of one readiness probe, or nullopt when it ran out of time.
std::optional<int> probe(const std::vector<std::string>& argv, nb::handle timeout) {
  proc::SpawnOptions o;
  o.argv = argv;
  o.timeout = py::as_double(timeout);
  try {
    return py::run_process(std::move(o)).returncode;
  } catch (const proc::TimedOut&) {
    return std::nullopt;
  } catch (const OsError& e) {
    py::raise_os_error(e);
  }
}

// `mapping.get(key) or {}`
nb::object get_or_empty(nb::handle mapping, nb::handle key) {
  nb::object v = mapping.attr("get")(key);
  return py::truthy(v) ? v : nb::object(nb::dict());
}

// The project lock that the rivo command takes around its own changes of
// rivo.toml, rivo.lock and the shim folder, so a prune and a `rivo add` of
// another worker never interleave. Waiting is logged; a lock that cannot be
// taken at all (a file system without lock support) costs a warning only.
lock::FileLock lock_project_files(nb::handle home) {
  nb::object path = os_path("join")(home, lock::kRivoProjectLock);
  const std::string target = py::fs_encode(path);
  lock::Options options;
  options.on_wait = [&path](double waited) {
    nb::gil_scoped_acquire gil;
    py::log(kModule, waited < 30 ? DEBUG : WARNING, "Waiting for the rivo project lock %s (%s s)", path,
            nb::int_(static_cast<long>(waited)));
  };
  try {
    return py::without_gil([&](const std::function<bool()>& abort) {
      options.should_abort = abort;
      return lock::FileLock(target, lock::Mode::Exclusive, options);
    });
  } catch (const OsError& e) {
    nb::object err = py::module_attr("os", "strerror")(e.err());
    py::log(kModule, WARNING, "Could not lock %s (%s); pruning without the lock", path, err);
    return {};
  }
}

void prune_lockfile_to_session(nb::handle self) {
  nb::object home = self.attr("_rivo_home");
  nb::object session = self.attr("_session_tools");
  if (!py::truthy(home) || !py::truthy(session)) return;
  nb::object keep = nb::steal(PySet_New(session.ptr()));
  if (!keep.is_valid()) throw nb::python_error();
  nb::object reader = toml_reader();
  if (reader.is_none()) {
    py::log(kModule, DEBUG, "No TOML reader; skipping lockfile prune");
    return;
  }
  lock::FileLock guard;
  if (py::truthy(os_path("isdir")(home))) guard = lock_project_files(home);
  struct File {
    const char* name;
    const char* pruned;
    const char* failed;
  };
  static constexpr File files[] = {
      {"rivo.lock", "Pruned stale tools from rivo.lock: %s",
       "Could not prune rivo.lock (%s); deleting it for a clean sync"},
      {"rivo.toml", "Pruned stale tools from rivo.toml: %s",
       "Could not prune rivo.toml (%s); deleting it for a clean sync"},
  };
  nb::object join = os_path("join");
  for (const File& file : files) {
    nb::object path = join(home, file.name);
    if (!exists(path)) continue;
    try {
      nb::object doc = load_toml(reader, path);
      nb::object tools = get_or_empty(doc, nb::str("tools"));
      nb::list stale;
      for (nb::handle name : tools)
        if (!py::contains(keep, name)) stale.append(name);
      if (nb::len(stale)) {
        for (nb::handle name : stale) tools.attr("pop")(name, nb::none());
        self.attr("_write_toml")(path, doc);
        py::log(kModule, INFO, file.pruned, stale);
      }
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      py::log(kModule, WARNING, file.failed, e.value());
      try {
        py::module_attr("os", "remove")(path);
      } catch (nb::python_error& rm) {
        if (!rm.matches(PyExc_OSError)) throw;
      }
    }
  }
}

nb::tuple locked_image_ref(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::tuple nothing = nb::make_tuple(nb::none(), nb::none());
  nb::object home = self.attr("_rivo_home");
  if (!py::truthy(home)) return nothing;
  nb::object path = os_path("join")(home, "rivo.lock");
  if (!exists(path)) return nothing;
  nb::object reader = toml_reader();
  if (reader.is_none()) return nothing;
  nb::object doc;
  try {
    doc = load_toml(reader, path);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nothing;
  }
  nb::object entry = get_or_empty(get_or_empty(doc, nb::str("tools")), tool);
  return nb::make_tuple(entry.attr("get")("image_reference"), entry.attr("get")("image_digest"));
}

// ------------------------------------------------------- Docker readiness

nb::object timeout_seconds(nb::handle timeout) {
  PyObject* o = timeout.ptr();
  if (PyLong_Check(o) || PyFloat_Check(o) ||
      py::is_instance(timeout, py::module_attr("numbers", "Number"))) {
    return nb::int_(timeout);
  }
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               "timeout", "int", Py_TYPE(o)->tp_name);
  throw nb::python_error();
}

void wait_for_docker(nb::handle self, nb::handle timeout_arg) {
  nb::object timeout = timeout_seconds(timeout_arg);
  nb::object docker = py::module_attr("shutil", "which")("docker");
  if (docker.is_none()) {
    py::raise(PyExc_RuntimeError,
          nb::str("Docker is not installed or not on PATH. Install Docker Desktop (Mac/Windows) or "
                  "Docker Engine (Linux/HPC) before running tavro: ") +
              nb::str(rivo_attr("_DOCKER_INSTALL_URL")));
  }
  const std::string docker_path = py::fs_encode(docker);
  nb::object clock = py::module_attr("time", "time");
  nb::object sleep = py::module_attr("time", "sleep");
  auto now = [&] { return py::as_double(clock()); };
  const double deadline = now() + py::as_double(timeout);

  bool ready = false;
  while (now() < deadline) {
    std::optional<int> rc = probe({docker_path, "info"}, rivo_attr("_DAEMON_PROBE_TIMEOUT"));
    if (rc && *rc == 0) {
      ready = true;
      break;
    }
    sleep(2);
  }
  if (!ready) {
    py::raise(PyExc_RuntimeError,
          nb::str("Docker is installed but the daemon is not running. Start Docker Desktop or run "
                  "`sudo systemctl start docker`."));
  }
  if (nb::len(environ_get("PIPELINE_VOLUME_PATH"))) {
    while (now() < deadline) {
      std::optional<int> rc =
          probe({docker_path, "pull", "hello-world"}, rivo_attr("_NETWORK_PROBE_TIMEOUT"));
      if (rc && *rc == 0) {
        self.attr("_install_docker_host_network_wrapper")();
        return;
      }
      py::log(kModule, DEBUG, "Docker network not ready, retrying...");
      sleep(3);
    }
    py::raise(PyExc_RuntimeError, nb::str("Docker networking did not become ready within timeout"));
  }
  py::log(kModule, DEBUG, "Docker daemon ready (local mode)");
}

void install_docker_host_network_wrapper(nb::handle) {
  nb::object wrapper_dir = rivo_attr("_WRAPPER_DIR");
  nb::object system_docker = rivo_attr("_SYSTEM_DOCKER");
  nb::object real = rivo_attr("_DOCKER_REAL");
  py::module_attr("os", "makedirs")(wrapper_dir, nb::arg("exist_ok") = true);
  if (!exists(real)) {
    try {
      try {
        std::string src = py::fs_encode(system_docker), dst = py::fs_encode(real);
        nb::gil_scoped_release nogil;
        fs::move_file(src, dst);
      } catch (const OsError& e) {
        py::raise_os_error(e);
      }
      py::log(kModule, INFO, "Moved real docker binary to %s", real);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      py::log(kModule, WARNING, "Could not move %s: %s", system_docker, e.value());
    }
  }
  // The wrapper hands everything to the real executable at its new place.
  // Without it there, writing the wrapper would break every docker command
  // and, over a system executable that could not be moved, destroy it.
  if (!exists(real)) {
    py::log(kModule, WARNING, "Docker wrapper not installed: no real docker binary at %s", real);
    return;
  }
  // A link at a wrapper's place (a package's alternatives link, say) is
  // replaced itself; whatever it points to is left alone.
  const std::string script = prov::docker_wrapper_script(py::fs_encode(real));
  nb::object wrapper = nb::str(wrapper_dir) + nb::str("/docker");
  for (nb::handle target : {nb::handle(wrapper), nb::handle(system_docker)}) {
    std::string path = py::fs_encode(target);
    nb::gil_scoped_release nogil;
    fs::replace_file(path, script, {.mode = 0755, .replace_link = true});
  }
  py::log(kModule, INFO, "Installed docker wrapper at %s and %s (real binary at %s)", wrapper,
          system_docker, real);
}

// ------------------------------------------------------------ image cache

nb::object real_docker(nb::handle) {
  nb::object which = py::module_attr("shutil", "which");
  nb::object real = rivo_attr("_DOCKER_REAL");
  if (exists(real)) {
    nb::object found = which(os_path("basename")(real));
    return found.is_none() ? real : found;
  }
  nb::object found = which("docker");
  return found.is_none() ? nb::object(nb::str("docker")) : found;
}

nb::object cache_tar(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  check_tool_name(tool);
  nb::object cache = self.attr("_image_cache");
  if (!py::truthy(cache)) return nb::str("");
  return os_path("join")(cache, nb::str(tool) + nb::str(".tar"));
}

bool load_cached_image(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::object tar = self.attr("_cache_tar")(tool);
  if (!py::truthy(tar) || !exists(tar)) return false;
  try {
    py::log(kModule, INFO, "Restoring cached image for %s from %s", tool, tar);
    nb::list argv;
    argv.append(self.attr("_real_docker")());
    argv.append("load");
    argv.append("-i");
    argv.append(tar);
    proc::Result r = run_docker(argv, kCacheDockerTimeout);
    if (r.returncode != 0) {
      py::log(kModule, WARNING, "docker load for %s failed (will re-pull): %s", tool,
              py::decode_lossless(r.err).attr("strip")());
      return false;
    }
    return true;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::log(kModule, WARNING, "docker load for %s errored (will re-pull): %s", tool, e.value());
    return false;
  }
}

void save_image_to_cache(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::object tar = self.attr("_cache_tar")(tool);
  if (!py::truthy(tar) || exists(tar)) return;
  nb::object ref = self.attr("_locked_image_ref")(tool)[0];
  if (!py::truthy(ref)) {
    py::log(kModule, DEBUG, "No locked image ref for %s; skipping save", tool);
    return;
  }
  py::module_attr("os", "makedirs")(self.attr("_image_cache"), nb::arg("exist_ok") = true);
  const std::string tar_path = py::fs_encode(tar);
  for (const std::string& old : prov::remove_stale_archive_temps(tar_path, 2.0 * kCacheDockerTimeout))
    py::log(kModule, DEBUG, "Removed stale temporary archive %s", nb::str(old.c_str()));
  // A name of its own per save: concurrent saves never share a file.
  const std::string tmp_path = prov::archive_temp_path(tar_path);
  nb::object tmp = py::module_attr("os", "fsdecode")(nb::bytes(tmp_path.data(), tmp_path.size()));
  auto remove_tmp = [&] {
    if (exists(tmp)) py::module_attr("os", "remove")(tmp);
  };
  try {
    py::log(kModule, INFO, "Caching image %s for %s -> %s", ref, tool, tar);
    nb::list argv;
    argv.append(self.attr("_real_docker")());
    argv.append("save");
    argv.append(ref);
    argv.append("-o");
    argv.append(tmp);
    proc::Result r = run_docker(argv, kCacheDockerTimeout);
    if (r.returncode != 0) {
      py::log(kModule, WARNING, "docker save for %s failed: %s", tool,
              py::decode_lossless(r.err).attr("strip")());
      remove_tmp();
      return;
    }
    bool published = false;
    try {
      nb::gil_scoped_release nogil;
      published = prov::publish_archive(tmp_path, tar_path);
    } catch (const OsError& e) {
      py::raise_os_error(e);
    }
    if (!published)
      py::log(kModule, DEBUG, "Image archive %s was saved meanwhile by another process; keeping it", tar);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::log(kModule, WARNING, "docker save for %s errored: %s", tool, e.value());
    try {
      remove_tmp();
    } catch (nb::python_error& rm) {
      if (!rm.matches(PyExc_OSError)) throw;
    }
  }
}

// ------------------------------------------------------------- add, sync

void add(nb::handle self, nb::args tools) {
  for (nb::handle tool : tools) check_tool_name(tool);
  nb::object session = self.attr("_session_tools");
  for (nb::handle tool : tools) {
    if (!py::contains(session, tool)) session.attr("append")(tool);
    self.attr("_load_cached_image")(tool);
  }
  nb::list cmd;
  cmd.append("add");
  for (nb::handle tool : tools) cmd.append(tool);
  nb::object backend = self.attr("backend");
  if (py::truthy(backend)) {
    cmd.append("--backend");
    cmd.append(backend);
  }
  nb::object registry = self.attr("registry");
  if (py::truthy(registry)) {
    cmd.append("--registry");
    cmd.append(registry);
  }
  self.attr("_run")(cmd);
  for (nb::handle tool : tools) self.attr("_save_image_to_cache")(tool);
}

void sync(nb::handle self, nb::handle frozen) {
  self.attr("_prune_lockfile_to_session")();
  nb::list cmd;
  cmd.append("sync");
  nb::object backend = self.attr("backend");
  if (py::truthy(backend)) {
    cmd.append("--backend");
    cmd.append(backend);
  }
  if (py::truthy(frozen)) cmd.append("--frozen");
  self.attr("_run")(cmd);
}

}  // namespace

void bind_provisioning(nb::module_& m, Class& cls) {
  // Where the Docker wrapper goes and where the real executable is moved
  // to; module attributes so that hosts with another layout (and tests)
  // can point them elsewhere.
  m.attr("_SYSTEM_DOCKER") = "/usr/bin/docker";
  m.attr("_DOCKER_REAL") = "/usr/bin/docker.real";
  m.attr("_WRAPPER_DIR") = "/vol/bin";
  m.attr("_DOCKER_INSTALL_URL") = "https://docs.docker.com/get-started/get-docker/";
  m.attr("_DAEMON_PROBE_TIMEOUT") = 10;
  m.attr("_NETWORK_PROBE_TIMEOUT") = 30;

  cls.def_static("_write_toml", &write_toml, nb::arg("path").none(), nb::arg("data").none(),
                 nb::sig("def _write_toml(path: str, data: dict) -> None"),
                 "Best-effort TOML writer: tomli_w when available, otherwise a minimal "
                 "subset sufficient for rivo.toml / rivo.lock.");
  cls.def("_prune_lockfile_to_session", &prune_lockfile_to_session,
          nb::sig("def _prune_lockfile_to_session(self) -> None"),
          "Drop from rivo.lock and rivo.toml every tool not added during this run.");
  cls.def("_locked_image_ref", &locked_image_ref, nb::arg("tool").none(),
          nb::sig("def _locked_image_ref(self, tool: str) -> tuple[str | None, str | None]"),
          "The (image_reference, image_digest) that rivo.lock records for the tool.");

  cls.def("wait_for_docker", &wait_for_docker, nb::arg("timeout").none() = 300,
          nb::sig("def wait_for_docker(self, timeout: int = 300) -> None"),
          "Block until the Docker daemon answers (and, with a pipeline volume, until images "
          "can be pulled; then install the host-network docker wrapper).");
  cls.def("_install_docker_host_network_wrapper", &install_docker_host_network_wrapper,
          nb::sig("def _install_docker_host_network_wrapper(self) -> None"),
          "Replace docker with a wrapper that forces host networking on `docker run`.");

  cls.def("_real_docker", &real_docker, nb::sig("def _real_docker(self) -> str"),
          "Path to the real docker binary, bypassing the run-only wrapper.\n\n"
          "The wrapper only intercepts `run` and `pull` and passes `load`, `save` and "
          "`image inspect` through anyway, so either works; the real binary avoids the "
          "wrapper's overhead on cache operations.");
  cls.def("_cache_tar", &cache_tar, nb::arg("tool").none(),
          nb::sig("def _cache_tar(self, tool: str) -> str"),
          "Path of the tool's image tar in the cache ('' when the cache is off).");
  cls.def("_load_cached_image", &load_cached_image, nb::arg("tool").none(),
          nb::sig("def _load_cached_image(self, tool: str) -> bool"),
          "If a saved image tar exists for the tool, load it so rivo finds the image "
          "locally and skips the network pull.");
  cls.def("_save_image_to_cache", &save_image_to_cache, nb::arg("tool").none(),
          nb::sig("def _save_image_to_cache(self, tool: str) -> None"),
          "Save the image now locked for the tool into the cache so the next run can load "
          "it instead of pulling. No-op if the tar already exists.");

  cls.def("add", &add, nb::arg("tools"), nb::sig("def add(self, *tools: str) -> None"));
  cls.def("sync", &sync, nb::arg("frozen").none() = false,
          nb::sig("def sync(self, frozen: bool = False) -> None"),
          "Pull all locked images and regenerate shims. Pass frozen=True for CI.");
}

}  // namespace tavro::rivo
