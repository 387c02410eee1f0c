// The image archive cache on the pipeline volume: the real Docker
// executable, the archive of a tool, loading it before `rivo add` and saving
// it after. Every failure of Docker here costs a pull, never the add.
#include "common/fileops.hpp"
#include "common/process.hpp"
#include "rivo/core/docker.hpp"
#include "rivo/core/image_cache.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

constexpr int kCacheDockerTimeout = 1800;

bool exists(nb::handle path) { return py::truthy(py::module_attr("os.path", "exists")(path)); }

// `<docker> <args...>` with the cache's time limit, the GIL released.
ExecResult docker(nb::handle self, std::vector<std::string> args) {
  nb::object program = self.attr("_real_docker")();
  args.insert(args.begin(), py::fs_encode(program));
  LocalExecutor executor;
  return py::without_gil([&](const std::function<bool()>& abort) {
    return run_docker(executor, std::move(args), kCacheDockerTimeout, std::nullopt, abort);
  });
}

// The local backend runs tools on the host: it has no image to keep. The
// backend is the instance's, else the one rivo takes from RIVO_BACKEND.
bool local_backend(nb::handle self, nb::handle tool) {
  nb::object backend = self.attr("backend");
  if (!py::truthy(backend)) backend = environ_get("RIVO_BACKEND");
  if (!backend.equal(nb::str("local"))) return false;
  py::log(kModule, DEBUG, "No image archive for %s: the local backend runs it without an image", tool);
  return true;
}

nb::str real_docker_of(nb::handle) {
  return py::fs_decode(real_docker(py::fs_encode(rivo_attr("_DOCKER_REAL")), proc::exec_path(std::nullopt)));
}

nb::str cache_tar_of(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  std::string tool_name = py::fs_encode(tool);
  nb::object cache = self.attr("_image_cache");
  return py::fs_decode(cache_tar(py::truthy(cache) ? py::fs_encode(cache) : std::string(), tool_name));
}

bool load_cached_image(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::object tar = self.attr("_cache_tar")(tool);
  if (!py::truthy(tar) || !exists(tar) || local_backend(self, tool)) return false;
  bool loaded = false;
  nb::object failure = py::failure_of([&] {
    py::log(kModule, INFO, "Restoring cached image for %s from %s", tool, tar);
    ExecResult r = docker(self, {"load", "-i", py::fs_encode(tar)});
    loaded = r.status == 0;
    if (loaded) return;
    nb::object err = py::decode_lossless(r.err).attr("strip")();
    py::log(kModule, WARNING, "docker load for %s failed (will re-pull): %s", tool, err);
  });
  if (failure.is_valid()) py::log(kModule, WARNING, "docker load for %s errored (will re-pull): %s", tool, failure);
  return loaded;
}

void save_image_to_cache(nb::handle self, nb::handle tool) {
  py::require_str(tool, "tool");
  nb::object tar = self.attr("_cache_tar")(tool);
  if (!py::truthy(tar) || exists(tar) || local_backend(self, tool)) return;
  nb::object locked = self.attr("_locked_image_ref")(tool);
  nb::object ref = locked[0];
  if (!py::truthy(ref)) {
    py::log(kModule, DEBUG, "No locked image ref for %s; skipping save", tool);
    return;
  }
  nb::object cache = self.attr("_image_cache");
  py::module_attr("os", "makedirs")(cache, nb::arg("exist_ok") = true);
  const std::string tar_path = py::fs_encode(tar);
  for (const std::string& old : remove_stale_archive_temps(tar_path, 2.0 * kCacheDockerTimeout))
    py::log(kModule, DEBUG, "Removed stale temporary archive %s", py::fs_decode(old));
  // A name of its own per save: concurrent saves never share a file.
  const std::string tmp_path = archive_temp_path(tar_path);
  nb::object failure = py::failure_of([&] {
    py::log(kModule, INFO, "Caching image %s for %s -> %s", ref, tool, tar);
    ExecResult r = docker(self, {"save", py::fs_encode(ref), "-o", tmp_path});
    if (r.status != 0) {
      nb::object err = py::decode_lossless(r.err).attr("strip")();
      py::log(kModule, WARNING, "docker save for %s failed: %s", tool, err);
      ::unlink(tmp_path.c_str());
      return;
    }
    bool published;
    {
      nb::gil_scoped_release nogil;
      published = publish_archive(tmp_path, tar_path);
    }
    if (!published)
      py::log(kModule, DEBUG, "Image archive %s was saved meanwhile by another process; keeping it", tar);
  });
  if (!failure.is_valid()) return;
  py::log(kModule, WARNING, "docker save for %s errored: %s", tool, failure);
  ::unlink(tmp_path.c_str());
}

}  // namespace

void bind_image_cache(nb::module_&, Class& cls) {
  cls.def("_real_docker", &real_docker_of, nb::sig("def _real_docker(self) -> str"),
          "Path to the real docker binary, bypassing the run-only wrapper.\n\n"
          "The wrapper only intercepts `run` and `pull` and passes `load`, `save` and "
          "`image inspect` through anyway, so either works; the real binary avoids the "
          "wrapper's overhead on cache operations.");
  cls.def("_cache_tar", &cache_tar_of, nb::arg("tool").none(), nb::sig("def _cache_tar(self, tool: str) -> str"),
          "Path of the tool's image tar in the cache ('' when the cache is off).");
  cls.def("_load_cached_image", &load_cached_image, nb::arg("tool").none(),
          nb::sig("def _load_cached_image(self, tool: str) -> bool"),
          "If a saved image tar exists for the tool, load it so rivo finds the image "
          "locally and skips the network pull.");
  cls.def("_save_image_to_cache", &save_image_to_cache, nb::arg("tool").none(),
          nb::sig("def _save_image_to_cache(self, tool: str) -> None"),
          "Save the image now locked for the tool into the cache so the next run can load "
          "it instead of pulling. No-op if the tar already exists.");
}

}  // namespace tavro::rivo
