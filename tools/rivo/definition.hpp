// Tool definitions: one TOML file per tool in a registry folder
// (<registry>/<tool>.toml), and the registry itself.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "resources.hpp"
#include "util.hpp"

namespace rivo {

// JSON documents keep their members in insertion order (file order for the
// annotations copied from a definition).
using Json = nlohmann::ordered_json;

// Two-space indented text without a trailing newline; bytes that are not
// UTF-8 become U+FFFD, so the output is always valid JSON.
std::string dump_json(const Json& doc);

struct Slot {
  std::string name;
  std::string type;         // "fastq", "bam", "dir", ...
  std::string description;
  bool required = false;
  Json extra = Json::object();  // further annotations of the slot, in file order
};

struct ToolDef {
  std::string name;
  std::string description;
  std::string image;
  std::string entrypoint;     // defaults to the first binary, else the tool name
  std::string args_template;
  bool gpu_required = false;
  std::string tier;           // defaults to "core"
  std::string version;        // optional; "latest" when absent
  std::vector<std::string> binaries;  // defaults to the entrypoint's base name
  std::vector<Slot> inputs;
  std::vector<Slot> outputs;
  Resources resources;          // [resources]: what the tool needs of the machine
  Json extra = Json::object();  // other top-level keys, in file order
  std::string source_text;      // the file's bytes, hashed into the lock
  std::string origin;           // where it was read from, for messages

  // Full definition as JSON (the `show --format json` document).
  Json to_json() const;
};

// Parses one definition. `name` is the tool name (the file's stem). Throws
// Failure with the origin and position on TOML errors, on keys of the
// wrong type and on bad resources, and naming the file when it nests too
// deeply to be read (toml_read.hpp).
ToolDef parse_definition(const std::string& name, const std::string& text, const std::string& origin);

// The registry folder, from --registry or RIVO_REGISTRY.
class Registry {
 public:
  // `location` as given; a "file://" prefix is accepted. Empty = none configured.
  explicit Registry(std::string location);

  const std::string& location() const { return location_; }
  // True when the location names an existing directory (for a Git
  // registry: when its checkout is in the cache).
  bool usable() const;
  // Throws Failure (exit status 2) explaining why the registry cannot be
  // read. A Git registry is cloned here when the cache has no copy.
  void require() const;
  // A Git registry: brings the cached checkout up to date when the remote
  // is reachable (`add` and `sync` do this); nothing for a folder.
  void refresh() const;
  bool is_git() const { return git_; }

  // Path of <tool>.toml when the registry is usable and has it.
  std::optional<fs::path> find(const std::string& tool) const;
  // Reads and parses <tool>.toml; nullopt when the registry lacks it.
  std::optional<ToolDef> load(const std::string& tool) const;
  // Names of all definitions, sorted.
  std::vector<std::string> names() const;

 private:
  // A Git registry's checkout, cloned on first use; false when that failed.
  bool ensure_checkout() const;

  std::string location_;
  fs::path dir_;
  bool git_ = false;
  mutable bool prepared_ = false;
};

}  // namespace rivo
