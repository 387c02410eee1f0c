#include "project.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "common/publish.hpp"
#include "sha256.hpp"
#include "toml_read.hpp"

namespace rivo {

struct Project::Docs {
  bool has_manifest = false;
  bool has_lock = false;
  toml::table manifest;
  toml::table lock;
};

namespace {

constexpr const char* kManifestName = "rivo.toml";
constexpr const char* kLockName = "rivo.lock";

toml::table load_toml(const fs::path& path) { return read_toml(read_file(path), path.string()); }

// The document's tools table; absent is fine, anything but a table of tables is not.
const toml::table* tools_of(const toml::table& doc, const char* file) {
  const toml::node* node = doc.get("tools");
  if (!node) return nullptr;
  if (!node->is_table()) throw Failure(std::string(file) + ": 'tools' must be a table keyed by tool name");
  for (auto&& [k, v] : *node->as_table())
    if (!v.is_table())
      throw Failure(std::string(file) + ": tools." + std::string(k.str()) + " must be a table");
  return node->as_table();
}

toml::table& tools_for_write(toml::table& doc) {
  toml::node* node = doc.get("tools");
  if (!node || !node->is_table()) {
    doc.insert_or_assign("tools", toml::table{});
    node = doc.get("tools");
  }
  return *node->as_table();
}

std::string str_of(const toml::table& t, const char* key) {
  const toml::node* n = t.get(key);
  return n && n->is_string() ? n->as_string()->get() : std::string();
}

toml::table lock_table(const LockedTool& e) {
  toml::array bins;
  for (const auto& b : e.binaries) bins.push_back(b);
  toml::table t;
  t.insert_or_assign("image_reference", e.image_reference);
  if (!e.image_digest.empty()) t.insert_or_assign("image_digest", e.image_digest);
  if (!e.definition_digest.empty()) t.insert_or_assign("definition_digest", e.definition_digest);
  t.insert_or_assign("entrypoint", e.entrypoint);
  t.insert_or_assign("binaries", std::move(bins));
  t.insert_or_assign("backend", e.backend);
  t.insert_or_assign("gpu_required", e.gpu_required);
  if (!e.version.empty()) t.insert_or_assign("version", e.version);
  if (!e.registry.empty()) t.insert_or_assign("registry", e.registry);
  return t;
}

toml::table tools_table(const std::vector<LockedTool>& entries) {
  toml::table tools;
  for (const auto& e : entries) tools.insert_or_assign(e.name, lock_table(e));
  return tools;
}

// Project files are replaced whole, synced and renamed into place: the
// package's Python side rewrites the same files the same way.
void write_whole(const fs::path& path, std::string_view data, std::optional<mode_t> mode = std::nullopt) {
  tavro::fs::PublishBytes opts;
  opts.mode = mode;
  tavro::fs::publish_bytes(path.string(), data, opts);
}

std::string serialise(const toml::table& doc, const char* header) {
  std::ostringstream os;
  os << header << doc << '\n';
  return os.str();
}

}  // namespace

LockedTool lock_entry(const ToolDef& def, const std::string& backend, const std::string& registry) {
  LockedTool e;
  e.name = def.name;
  e.image_reference = def.image;
  e.definition_digest = "sha256:" + sha256_hex(def.source_text);
  e.entrypoint = def.entrypoint;
  e.backend = backend;
  e.version = def.version.empty() ? "latest" : def.version;
  e.registry = registry;
  e.gpu_required = def.gpu_required;
  e.binaries = def.binaries;
  return e;
}

const LockedTool* route(const std::vector<LockedTool>& tools, const std::string& exe) {
  std::string base = base_name(exe);
  for (const auto& t : tools)
    if (std::find(t.binaries.begin(), t.binaries.end(), base) != t.binaries.end()) return &t;
  for (const auto& t : tools)
    if (!t.entrypoint.empty() && base_name(t.entrypoint) == base) return &t;
  return nullptr;
}

std::vector<std::pair<std::string, std::vector<std::string>>> routing_table(const std::vector<LockedTool>& tools) {
  std::map<std::string, std::vector<std::string>> table;
  for (const auto& t : tools) {
    std::vector<std::string> bins = t.binaries;
    std::string entry = base_name(t.entrypoint);
    if (!entry.empty() && is_safe_name(entry) && std::find(bins.begin(), bins.end(), entry) == bins.end())
      bins.push_back(entry);
    for (const auto& b : bins) {
      if (!is_safe_name(b)) continue;
      auto& providers = table[b];
      if (std::find(providers.begin(), providers.end(), t.name) == providers.end()) providers.push_back(t.name);
    }
  }
  return {table.begin(), table.end()};
}

Project::Project(fs::path root) : root_(std::move(root)), docs_(std::make_unique<Docs>()) {
  std::error_code ec;
  if (fs::exists(root_ / kManifestName, ec)) {
    docs_->manifest = load_toml(root_ / kManifestName);
    docs_->has_manifest = true;
    tools_of(docs_->manifest, kManifestName);
  }
  if (fs::exists(root_ / kLockName, ec)) {
    docs_->lock = load_toml(root_ / kLockName);
    docs_->has_lock = true;
    tools_of(docs_->lock, kLockName);
  }
}

Project::~Project() = default;

bool Project::has_manifest() const { return docs_->has_manifest; }
bool Project::has_lock() const { return docs_->has_lock; }

std::vector<ManifestEntry> Project::tools() const {
  std::vector<ManifestEntry> out;
  const toml::table* tools = tools_of(docs_->manifest, kManifestName);
  if (!tools) return out;
  for (auto [k, v] : in_file_order(*tools)) {
    const toml::table& t = *v->as_table();
    out.push_back({std::string(k->str()), str_of(t, "version"), str_of(t, "registry")});
  }
  return out;
}

bool Project::contains(const std::string& name) const {
  const toml::table* tools = tools_of(docs_->manifest, kManifestName);
  return tools && tools->contains(name);
}

void Project::set_tool(const ManifestEntry& entry) {
  toml::table& tools = tools_for_write(docs_->manifest);
  toml::node* existing = tools.get(entry.name);
  if (!existing || !existing->is_table()) {
    tools.insert_or_assign(entry.name, toml::table{});
    existing = tools.get(entry.name);
  }
  toml::table& t = *existing->as_table();  // other keys of the entry are kept
  t.insert_or_assign("version", entry.version.empty() ? std::string("latest") : entry.version);
  if (!entry.registry.empty()) t.insert_or_assign("registry", entry.registry);
  docs_->has_manifest = true;
}

bool Project::remove_tool(const std::string& name) {
  toml::node* node = docs_->manifest.get("tools");
  if (!node || !node->is_table()) return false;
  return node->as_table()->erase(name) > 0;
}

void Project::save_manifest() const {
  if (!docs_->manifest.contains("tools")) tools_for_write(docs_->manifest);
  write_whole(root_ / kManifestName, serialise(docs_->manifest, "# Tools of this rivo project.\n"));
}

std::vector<LockedTool> Project::locked() const {
  std::vector<LockedTool> out;
  const toml::table* tools = tools_of(docs_->lock, kLockName);
  if (!tools) return out;
  for (auto [k, v] : in_file_order(*tools)) {
    const toml::table& t = *v->as_table();
    LockedTool e;
    e.name = std::string(k->str());
    e.image_reference = str_of(t, "image_reference");
    e.image_digest = str_of(t, "image_digest");
    e.definition_digest = str_of(t, "definition_digest");
    e.entrypoint = str_of(t, "entrypoint");
    e.backend = str_of(t, "backend");
    e.version = str_of(t, "version");
    e.registry = str_of(t, "registry");
    if (const toml::node* g = t.get("gpu_required"); g && g->is_boolean()) e.gpu_required = g->as_boolean()->get();
    if (const toml::node* b = t.get("binaries"); b && b->is_array())
      for (const auto& item : *b->as_array())
        if (item.is_string()) e.binaries.push_back(item.as_string()->get());
    out.push_back(std::move(e));
  }
  return out;
}

std::optional<LockedTool> Project::locked_tool(const std::string& name) const {
  for (auto& e : locked())
    if (e.name == name) return e;
  return std::nullopt;
}

bool Project::lock_differs(const std::vector<LockedTool>& entries) const {
  const toml::table* current = tools_of(docs_->lock, kLockName);
  toml::table fresh = tools_table(entries);
  if (!current) return !fresh.empty();
  return !(*current == fresh);
}

void Project::save_lock(const std::vector<LockedTool>& entries) {
  docs_->lock.insert_or_assign("tools", tools_table(entries));  // other keys of the lock are kept
  docs_->has_lock = true;
  write_whole(root_ / kLockName,
                    serialise(docs_->lock, "# Generated by rivo from rivo.toml; do not edit by hand.\n"));
}

void Project::write_shims(const std::vector<LockedTool>& entries) const {
  // Each shim is replaced in place and stale ones are removed afterwards, so
  // a shim in use by a run never disappears while the folder is rewritten.
  fs::path bin = shim_dir();
  std::error_code ec;
  if (!fs::is_directory(bin, ec)) {
    fs::remove(bin, ec);
    fs::create_directories(bin, ec);
    if (ec) throw Failure("cannot create " + bin.string() + ": " + ec.message());
  }
  std::set<std::string> wanted;

  std::string rivo_exe = self_executable();
  std::string routes = "# binary\ttool (first tool runs it; others provide it too)\n";
  for (const auto& [binary, providers] : routing_table(entries)) {
    routes += binary + "\t" + join(providers, ",") + "\n";
    std::string script =
        "#!/bin/sh\n"
        "# rivo shim: '" + binary + "' runs through tool '" + providers.front() + "' of this project.\n"
        "rivo_exe=" + shell_quote(rivo_exe) + "\n"
        "[ -x \"$rivo_exe\" ] || rivo_exe=rivo\n"
        "if [ -z \"${RIVO_PROJECT:-}\" ]; then\n"
        "  RIVO_PROJECT=$(CDPATH= cd -- \"$(dirname -- \"$0\")/../..\" && pwd)\n"
        "  export RIVO_PROJECT\n"
        "fi\n"
        "exec \"$rivo_exe\" exec " + binary + " \"$@\"\n";
    write_whole(bin / binary, script, 0755);
    wanted.insert(binary);
  }
  std::vector<fs::path> stale;
  for (const auto& item : fs::directory_iterator(bin, ec))
    if (!wanted.count(item.path().filename().string())) stale.push_back(item.path());
  for (const auto& p : stale) fs::remove_all(p, ec);
  write_whole(root_ / ".rivo" / "routes", routes);
}

void Project::store_definition(const ToolDef& def) const {
  fs::path dir = root_ / ".rivo" / "defs";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Failure("cannot create " + dir.string() + ": " + ec.message());
  write_whole(dir / (def.name + ".toml"), def.source_text);
}

void Project::drop_definition(const std::string& name) const {
  if (!is_safe_name(name)) return;
  std::error_code ec;
  fs::remove(root_ / ".rivo" / "defs" / (name + ".toml"), ec);
}

void Project::prune_definitions(const std::vector<LockedTool>& entries) const {
  fs::path dir = root_ / ".rivo" / "defs";
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  std::vector<fs::path> stale;
  for (const auto& item : fs::directory_iterator(dir, ec)) {
    std::string stem = item.path().stem().string();
    bool kept = std::any_of(entries.begin(), entries.end(), [&](const LockedTool& e) { return e.name == stem; });
    if (item.path().extension() == ".toml" && !kept) stale.push_back(item.path());
  }
  for (const auto& p : stale) fs::remove(p, ec);
}

std::optional<ToolDef> Project::stored_definition(const fs::path& root, const std::string& name) {
  if (!is_safe_name(name)) return std::nullopt;
  fs::path file = root / ".rivo" / "defs" / (name + ".toml");
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  return parse_definition(name, read_file(file), file.string());
}

}  // namespace rivo
