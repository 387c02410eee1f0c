// The bundled local rivo: where it lives, when the runner takes it, and the
// console entry that runs it under a name of its own.
#include "rivo/bundled.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process.hpp"

namespace tavro::rivo {
namespace {

bool is_executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The folder of this extension module's file, as the loader opened it.
nb::object module_dir() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&is_executable_file), &info) || !info.dli_fname) return nb::none();
  nb::object path = nb::module_::import_("os").attr("path");
  return path.attr("dirname")(path.attr("abspath")(py::fs_decode(info.dli_fname)));
}

}  // namespace

std::string rivo_program(nb::handle env) {
  std::vector<std::string> dirs;
  for (nb::handle d : py::module_attr("os", "get_exec_path")(env)) dirs.push_back(py::fs_encode(d));
  if (proc::which("rivo", dirs)) return "rivo";
  nb::object bundled = rivo_attr("_BUNDLED_RIVO");
  if (bundled.is_none()) return "rivo";
  std::string path = py::fs_encode(bundled);
  if (!is_executable_file(path)) return "rivo";
  static std::string announced;
  if (announced != path && py::log_enabled(kModule, py::DEBUG)) {
    py::log(kModule, py::DEBUG, "no rivo on PATH; running the bundled local rivo %s", bundled);
    announced = path;
  }
  return path;
}

std::string rivo_program(const Env& env) {
  nb::dict path;
  for (const auto& [k, v] : env)
    if (k == "PATH") path["PATH"] = py::fs_decode(v);
  return rivo_program(path);
}

void bind_bundled(nb::module_& m) {
  nb::object dir = module_dir();
  m.attr("_BUNDLED_RIVO") =
      dir.is_none() ? nb::none() : nb::module_::import_("os").attr("path").attr("join")(dir, "_bin", "rivo");
  m.def(
      "_bundled_rivo_main",
      []() {
        nb::object path = rivo_attr("_BUNDLED_RIVO");
        if (path.is_none() || !is_executable_file(py::fs_encode(path)))
          py::raise(PyExc_SystemExit, "tavro-rivo: this installation has no bundled rivo");
        nb::list argv;
        argv.append(path);
        nb::object sys_argv = py::module_attr("sys", "argv");
        for (size_t i = 1; i < nb::len(sys_argv); ++i) argv.append(sys_argv[i]);
        py::module_attr("os", "execv")(path, argv);
      },
      nb::sig("def _bundled_rivo_main() -> None"),
      "Run the bundled local rivo with this process's arguments (the tavro-rivo command).");
}

}  // namespace tavro::rivo
