// The run cache's Python side: the cache a RIVO names, what a run's key
// needs of Python (rivo.lock through tomllib, the Docker program), and
// RIVO.export_provenance and RIVO.prune_run_cache.
#include "common/fileops.hpp"
#include "rivo/core/cached_run.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

nb::str text(const std::string& s) { return py::fs_decode(s); }

// rivo.lock's tools, as far as the identity of what a run executes needs
// them. An unreadable lock gives nothing (rivo itself will complain).
std::vector<cache::LockedTool> read_lock(const std::string& path) {
  std::vector<cache::LockedTool> out;
  if (!fs::exists(path)) return out;
  try {
    nb::object toml;
    try {
      toml = nb::module_::import_("tomllib");
    } catch (nb::python_error&) {
      toml = nb::module_::import_("tomli");
    }
    nb::object doc = toml.attr("loads")(py::utf8_text(fs::read_file(path)));
    nb::object tools = doc.attr("get")("tools", nb::dict());
    if (!PyDict_Check(tools.ptr())) return out;
    auto str_of = [](nb::handle t, const char* k) {
      nb::object v = t.attr("get")(k, "");
      return PyUnicode_Check(v.ptr()) ? py::fs_encode(v) : std::string();
    };
    for (auto [name, t] : nb::borrow<nb::dict>(tools)) {
      if (!PyDict_Check(t.ptr()) || !PyUnicode_Check(name.ptr())) continue;
      cache::LockedTool lt;
      lt.name = py::fs_encode(name);
      lt.image_reference = str_of(t, "image_reference");
      lt.image_digest = str_of(t, "image_digest");
      lt.backend = str_of(t, "backend");
      lt.entrypoint = str_of(t, "entrypoint");
      nb::object bins = t.attr("get")("binaries", nb::list());
      if (PyList_Check(bins.ptr()))
        for (nb::handle b : bins)
          if (PyUnicode_Check(b.ptr())) lt.binaries.push_back(py::fs_encode(b));
      out.push_back(std::move(lt));
    }
  } catch (nb::python_error&) {
    out.clear();
  } catch (const std::exception&) {
    out.clear();
  }
  return out;
}

std::string require_cache(nb::handle self, const char* what) {
  auto root = run_cache_of(self);
  if (!root)
    py::raise(PyExc_ValueError,
              nb::str("There is no run cache to {}: name one with RIVO(run_cache=PATH) or the TAVRO_RUN_CACHE "
                      "environment variable")
                  .format(what));
  return *root;
}

nb::object export_provenance(nb::handle self, nb::handle path) {
  py::require_str(path, "path");
  const std::string root = require_cache(self, "export the provenance of");
  const std::string dir = py::fs_encode(path);
  const std::string target = fs::join(dir, "ro-crate-metadata.json");
  {
    nb::gil_scoped_release nogil;
    cache::RunCache rc(root);
    auto records = prov::read_journal(rc.journal_path());
    std::string doc = prov::ro_crate(records, cache::now_ns()).dump(1) + "\n";
    fs::make_dirs(dir);
    fs::publish_bytes(target, doc, {.mode = std::nullopt, .replace_link = true});
  }
  return text(target);
}

nb::dict prune_run_cache(nb::handle self, nb::handle max_bytes) {
  if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr()))
    py::require_type(max_bytes, &PyLong_Type, "max_bytes");
  long long limit = PyLong_AsLongLong(max_bytes.ptr());
  if (limit == -1 && PyErr_Occurred()) throw nb::python_error();
  if (limit < 0) py::raise(PyExc_ValueError, "max_bytes must not be negative");
  const std::string root = require_cache(self, "prune");
  cache::PruneResult r;
  {
    nb::gil_scoped_release nogil;
    cache::RunCache rc(root);
    r = rc.prune(static_cast<std::uint64_t>(limit));
  }
  py::log(kModule, py::INFO, "Pruned the run cache %s: %d entries removed (%d bytes), %d bytes kept", text(root),
          static_cast<unsigned long long>(r.removed), static_cast<unsigned long long>(r.freed),
          static_cast<unsigned long long>(r.remaining));
  nb::dict out;
  out["removed"] = r.removed;
  out["freed"] = r.freed;
  out["remaining"] = r.remaining;
  out["in_use"] = r.in_use;
  return out;
}

}  // namespace

std::optional<std::string> run_cache_of(nb::handle self) {
  nb::object path = nb::getattr(self, "_run_cache", nb::none());
  if (path.is_none() || !py::truthy(path)) return std::nullopt;
  return py::fs_encode(path);
}

CacheContext run_cache_context(nb::handle self, const RunPlan& plan) {
  CacheContext ctx;
  // The project the run's rivo reads (see make_sandbox): without a volume a
  // fresh one, which has no lock.
  if (!plan.volume.empty()) ctx.locked = read_lock(fs::join(fs::join(plan.volume, ".rivo_home"), "rivo.lock"));
  try {
    ctx.docker = py::fs_encode(self.attr("_real_docker")());
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::log(kModule, py::WARNING, "Run cache: _real_docker failed (%s); a Docker run is not cached", nb::str(e.value()));
  }
  return ctx;
}

void bind_run_cache(nb::module_&, Class& cls) {
  cls.def("export_provenance", &export_provenance, nb::arg("path").none(),
          nb::sig("def export_provenance(self, path: str) -> str"),
          "Write the provenance journal of the run cache as an RO-Crate (Process Run Crate) into the folder "
          "`path`; returns the path of its ro-crate-metadata.json.");
  cls.def("prune_run_cache", &prune_run_cache, nb::arg("max_bytes").none(),
          nb::sig("def prune_run_cache(self, max_bytes: int) -> dict"),
          "Remove run cache entries, least recently used first, until the rest take at most `max_bytes`; "
          "an entry a run is using stays. Returns the counts.");
}

}  // namespace tavro::rivo
