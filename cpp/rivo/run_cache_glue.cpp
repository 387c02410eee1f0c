// RIVO.run with a run cache, RIVO.export_provenance and RIVO.prune_run_cache.
#include "rivo/run_cache_glue.hpp"

#include <optional>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"
#include "rivo/cache_session.hpp"
#include "rivo/run_plan.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::INFO;
using py::WARNING;

nb::object mod(const char* name) { return nb::module_::import_(name); }

// The cache folder of a RIVO (its _run_cache attribute), or nothing.
std::optional<std::string> cache_root(nb::handle self) {
  nb::object path = nb::getattr(self, "_run_cache", nb::none());
  if (path.is_none() || !py::truthy(path)) return std::nullopt;
  return py::fs_encode(path);
}

nb::str text(const std::string& s) { return py::fs_decode(s); }

// rivo.lock of the run's project: what the image identity needs of it. An
// unreadable lock gives nothing (rivo itself will then complain).
std::vector<cache::LockedTool> read_lock(const std::string& project) {
  std::vector<cache::LockedTool> out;
  const std::string path = core::join(project, "rivo.lock");
  if (!fs::exists(path)) return out;
  try {
    nb::object toml;
    try {
      toml = mod("tomllib");
    } catch (nb::python_error&) {
      toml = mod("tomli");
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

std::vector<cache::RunInput> run_inputs(nb::handle inputs) {
  std::vector<cache::RunInput> out;
  for (auto [slot, value] : nb::borrow<nb::dict>(inputs)) {
    if (slot.equal(nb::str("output_dir"))) continue;
    cache::RunInput in;
    in.slot = PyUnicode_Check(slot.ptr()) ? py::fs_encode(slot) : py::fs_encode(nb::str(slot));
    if (PyUnicode_Check(value.ptr())) {
      in.kind = cache::RunInput::Kind::Text;
      in.text = py::fs_encode(value);
      if (auto p = py::fs_path_or_none(value)) in.sources.push_back(*p);
    } else if (PyList_Check(value.ptr())) {
      in.kind = cache::RunInput::Kind::List;
      for (nb::handle el : value)
        if (PyUnicode_Check(el.ptr()))
          if (auto p = py::fs_path_or_none(el)) in.sources.push_back(*p);
    } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
      in.kind = cache::RunInput::Kind::Scalar;
      in.text = py::fs_encode(nb::str(value));
    }
    out.push_back(std::move(in));
  }
  return out;
}

std::int64_t now() { return cache::now_ns(); }

}  // namespace

std::optional<int> exit_status_of(const std::string& error_text) {
  const std::string marker = " failed (exit ";
  auto at = error_text.find(marker);
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + marker.size(), end = error_text.find(')', i);
  if (end == std::string::npos) return std::nullopt;
  try {
    std::size_t used = 0;
    int v = std::stoi(error_text.substr(i, end - i), &used);
    if (used == end - i) return v;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

struct CachedRun::State {
  RunCall* call = nullptr;
  std::unique_ptr<cache::RunCache> cache;
  std::unique_ptr<cache::CacheSession> session;
  std::string run_id, tool, output;
  std::vector<cache::OutputSpec> outputs;
  std::int64_t started_ns = 0;
  bool keyed = false;

  void log_problem(const char* what, const std::exception& e) {
    py::log(kModule, WARNING, what, call->tool_name, nb::str(e.what()));
  }

  void append(const prov::RunRecord& rec) {
    try {
      cache::json line = prov::record_json(rec);
      const std::string journal = cache->journal_path();
      nb::gil_scoped_release nogil;
      prov::append_record(journal, line);
    } catch (const std::exception& e) {
      log_problem("Could not write the provenance record of %s: %s", e);
    }
  }
};

CachedRun::CachedRun(std::unique_ptr<State> s) : s_(std::move(s)) {}
CachedRun::~CachedRun() = default;

std::unique_ptr<CachedRun> CachedRun::start(RunCall& call, const RunPlan& plan) {
  auto root = cache_root(call.self);
  if (!root) return nullptr;
  auto s = std::make_unique<State>();
  s->call = &call;
  s->started_ns = now();
  s->run_id = random_hex(16);
  s->tool = plan.tool;
  s->output = plan.output;
  try {
    nb::gil_scoped_release nogil;
    s->cache = std::make_unique<cache::RunCache>(*root);
  } catch (const std::exception& e) {
    py::log(kModule, WARNING, "Run cache %s cannot be used: %s", text(*root), nb::str(e.what()));
    return nullptr;
  }

  cache::SessionRequest req;
  req.tool = plan.tool;
  nb::object entrypoint = call.manifest.attr("get")("entrypoint");
  req.entrypoint = py::truthy(entrypoint) ? py::fs_encode(nb::str(entrypoint)) : plan.tool;
  nb::object tmpl = call.manifest.attr("get")("args_template");
  req.args_template = py::truthy(tmpl) ? py::fs_encode(nb::str(tmpl)) : std::string();
  nb::object image = call.manifest.attr("get")("image");
  if (PyUnicode_Check(image.ptr())) req.image = py::fs_encode(image);
  for (const auto& slot : plan.slots) req.outputs.push_back({slot.name, slot.is_dir});
  s->outputs = req.outputs;
  req.inputs = run_inputs(call.inputs);
  req.output_dir = plan.output;
  nb::object environ = mod("os").attr("environ");
  req.identity.tool = req.tool;
  req.identity.entrypoint = req.entrypoint;
  req.identity.manifest_image = req.image;
  req.identity.locked = read_lock(plan.proj);
  req.identity.backend_override = py::fs_encode(environ.attr("get")("RIVO_BACKEND", ""));
  req.identity.env = py::to_envp(environ);
  req.identity.docker = py::fs_encode(call.self.attr("_real_docker")());

  s->session = std::make_unique<cache::CacheSession>(*s->cache, std::move(req));
  cache::CacheSession& session = *s->session;
  py::without_gil([&](const std::function<bool()>& abort) { session.prepare(abort); });
  for (const auto& [path, bytes] : session.reads())
    py::log(kModule, DEBUG, "Hashed %s for the run cache: %d bytes", text(path), static_cast<unsigned long long>(bytes));
  s->keyed = session.keyed();
  if (!s->keyed) py::log(kModule, INFO, "Run cache not used for %s: %s", call.tool_name, text(session.problem()));
  return std::unique_ptr<CachedRun>(new CachedRun(std::move(s)));
}

nb::object CachedRun::lookup() {
  State& s = *s_;
  if (!s.keyed) return nb::object();
  cache::CacheSession& session = *s.session;
  nb::object tool_name = nb::borrow(s.call->tool_name);
  nb::str key = text(session.key());
  std::optional<cache::Entry> entry;
  std::string dropped;
  try {
    auto on_wait = [&](double) {
      nb::gil_scoped_acquire gil;
      py::log(kModule, INFO, "Waiting for another run of %s with the same inputs (run cache key %s)", tool_name, key);
    };
    entry = py::without_gil([&](const std::function<bool()>& abort) { return session.lookup(on_wait, abort, &dropped); });
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& e) {
    s.log_problem("Run cache lookup for %s failed; running it uncached: %s", e);
    s.keyed = false;
    session.release();
    return nb::object();
  }
  if (!dropped.empty())
    py::log(kModule, WARNING, "Run cache entry %s of %s was damaged (%s); running the tool again", key, tool_name,
            text(dropped));
  if (!entry) {
    if (py::log_enabled(kModule, DEBUG)) {
      std::vector<std::string> diffs = session.why_missed();
      std::string why;
      for (const auto& d : diffs) why += (why.empty() ? "" : "; ") + d;
      py::log(kModule, DEBUG, "Run cache miss for %s (key %s): %s", tool_name, key,
              text(diffs.empty() ? std::string("no earlier entry of this tool") : why));
    }
    return nb::object();
  }
  std::vector<cache::OutputFile> files;
  try {
    files = [&] {
      nb::gil_scoped_release nogil;
      return session.restore(*entry);
    }();
  } catch (const std::exception& e) {
    py::log(kModule, WARNING, "Run cache entry %s of %s could not be restored (%s); running the tool again", key,
            tool_name, nb::str(e.what()));
    try {
      s.cache->drop(session.key());
    } catch (const std::exception&) {
    }
    return nb::object();
  }
  nb::dict result;
  const auto& kinds = entry->delivery.result;
  for (size_t i = 0; i < s.call->slot_names.size(); ++i) {
    bool delivered = i < kinds.size() && !kinds[i].empty();
    result[s.call->slot_names[i]] =
        delivered ? nb::object(text(core::join(s.output, s.outputs[i].name))) : nb::object(nb::none());
  }
  if (entry->delivery.stdout_fallback)
    result["stdout"] = text(core::join(core::join(s.output, "stdout"), s.tool + "_stdout.txt"));

  prov::RunRecord rec = session.record(s.run_id, "restored");
  rec.started_ns = s.started_ns;
  rec.ended_ns = now();
  rec.restored_from = entry->run_id;
  rec.cached = true;
  cache::CacheSession::add_outputs(rec, files, s.outputs);
  s.append(rec);
  session.release();
  py::log(kModule, INFO, "Run cache hit for %s: restored the outputs of run %s (key %s)", tool_name,
          text(entry->run_id), key);
  return result;
}

void CachedRun::completed(const RunOutcome& outcome, const PublishedUnits& units, nb::handle result) {
  State& s = *s_;
  cache::CacheSession& session = *s.session;
  cache::Delivery delivery;
  for (const auto& [rel, is_dir] : units) delivery.units.push_back({rel, is_dir});
  for (size_t i = 0; i < s.call->slot_names.size(); ++i) {
    nb::object v = result.attr("get")(s.call->slot_names[i]);
    delivery.result.push_back(v.is_none() ? "" : s.outputs[i].is_dir ? "dir" : "file");
  }
  delivery.stdout_fallback = py::contains(result, "stdout");
  cache::StagedView staged;
  for (auto [slot, value] : s.call->staged)
    staged.emplace_back(PyUnicode_Check(slot.ptr()) ? py::fs_encode(slot) : py::fs_encode(nb::str(slot)),
                        PyList_Check(value.ptr()) ? static_cast<size_t>(nb::len(value)) : size_t{1});

  prov::RunRecord rec = session.record(s.run_id, "completed");
  std::vector<cache::OutputFile> files;
  bool have_files = false;
  if (s.keyed) {
    std::string skipped;
    try {
      std::optional<cache::Entry> entry = py::without_gil([&](const std::function<bool()>& abort) {
        return session.commit(s.run_id, s.started_ns, delivery, staged, &skipped, abort);
      });
      if (entry) {
        for (const auto& f : entry->files)
          files.push_back({core::join(s.output, f.rel), f.rel, f.size, f.sha256});
        have_files = true;
        rec.cached = true;
      } else {
        py::log(kModule, INFO, "Not committing %s to the run cache: %s", s.call->tool_name, text(skipped));
      }
    } catch (const Aborted&) {
      throw;
    } catch (const std::exception& e) {
      s.log_problem("Could not commit %s to the run cache: %s", e);
    }
  }
  if (!have_files) {
    try {
      files = py::without_gil([&](const std::function<bool()>& abort) {
        return cache::describe_outputs(s.cache->memo(), s.output, delivery, abort);
      });
    } catch (const Aborted&) {
      throw;
    } catch (const std::exception&) {
      files.clear();  // the record then names no outputs
    }
  }
  session.release();
  rec.started_ns = s.started_ns;
  rec.ended_ns = now();
  if (outcome.args.is_valid()) rec.arguments = py::to_argv(outcome.args);
  rec.arguments.insert(rec.arguments.begin(), "rivo");
  rec.exit_status = outcome.exit_status;
  rec.recovery = outcome.recovery;
  cache::CacheSession::add_outputs(rec, files, s.outputs);
  s.append(rec);
}

void CachedRun::failed(const std::string& error, const RunOutcome& outcome) {
  State& s = *s_;
  s.session->release();
  prov::RunRecord rec = s.session->record(s.run_id, "failed");
  rec.started_ns = s.started_ns;
  rec.ended_ns = now();
  if (outcome.args.is_valid()) {
    rec.arguments = py::to_argv(outcome.args);
    rec.arguments.insert(rec.arguments.begin(), "rivo");
  }
  rec.recovery = outcome.recovery;
  rec.exit_status = exit_status_of(error);
  // The text may carry a tool's whole output: the record keeps its start.
  rec.error = error.size() > (64u << 10) ? error.substr(0, 64u << 10) + "\n[...]" : error;
  s.append(rec);
}

// ------------------------------------------------------------ RIVO methods

namespace {

nb::object export_provenance(nb::handle self, nb::handle path) {
  py::require_str(path, "path");
  auto root = cache_root(self);
  if (!root)
    py::raise(PyExc_ValueError,
              "There is no run cache to export the provenance of: name one with RIVO(run_cache=PATH) or the "
              "TAVRO_RUN_CACHE environment variable");
  const std::string dir = py::fs_encode(path);
  const std::string target = core::join(dir, "ro-crate-metadata.json");
  {
    nb::gil_scoped_release nogil;
    cache::RunCache rc(*root);
    auto records = prov::read_journal(rc.journal_path());
    std::string doc = prov::ro_crate(records, cache::now_ns()).dump(1) + "\n";
    fs::make_dirs(dir);
    fs::replace_file(target, doc);
  }
  return text(target);
}

nb::dict prune_run_cache(nb::handle self, nb::handle max_bytes) {
  if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr()))
    py::require_type(max_bytes, &PyLong_Type, "max_bytes");
  long long limit = PyLong_AsLongLong(max_bytes.ptr());
  if (limit == -1 && PyErr_Occurred()) throw nb::python_error();
  if (limit < 0) py::raise(PyExc_ValueError, "max_bytes must not be negative");
  auto root = cache_root(self);
  if (!root)
    py::raise(PyExc_ValueError,
              "There is no run cache to prune: name one with RIVO(run_cache=PATH) or the TAVRO_RUN_CACHE "
              "environment variable");
  cache::PruneResult r;
  {
    nb::gil_scoped_release nogil;
    cache::RunCache rc(*root);
    r = rc.prune(static_cast<std::uint64_t>(limit));
  }
  py::log(kModule, INFO, "Pruned the run cache %s: %d entries removed (%d bytes), %d bytes kept",
          text(*root), static_cast<unsigned long long>(r.removed), static_cast<unsigned long long>(r.freed),
          static_cast<unsigned long long>(r.remaining));
  nb::dict out;
  out["removed"] = r.removed;
  out["freed"] = r.freed;
  out["remaining"] = r.remaining;
  out["in_use"] = r.in_use;
  return out;
}

}  // namespace

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
