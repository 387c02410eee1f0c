// RIVO.run's use of the run cache and the provenance journal: the Python
// side of cache_session.hpp. The run calls start() after planning, lookup()
// before staging, and completed() or failed() when it ends.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rivo/rivo.hpp"

namespace tavro::rivo {

struct RunCall;
struct RunPlan;

// What the harvest published into the output folder, in order: each unit
// (a file or a folder, by its path below the output folder) put there whole.
using PublishedUnits = std::vector<std::pair<std::string, bool>>;

// How the tool run went, for the record.
struct RunOutcome {
  nb::object args;         // the rivo command line of the run that succeeded (a list)
  std::string recovery;    // "", "relocated paths", "LLM-written arguments"
  std::optional<int> exit_status;
};

class CachedRun {
 public:
  // The run's cache session, or nullptr when the instance names no cache.
  static std::unique_ptr<CachedRun> start(RunCall& call, const RunPlan& plan);
  ~CachedRun();
  CachedRun(const CachedRun&) = delete;
  CachedRun& operator=(const CachedRun&) = delete;

  // One flight per key, then the entry: the result map of the restored
  // outputs on a hit (recorded as a restore), else an invalid object.
  nb::object lookup();

  // After a completed harvest: commit (when keyed) and record.
  void completed(const RunOutcome& outcome, const PublishedUnits& units, nb::handle result);

  // The run raised `error` (its text is recorded).
  void failed(const std::string& error, const RunOutcome& outcome);

  struct State;

 private:
  explicit CachedRun(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

// The exit status a "rivo ... failed (exit N)" error names, if any.
std::optional<int> exit_status_of(const std::string& error_text);

void bind_run_cache(nb::module_& m, Class& cls);

}  // namespace tavro::rivo
