// The run cache: the outputs of completed tool runs, stored under a key made
// from everything that shapes a run, so that a run met again is restored
// instead of executed. Plain C++ on plain values, no Python.
//
// Layout of a cache folder (shared by every process and machine that names
// it; the file system must offer flock and an atomic rename, as the rivo
// project lock needs):
//   entries/<key>/manifest.json   what the entry holds (see Entry)
//   entries/<key>/files/...       the outputs, laid out as in output_dir
//   entries/.tmp-<key>-<random>   an entry being written (renamed into place)
//   locks/<key>.lock              one flight per key
//   latest/<hash of tool name>    the key of the tool's newest entry
//   memo/<dev>-<ino>              the content-hash memo
//   provenance.jsonl              the journal of runs (provenance.hpp)
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/fd.hpp"
#include "rivo/core/content_hash.hpp"

namespace tavro::rivo::cache {

using json = nlohmann::json;  // objects keep their keys sorted: canonical

// Version of the key scheme and entry format; a change makes every key new.
inline constexpr int kVersion = 1;

// A file-system string (bytes) as JSON: a string when it is valid UTF-8,
// else {"bytes": hex}; fs_string() reverses it.
json fs_json(const std::string& bytes);
std::string fs_string(const json& j);
bool valid_utf8(std::string_view s);

// ---------------------------------------------------------------- the key

struct OutputSpec {
  std::string name;  // file-system spelling
  bool is_dir = false;
};

// One element of an input's value, as the run treats it: a path it stages,
// a text it substitutes, or a number or Boolean it substitutes as str()
// writes it.
struct InputItem {
  enum class Kind { Path, Text, Scalar };
  Kind kind = Kind::Text;
  std::string text;   // Path: its file-system spelling; else the value's text
  PathDigest digest;  // Path: filled by hash_inputs
};

// One input slot: a single value, or a list staged element by element.
struct InputSlot {
  std::string slot;  // file-system spelling
  bool is_list = false;
  std::vector<InputItem> items;
};

struct KeyParts {
  std::string tool;
  std::optional<std::string> image;  // the manifest's "image" when it is a str
  std::string entrypoint;            // as the run uses it (the tool name when unset)
  std::string args_template;         // "" when unset
  std::vector<OutputSpec> outputs;
  std::string image_identity;        // the image's digest or ID, or the executable's hash
  std::string backend;
  std::vector<InputSlot> inputs;     // in the order of the run's inputs
};

// Hashes every Path item (through the memo).
void hash_inputs(KeyParts& parts, HashMemo& memo, const AbortHook& abort = {});

// The key components as canonical JSON, and the key: SHA-256 of its compact
// text (sorted keys, no spaces, non-ASCII escaped).
json components(const KeyParts& parts);
std::string key_of(const json& components);

// Why a key missed: what differs between the components of an earlier entry
// and these, as "inputs.reads: content changed", "image: changed", ...
std::vector<std::string> differences(const json& before, const json& now);

// --------------------------------------------------------------- an entry

// One piece of a node's output folder as the harvest published it whole:
// a file or a folder, by its path below the output folder ('/'-joined).
struct Unit {
  std::string rel;
  bool is_dir = false;
};

// What a completed run delivered into its output folder.
struct Delivery {
  std::vector<Unit> units;            // in the order they were published
  std::vector<std::string> result;    // per output slot: "file", "dir" or "" (None)
  bool stdout_fallback = false;       // "stdout" in the result (its file is a unit)
};

struct StoredFile {
  std::string rel;
  std::uint64_t size = 0;
  std::string sha256;
  unsigned mode = 0;
  // The entry's own copy as stat saw it after the commit; a copy that still
  // matches was not written since (no need to read it to trust it).
  std::uint64_t ino = 0;
  std::int64_t mtime_ns = 0, ctime_ns = 0;
};

struct Entry {
  std::string key, tool, run_id, created;
  json components;
  Delivery delivery;
  std::vector<std::pair<std::string, unsigned>> dirs;  // rel, mode
  std::vector<StoredFile> files;
  std::uint64_t bytes = 0;
};

// A restored (or committed) output file: where it is now and what it holds.
struct OutputFile {
  std::string path;  // spelled from the output folder
  std::string rel;
  std::uint64_t size = 0;
  std::string sha256;
};

// ------------------------------------------------------------------ locks

// The exclusive lock of one key, held for as long as this object lives; the
// kernel releases it when the holder dies, however it ends.
class KeyLock {
 public:
  KeyLock() = default;
  bool held() const { return static_cast<bool>(fd_); }
  void release() { fd_.reset(); }

