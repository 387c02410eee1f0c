// Provenance of tool runs: one JSON record per run (real, restored from the
// run cache, or failed), appended and synced to a journal as the run ends,
// and the journal exported as an RO-Crate (Process Run Crate profile). No
// data is copied: files are named by path, size and SHA-256. Plain C++.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavro::rivo::prov {

using json = nlohmann::json;

struct ProvFile {
  std::string slot;  // the input or output slot ("" for extras)
  std::string path;  // as the run saw it (file-system spelling)
  bool is_dir = false;
  std::uint64_t size = 0;
  std::string sha256;  // "" when not known
};

struct RunRecord {
  std::string run_id;
  std::string tool;
  std::string status;  // "completed", "restored" or "failed"
  std::string key;     // the run cache key, "" when the run had none
  json components;     // the key components, null without a key
  std::string image_reference, image_identity, backend;
  std::vector<std::string> arguments;  // the rivo command line of the tool run
  std::int64_t started_ns = 0, ended_ns = 0;
  std::optional<int> exit_status;
  std::string recovery;  // "", "relocated paths" or "LLM-written arguments"
  std::vector<ProvFile> inputs, outputs;
  std::string output_dir;
  std::string restored_from;  // restores: the run that made the entry
  bool cached = false;        // its outputs were committed to the run cache
  std::string error;          // failed runs: the error's text
};

// ISO 8601 in UTC with milliseconds: "2026-05-01T12:00:00.123+00:00".
std::string iso_time(std::int64_t ns);

json record_json(const RunRecord& r);

// Appends one record as a line of `journal` under an exclusive lock (so
// writers on several machines never interleave) and syncs it before
// returning: a pipeline killed later keeps the record. Throws OsError.
void append_record(const std::string& journal, const json& record);

// The journal's records in order; a line cut short by a crash is skipped.
std::vector<json> read_journal(const std::string& journal);

// The records as an RO-Crate metadata document: one CreateAction per run
// (instrument: the tool as a SoftwareApplication; containerImage: the image
// as a ContainerImage with its digest; object and result: Files with sha256
// and contentSize, named by file: URI), failed runs with
// FailedActionStatus and their error.
json ro_crate(const std::vector<json>& records, std::int64_t published_ns);

}  // namespace tavro::rivo::prov
