// The project in a working directory: rivo.toml (the tools asked for),
// rivo.lock (what they resolved to) and the .rivo folder (shims in .rivo/bin,
// the routing table in .rivo/routes, copies of the definitions in .rivo/defs).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "definition.hpp"
#include "util.hpp"

namespace rivo {

// One tool of rivo.toml.
struct ManifestEntry {
  std::string name;
  std::string version;   // the definition's version, or "latest"
  std::string registry;  // the registry it was added from
};

// One tool of rivo.lock.
struct LockedTool {
  std::string name;
  std::string image_reference;
  std::string image_digest;       // the image's repository digest or ID (docker only), else empty
  std::string definition_digest;  // "sha256:" + hash of the definition file
  std::string entrypoint;
  std::string backend;
  std::string version;
  std::string registry;
  bool gpu_required = false;
  std::vector<std::string> binaries;
};

// Lock entry for a definition.
LockedTool lock_entry(const ToolDef& def, const std::string& backend, const std::string& registry);

// Which tool provides `exe` (by base name): the first locked tool listing it
// among its binaries, else the first whose entrypoint has that base name.
const LockedTool* route(const std::vector<LockedTool>& tools, const std::string& exe);

// Binary -> tools providing it, sorted by binary; the first tool is the one
// that runs it.
std::vector<std::pair<std::string, std::vector<std::string>>> routing_table(const std::vector<LockedTool>& tools);

class Project {
 public:
  // Reads rivo.toml and rivo.lock under `root` when they exist; throws
  // Failure when one is not valid TOML or has a malformed tools table.
  explicit Project(fs::path root);
  ~Project();
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;

  const fs::path& root() const { return root_; }
  bool has_manifest() const;
  bool has_lock() const;

  // rivo.toml
  std::vector<ManifestEntry> tools() const;
  bool contains(const std::string& name) const;
  void set_tool(const ManifestEntry& entry);
  bool remove_tool(const std::string& name);
  void save_manifest() const;

  // rivo.lock
  std::vector<LockedTool> locked() const;
  std::optional<LockedTool> locked_tool(const std::string& name) const;
  // Would writing these entries change the lock's tools table?
  bool lock_differs(const std::vector<LockedTool>& entries) const;
  void save_lock(const std::vector<LockedTool>& entries);

  // .rivo folder
  fs::path shim_dir() const { return root_ / ".rivo" / "bin"; }
  void write_shims(const std::vector<LockedTool>& entries) const;
  void store_definition(const ToolDef& def) const;
  void drop_definition(const std::string& name) const;
  // Deletes the kept copies of tools that are no longer in the project.
  void prune_definitions(const std::vector<LockedTool>& entries) const;
  std::optional<ToolDef> stored_definition(const std::string& name) const { return stored_definition(root_, name); }
  // The same without reading the project files.
  static std::optional<ToolDef> stored_definition(const fs::path& root, const std::string& name);

 private:
  struct Docs;
  fs::path root_;
  std::unique_ptr<Docs> docs_;
};

}  // namespace rivo
