// One tool run's use of the run cache and the provenance journal, on plain
// values: the key made before staging, the lookup under the key's lock, the
// restore of a hit, the commit after a completed harvest, and the record of
// the run. A cache problem never changes what the run does: it makes the run
// uncached (problem() says why), nothing more.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rivo/core/image_identity.hpp"
#include "rivo/core/plan.hpp"
#include "rivo/core/provenance.hpp"
#include "rivo/core/run_cache.hpp"

namespace tavro::rivo::cache {

struct SessionRequest {
  std::string tool, entrypoint, args_template;
  std::optional<std::string> image;  // the manifest's
  std::vector<OutputSpec> outputs;
  std::vector<rivo::InputSlot> inputs;  // as the run plan has them
  std::string output_dir;
  IdentityRequest identity;
};

// A staged input slot as the run staged it (slot, number of paths).
using StagedView = std::vector<std::pair<std::string, std::size_t>>;

class CacheSession {
 public:
  CacheSession(RunCache& cache, SessionRequest req);

  // Hashes the inputs and finds the image identity. Throws only Aborted;
  // everything else makes the run uncached.
  void prepare(const AbortHook& abort);

  bool keyed() const { return !key_.empty(); }
  const std::string& key() const { return key_; }
  const std::string& problem() const { return problem_; }
  const json& components() const { return components_; }
  const ImageIdentity& identity() const { return identity_; }
  // Files read for the key: (path, bytes).
  const std::vector<std::pair<std::string, std::uint64_t>>& reads() const { return reads_; }

  // One flight: waits for the key's lock (on_wait is called while waiting),
  // then looks the entry up. A damaged entry is dropped (`dropped` says
  // why) and the run goes on as a miss, still holding the lock.
  std::optional<Entry> lookup(const std::function<void(double)>& on_wait, const AbortHook& abort,
                              std::string* dropped);
  // What differs from the newest entry of the tool ("" entries: none known).
  std::vector<std::string> why_missed() const;

  // A hit delivered into the output folder.
  std::vector<OutputFile> restore(const Entry& e) { return cache_.restore(e, req_.output_dir); }

  // After a completed harvest: the inputs must be what was hashed (same
  // stat, staged as the key assumed); then the delivery is committed.
  // Returns the committed entry, or nothing with the reason in `skipped`.
  // Throws on a failed commit (nothing is left behind).
  std::optional<Entry> commit(const std::string& run_id, std::int64_t started_ns, const Delivery& delivery,
                              const StagedView& staged, std::string* skipped, const AbortHook& abort);

  void release() { lock_.release(); }

  // The run's record, with its inputs (hashes from the key) filled in.
  prov::RunRecord record(const std::string& run_id, const std::string& status) const;
  static void add_outputs(prov::RunRecord& r, const std::vector<OutputFile>& files,
                          const std::vector<OutputSpec>& outputs);

 private:
  RunCache& cache_;
  SessionRequest req_;
  KeyParts parts_;
  json components_;
  std::string key_, problem_;
  ImageIdentity identity_;
  std::vector<std::pair<std::string, std::uint64_t>> reads_;
  KeyLock lock_;
};

// An absolute spelling of `path` (relative to the current folder).
std::string absolute(const std::string& path);

}  // namespace tavro::rivo::cache
