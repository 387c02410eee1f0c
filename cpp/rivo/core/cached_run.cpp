#include "rivo/core/cached_run.hpp"

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"
#include "rivo/core/reap.hpp"

namespace tavro::rivo {
namespace {

std::vector<cache::OutputSpec> output_specs(const RunPlan& plan) {
  std::vector<cache::OutputSpec> out;
  for (const auto& o : plan.outputs) out.push_back({o.name, o.is_dir});
  return out;
}

std::vector<std::string> envp(const RunPlan& plan) {
  std::vector<std::string> out;
  out.reserve(plan.env.size());
  for (const auto& [k, v] : plan.env) out.push_back(k + "=" + v);
  return out;
}

std::string env_value(const RunPlan& plan, const char* key) {
  for (const auto& [k, v] : plan.env)
    if (k == key) return v;
  return "";
}

// The result map a harvest would have returned for what the entry holds.
RunResult restored_result(const RunPlan& plan, const cache::Entry& entry) {
  RunResult result;
  const auto& kinds = entry.delivery.result;
  for (size_t i = 0; i < plan.outputs.size(); ++i) {
    const OutputSlot& slot = plan.outputs[i];
    ResultEntry e{slot.name, ResultEntry::Kind::None, {}};
    if (i < kinds.size() && !kinds[i].empty()) {
      e.kind = ResultEntry::Kind::Path;
      e.paths = {fs::join(plan.output_dir, slot.name)};
    }
    result.push_back(std::move(e));
  }
  if (entry.delivery.stdout_fallback)
    result.push_back(
        {"stdout", ResultEntry::Kind::Path, {fs::join(fs::join(plan.output_dir, "stdout"), plan.tool + "_stdout.txt")}});
  return result;
}

}  // namespace

std::optional<int> exit_status_of(const std::string& error_text) {
  const std::string marker = " failed (exit ";
  auto at = error_text.find(marker);
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + marker.size(), end = error_text.find(')', i);
  if (end == std::string::npos || end == i || end - i > 6) return std::nullopt;
  int v = 0;
  bool negative = error_text[i] == '-';
  for (std::size_t k = i + negative; k < end; ++k) {
    if (error_text[k] < '0' || error_text[k] > '9') return std::nullopt;
    v = v * 10 + (error_text[k] - '0');
  }
  if (negative && end == i + 1) return std::nullopt;
  return negative ? -v : v;
}

CachedRun::CachedRun(std::string root) : root_(std::move(root)) {}
CachedRun::~CachedRun() = default;

void CachedRun::append(const prov::RunRecord& rec, const std::string& tool, Log& log) {
  recorded_ = true;
  try {
    prov::append_record(cache_->journal_path(), prov::record_json(rec));
  } catch (const std::exception& e) {
    log.warning("Could not write the provenance record of %s: %s", tool, std::string(e.what()));
  }
}

std::optional<RunResult> CachedRun::lookup(const RunPlan& plan, const CacheContext& ctx, Log& log,
                                           const cache::AbortHook& abort) {
  started_ns_ = cache::now_ns();
  run_id_ = random_hex(16);
  tool_ = plan.tool;
  try {
    cache_ = std::make_unique<cache::RunCache>(root_);
  } catch (const std::exception& e) {
    log.warning("Run cache %s cannot be used: %s", root_, std::string(e.what()));
    return std::nullopt;
  }

  cache::SessionRequest req;
  req.tool = plan.tool;
  req.entrypoint = plan.entrypoint;
  req.args_template = plan.args_template;
  if (!plan.image.empty()) req.image = plan.image;
  req.outputs = output_specs(plan);
  req.inputs = plan.inputs;
  req.output_dir = plan.output_dir;
  req.identity.tool = plan.tool;
  req.identity.entrypoint = plan.entrypoint;
  req.identity.manifest_image = req.image;
  req.identity.locked = ctx.locked;
  req.identity.backend_override = env_value(plan, "RIVO_BACKEND");
  req.identity.env = envp(plan);
  req.identity.docker = ctx.docker;
  session_ = std::make_unique<cache::CacheSession>(*cache_, std::move(req));
  cache::CacheSession& session = *session_;
  session.prepare(abort);
  if (log.enabled(Level::Debug))
    for (const auto& [path, bytes] : session.reads()) log.debug("Hashed %s for the run cache: %d bytes", path, bytes);
  keyed_ = session.keyed();
  if (!keyed_) {
    log.info("Run cache not used for %s: %s", plan.tool, session.problem());
    return std::nullopt;
  }

  const std::string key = session.key();
  std::optional<cache::Entry> entry;
  std::string dropped;
  try {
    auto on_wait = [&](double) {
      log.info("Waiting for another run of %s with the same inputs (run cache key %s)", plan.tool, key);
    };
    entry = session.lookup(on_wait, abort, &dropped);
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& e) {
    log.warning("Run cache lookup for %s failed; running it uncached: %s", plan.tool, std::string(e.what()));
    keyed_ = false;
    session.release();
    return std::nullopt;
  }
  if (!dropped.empty())
    log.warning("Run cache entry %s of %s was damaged (%s); running the tool again", key, plan.tool, dropped);
  if (!entry) {
    if (log.enabled(Level::Debug)) {
      std::string why;
      for (const auto& d : session.why_missed()) {
        if (!why.empty()) why += "; ";
        why += d;
      }
      log.debug("Run cache miss for %s (key %s): %s", plan.tool, key,
                why.empty() ? std::string("no earlier entry of this tool") : why);
    }
    return std::nullopt;
  }
  std::vector<cache::OutputFile> files;
  try {
    // Held as a harvest holds it: a run starting beside this one must not
    // take the restore's half-published files for a dead run's leftovers.
    fs::Fd output_lock = lock_output_dir(plan.output_dir);
    files = session.restore(*entry);
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& e) {
    log.warning("Run cache entry %s of %s could not be restored (%s); running the tool again", key, plan.tool,
                std::string(e.what()));
    try {
      cache_->drop(key);
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  prov::RunRecord rec = session.record(run_id_, "restored");
  rec.started_ns = started_ns_;
  rec.ended_ns = cache::now_ns();
  rec.restored_from = entry->run_id;
  rec.cached = true;
  cache::CacheSession::add_outputs(rec, files, output_specs(plan));
  append(rec, plan.tool, log);
  session.release();
  log.info("Run cache hit for %s: restored the outputs of run %s (key %s)", plan.tool, entry->run_id, key);
  return restored_result(plan, *entry);
}

void CachedRun::completed(const RunPlan& plan, const Staged& staged, const RunResult& result,
                          const Published& published, const RunOutcome& outcome, Log& log,
                          const cache::AbortHook& abort) {
  if (!session_ || recorded_) return;
  cache::CacheSession& session = *session_;
  const std::vector<cache::OutputSpec> outputs = output_specs(plan);
  cache::Delivery delivery;
  for (const auto& u : published) delivery.units.push_back({u.rel, u.is_dir});
  for (size_t i = 0; i < plan.outputs.size(); ++i) {
    bool delivered = i < result.size() && result[i].kind != ResultEntry::Kind::None;
    delivery.result.push_back(!delivered ? "" : plan.outputs[i].is_dir ? "dir" : "file");
  }
  delivery.stdout_fallback = result.size() > plan.outputs.size();
  cache::StagedView staged_view;
  for (const auto& s : staged) staged_view.emplace_back(s.slot, s.paths.size());

  prov::RunRecord rec = session.record(run_id_, "completed");
  std::vector<cache::OutputFile> files;
  bool have_files = false;
  if (keyed_) {
    std::string skipped;
    try {
      std::optional<cache::Entry> entry = session.commit(run_id_, started_ns_, delivery, staged_view, &skipped, abort);
      if (entry) {
        for (const auto& f : entry->files) files.push_back({fs::join(plan.output_dir, f.rel), f.rel, f.size, f.sha256});
        have_files = true;
        rec.cached = true;
      } else {
        log.info("Not committing %s to the run cache: %s", plan.tool, skipped);
      }
    } catch (const Aborted&) {
      throw;
    } catch (const std::exception& e) {
      log.warning("Could not commit %s to the run cache: %s", plan.tool, std::string(e.what()));
    }
  }
  if (!have_files) {
    try {
      files = cache::describe_outputs(cache_->memo(), plan.output_dir, delivery, abort);
    } catch (const Aborted&) {
      throw;
    } catch (const std::exception&) {
      files.clear();  // the record then names no outputs
    }
  }
  session.release();
  rec.started_ns = started_ns_;
  rec.ended_ns = cache::now_ns();
  rec.arguments = outcome.args;
  rec.arguments.insert(rec.arguments.begin(), "rivo");
  rec.exit_status = 0;
  rec.recovery = outcome.recovery;
  cache::CacheSession::add_outputs(rec, files, outputs);
  append(rec, plan.tool, log);
}

void CachedRun::failed(const std::string& error, const RunOutcome& outcome, Log& log) {
  if (!session_ || recorded_) return;
  session_->release();
  prov::RunRecord rec = session_->record(run_id_, "failed");
  rec.started_ns = started_ns_;
  rec.ended_ns = cache::now_ns();
  if (!outcome.args.empty()) {
    rec.arguments = outcome.args;
    rec.arguments.insert(rec.arguments.begin(), "rivo");
  }
  rec.recovery = outcome.recovery;
  rec.exit_status = exit_status_of(error);
  // The text may carry a tool's whole output: the record keeps its start.
  constexpr std::size_t kKept = std::size_t{64} << 10;
  rec.error = error.size() > kKept ? error.substr(0, kKept) + "\n[...]" : error;
  append(rec, tool_, log);
}

}  // namespace tavro::rivo