  // Waits for the lock of `path` (created when missing). `on_wait` is called
  // once after a second of waiting, then every minute; `should_abort` is
  // polled and ends the wait with tavro::Aborted.
  static KeyLock acquire(const std::string& path, const std::function<void(double)>& on_wait,
                         const AbortHook& should_abort);
  // The lock when it is free now, else an empty KeyLock. A missing lock
  // file is created only with `create`.
  static KeyLock try_acquire(const std::string& path, bool create = true);

 private:
  explicit KeyLock(fs::Fd fd) : fd_(std::move(fd)) {}
  fs::Fd fd_;
};

// --------------------------------------------------------------- the cache

struct PruneResult {
  std::size_t removed = 0;      // entries removed
  std::uint64_t freed = 0;      // their bytes
  std::uint64_t remaining = 0;  // bytes of the entries kept
  std::size_t in_use = 0;       // entries that had to stay because a run held them
};

class RunCache {
 public:
  explicit RunCache(std::string root);

  const std::string& root() const { return root_; }
  HashMemo& memo() { return memo_; }
  std::string journal_path() const { return root_ + "/provenance.jsonl"; }
  std::string entry_dir(const std::string& key) const { return root_ + "/entries/" + key; }

  // One flight per key: the key's lock, waited for.
  KeyLock lock(const std::string& key, const std::function<void(double)>& on_wait,
               const AbortHook& should_abort) const;

  // The entry of `key`, checked against its manifest: every file present
  // with its size, and one whose stat changed since the commit read again
  // and compared with its SHA-256. A damaged entry is removed and nothing
  // returned, with the reason in `dropped`. Call with the key's lock held.
  std::optional<Entry> lookup(const std::string& key, std::string* dropped = nullptr,
                              const AbortHook& abort = {});

  // Puts the entry's outputs into `output` as the harvest would have: each
  // unit published whole under its name (a copy or a reflink clone, never a
  // link into the cache), each size checked. Marks the entry used.
  std::vector<OutputFile> restore(const Entry& entry, const std::string& output) const;

  // Stores what a completed run delivered into `output`: the units copied
  // into a temporary entry, each file hashed and synced, the manifest
  // written, and the entry renamed into place (the commit). On any failure
  // nothing is left and the error is thrown. Call with the key's lock held.
  Entry commit(const std::string& key, const json& components, const std::string& tool,
               const std::string& run_id, const std::string& created, const std::string& output,
               const Delivery& delivery, const AbortHook& abort = {});

  // Removes an entry (with the key's lock held).
  void drop(const std::string& key) const;

  // The components of the newest entry of `tool`, when there is one.
  std::optional<json> newest_components(const std::string& tool) const;

  // Removes entries, least recently used first, until the rest take at
  // most `max_bytes`; an entry whose lock a run holds stays. Also removes
  // what dead writers left and stale memo entries.
  PruneResult prune(std::uint64_t max_bytes);

 private:
  std::string root_;
  HashMemo memo_;
};

// Hashes the files a run delivered (for provenance when nothing was
// committed): each unit's regular files with their size and SHA-256.
std::vector<OutputFile> describe_outputs(HashMemo& memo, const std::string& output, const Delivery& delivery,
                                         const AbortHook& abort = {});

}  // namespace tavro::rivo::cache
