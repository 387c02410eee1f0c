// RIVO.run with a run cache, on plain values: what a run's hooks do at the
// seams of run_tool (lookup after the plan, commit after the harvest) and
// when the run fails. A cache problem never changes what the run delivers:
// it is logged and the run goes on uncached.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rivo/core/cache_session.hpp"
#include "rivo/core/log.hpp"
#include "rivo/core/plan.hpp"

namespace tavro::rivo {

// What only the caller can tell of a run's surroundings.
struct CacheContext {
  std::vector<cache::LockedTool> locked;  // rivo.lock of the run's project, in file order
  std::string docker;                     // the Docker program for `image inspect`
};

// How the tool run went, for its record.
struct RunOutcome {
  std::vector<std::string> args;  // the rivo command line of the last attempt ("exec", entrypoint, ...)
  std::string recovery;           // "", "relocated paths" or "LLM-written arguments"
};

class CachedRun {
 public:
  // `root` is the cache folder; nothing is touched before lookup().
  explicit CachedRun(std::string root);
  ~CachedRun();
  CachedRun(const CachedRun&) = delete;
  CachedRun& operator=(const CachedRun&) = delete;

  // Before anything is made: the key from the plan's inputs (content
  // hashes through the memo) and what the run will execute, one flight per
  // key, then the entry. On a hit the outputs are restored into the output
  // folder and the run is recorded as a restore. Throws only Aborted.
  std::optional<RunResult> lookup(const RunPlan& plan, const CacheContext& ctx, Log& log,
                                  const cache::AbortHook& abort);

  // After a completed harvest: the outputs committed (when the run is keyed
  // and its inputs are still what was hashed) and the run recorded. Throws
  // only Aborted.
  void completed(const RunPlan& plan, const Staged& staged, const RunResult& result, const Published& published,
                 const RunOutcome& outcome, Log& log, const cache::AbortHook& abort);

  // The run failed after the lookup missed: recorded with the error's text.
  void failed(const std::string& error, const RunOutcome& outcome, Log& log);

 private:
  void append(const prov::RunRecord& rec, const std::string& tool, Log& log);

  std::string root_;
  std::string run_id_, tool_;
  std::int64_t started_ns_ = 0;
  std::unique_ptr<cache::RunCache> cache_;
  std::unique_ptr<cache::CacheSession> session_;
  bool keyed_ = false;
  bool recorded_ = false;
};

// The exit status a "rivo ... failed (exit N)" text names, if any.
std::optional<int> exit_status_of(const std::string& error_text);

}  // namespace tavro::rivo
