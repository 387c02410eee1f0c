// Docker readiness (RIVO.wait_for_docker) and the host-network Docker
// wrapper of the hosted setting.
#include <optional>

#include "common/fileops.hpp"
#include "rivo/core/docker.hpp"
#include "rivo/core/docker_wrapper.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

bool exists(nb::handle path) { return py::truthy(py::module_attr("os.path", "exists")(path)); }

// Exit status of one readiness probe, or nullopt when it ran out of time; a
// probe that cannot start raises.
std::optional<int> probe(const std::vector<std::string>& argv, nb::handle timeout) {
  const double limit = py::as_double(timeout);
  LocalExecutor executor;
  try {
    return py::without_gil([&](const std::function<bool()>& abort) {
             return run_docker(executor, argv, limit, std::nullopt, abort);
           })
        .status;
  } catch (const proc::TimedOut&) {
    return std::nullopt;
  }
}

nb::object timeout_seconds(nb::handle timeout) {
  PyObject* o = timeout.ptr();
  if (PyLong_Check(o) || PyFloat_Check(o) || py::is_instance(timeout, py::module_attr("numbers", "Number")))
    return nb::int_(timeout);
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "timeout",
               "int", Py_TYPE(o)->tp_name);
  throw nb::python_error();
}

void wait_for_docker(nb::handle self, nb::handle timeout_arg) {
  nb::object timeout = timeout_seconds(timeout_arg);
  nb::object docker = py::module_attr("shutil", "which")("docker");
  if (docker.is_none()) {
    nb::str url = nb::str(rivo_attr("_DOCKER_INSTALL_URL"));
    py::raise(PyExc_RuntimeError, nb::str("Docker is not installed or not on PATH. Install Docker Desktop "
                                          "(Mac/Windows) or Docker Engine (Linux/HPC) before running tavro: ") +
                                      url);
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
  if (!ready)
    py::raise(PyExc_RuntimeError, nb::str("Docker is installed but the daemon is not running. Start Docker "
                                          "Desktop or run `sudo systemctl start docker`."));
  if (nb::len(environ_get("PIPELINE_VOLUME_PATH"))) {
    while (now() < deadline) {
      std::optional<int> rc = probe({docker_path, "pull", "hello-world"}, rivo_attr("_NETWORK_PROBE_TIMEOUT"));
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
    const std::string src = py::fs_encode(system_docker), dst = py::fs_encode(real);
    nb::object failure = py::failure_of([&] {
      {
        nb::gil_scoped_release nogil;
        fs::publish_move(src, dst);
      }
      py::log(kModule, INFO, "Moved real docker binary to %s", real);
    });
    if (failure.is_valid()) py::log(kModule, WARNING, "Could not move %s: %s", system_docker, failure);
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
  const std::string script = docker_wrapper_script(py::fs_encode(real));
  nb::object wrapper = nb::str(wrapper_dir) + nb::str("/docker");
  for (nb::handle target : {nb::handle(wrapper), nb::handle(system_docker)}) {
    std::string path = py::fs_encode(target);
    nb::gil_scoped_release nogil;
    fs::publish_bytes(path, script, {.mode = 0755, .replace_link = true});
  }
  py::log(kModule, INFO, "Installed docker wrapper at %s and %s (real binary at %s)", wrapper, system_docker, real);
}

}  // namespace

void bind_docker(nb::module_& m, Class& cls) {
  // Where the Docker wrapper goes and where the real executable is moved
  // to; module attributes so that hosts with another layout (and tests)
  // can point them elsewhere.
  m.attr("_SYSTEM_DOCKER") = "/usr/bin/docker";
  m.attr("_DOCKER_REAL") = "/usr/bin/docker.real";
  m.attr("_WRAPPER_DIR") = "/vol/bin";
  m.attr("_DOCKER_INSTALL_URL") = "https://docs.docker.com/get-started/get-docker/";
  m.attr("_DAEMON_PROBE_TIMEOUT") = 10;
  m.attr("_NETWORK_PROBE_TIMEOUT") = 30;

  cls.def("wait_for_docker", &wait_for_docker, nb::arg("timeout").none() = 300,
          nb::sig("def wait_for_docker(self, timeout: int = 300) -> None"),
          "Block until the Docker daemon answers (and, with a pipeline volume, until images "
          "can be pulled; then install the host-network docker wrapper).");
  cls.def("_install_docker_host_network_wrapper", &install_docker_host_network_wrapper,
          nb::sig("def _install_docker_host_network_wrapper(self) -> None"),
          "Replace docker with a wrapper that forces host networking on `docker run`.");
}

}  // namespace tavro::rivo
