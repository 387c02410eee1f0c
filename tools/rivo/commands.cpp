#include "commands.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

#include <unistd.h>

#include "docker_images.hpp"
#include "project.hpp"
#include "project_lock.hpp"
#include "show_text.hpp"

namespace rivo {
namespace {

std::string registry_setting(const std::optional<std::string>& option) {
  if (option) return *option;
  return env_value("RIVO_REGISTRY").value_or("");
}

// Absolute form of a registry folder, as recorded in rivo.toml.
std::string registry_record(const Registry& reg) {
  std::string loc = reg.location();
  if (reg.is_git()) return loc;  // the URL; its checkout lives in the cache
  if (starts_with(loc, "file://")) loc = loc.substr(7);
  std::error_code ec;
  fs::path abs = fs::weakly_canonical(fs::absolute(loc, ec), ec);
  return ec ? loc : abs.string();
}

std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + "  " : text + std::string(width - text.size() + 2, ' ');
}

// Backend recorded for a tool in the lock: the one asked for, else what the
// lock already says, else the detected one.
std::string lock_backend(Context& ctx, const Project& project, const std::string& tool) {
  if (auto req = ctx.requested()) return backend_name(*req);
  if (auto prev = project.locked_tool(tool)) {
    try {
      if (!prev->backend.empty() && parse_backend(prev->backend)) return backend_name(*parse_backend(prev->backend));
    } catch (const Failure&) {
      // an unknown backend in the lock is replaced below
    }
  }
  return backend_name(ctx.effective());
}

// The definition behind a rivo.toml entry: the registry it was added from,
// then the current registry, then the copy kept in .rivo/defs.
ToolDef definition_for(const Context& ctx, const Project& project, const ManifestEntry& entry) {
  if (!entry.registry.empty()) {
    Registry recorded(entry.registry);
    if (auto def = recorded.load(entry.name)) return *def;
  }
  if (auto def = ctx.registry().load(entry.name)) return *def;
  if (auto def = project.stored_definition(entry.name)) return *def;
  throw Failure("no definition for tool '" + entry.name + "': not in registry '" +
                (entry.registry.empty() ? ctx.registry().location() : entry.registry) +
                "' and no copy in .rivo/defs");
}

struct Resolved {
  std::vector<LockedTool> entries;
  std::vector<ToolDef> defs;
};

Resolved resolve_lock(Context& ctx, const Project& project) {
  Resolved out;
  for (const auto& entry : project.tools()) {
    if (!is_safe_name(entry.name)) throw Failure("rivo.toml: unusable tool name '" + entry.name + "'");
    ToolDef def = definition_for(ctx, project, entry);
    std::string registry = entry.registry.empty() ? registry_record(ctx.registry()) : entry.registry;
    out.entries.push_back(lock_entry(def, lock_backend(ctx, project, entry.name), registry));
    out.defs.push_back(std::move(def));
  }
  record_identities(out.entries, project.locked());
  std::sort(out.entries.begin(), out.entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return out;
}

// Pulls each missing image once; `done` holds the references already seen.
// With `may_pull` false a missing image is an error instead.
void pull_all(const std::vector<LockedTool>& entries, std::set<std::string>& done, bool may_pull = true) {
  for (const auto& e : entries) {
    auto backend = parse_backend(e.backend);
    if (!backend || e.image_reference.empty() || done.count(e.image_reference)) continue;
    pull_image(*backend, e.image_reference, may_pull);
    done.insert(e.image_reference);
  }
}

void write_project_state(Project& project, const Resolved& resolved) {
  for (const auto& def : resolved.defs) project.store_definition(def);
  project.prune_definitions(resolved.entries);
  project.save_lock(resolved.entries);
  project.write_shims(resolved.entries);
}

std::string yes_no_slot(const Slot& slot) { return slot.required ? "mandatory" : "optional"; }

void render_slots(std::string& out, const char* heading, const std::vector<Slot>& slots) {
  out += heading;
  out += ":\n";
  if (slots.empty()) {
    out += "  (none)\n";
    return;
  }
  size_t name_w = 0, type_w = 0;
  for (const auto& s : slots) {
    name_w = std::max(name_w, s.name.size());
    type_w = std::max(type_w, (s.type.empty() ? std::string("-") : s.type).size());
  }
  for (const auto& s : slots) {
    std::string line = "  " + pad(show_value(s.name), name_w) + pad(s.type.empty() ? "-" : show_value(s.type), type_w) +
                       pad("(" + yes_no_slot(s) + ")", 11);
    line += show_value(s.description);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += show_free(line) + "\n";
  }
}

std::optional<ToolDef> lookup_for_show(const Context& ctx, const std::string& tool) {
  if (auto def = ctx.registry().load(tool)) return def;
  try {
    auto guard = lock_project(ctx.workdir(), Access::Read);
    Project project(ctx.workdir());
    if (auto def = project.stored_definition(tool)) return def;
  } catch (const Failure&) {
    // a broken project file does not stop `show` from reporting the tool as unknown
  }
  return std::nullopt;
}

bool matches(const ToolDef& def, const std::string& needle) {
  if (needle.empty()) return true;
  if (lower(def.name).find(needle) != std::string::npos) return true;
  if (lower(def.description).find(needle) != std::string::npos) return true;
  for (const auto* group : {&def.inputs, &def.outputs})
    for (const auto& s : *group)
      if (lower(s.type).find(needle) != std::string::npos) return true;
  return false;
}

// The Git registries that a sync reads: the current one and those the
// project's tools were added from, each brought up to date once.
void refresh_registries(Context& ctx) {
  std::set<std::string> seen;
  auto refresh = [&seen](const Registry& reg) {
    if (!reg.is_git() || !seen.insert(reg.location()).second) return;
    try {
      reg.refresh();
    } catch (const Failure& f) {
      std::cerr << "rivo: warning: " << f.what() << "\n";  // the project's copies in .rivo/defs remain
    }
  };
  refresh(ctx.registry());
  try {
    auto guard = lock_project(ctx.workdir(), Access::Read);
    for (const auto& entry : Project(ctx.workdir()).tools())
      if (!entry.registry.empty()) refresh(Registry(entry.registry));
  } catch (const Failure&) {
    // an unreadable project is reported by the sync itself
  }
}

void sync_write(Project& project, const Resolved& resolved, bool frozen) {
  if (frozen) {
    for (const auto& def : resolved.defs) project.store_definition(def);
    project.write_shims(resolved.entries);
  } else {
    write_project_state(project, resolved);
  }
  std::cout << "Synced " << resolved.entries.size() << " tool(s)\n";
}

}  // namespace

Context::Context(std::optional<std::string> registry_option, std::optional<std::string> backend_option)
    : registry_(registry_setting(registry_option)) {
  std::optional<std::string> backend = backend_option ? backend_option : env_value("RIVO_BACKEND");
  if (backend) requested_ = parse_backend(*backend);
  std::error_code ec;
  workdir_ = fs::current_path(ec);
  if (ec) throw Failure("cannot read the working directory: " + ec.message());
}

Backend Context::effective() {
  if (requested_) return *requested_;
  if (!detected_) detected_ = detect_backend();
  return *detected_;
}

int cmd_add(Context& ctx, const std::vector<std::string>& tools) {
  if (tools.empty()) return 0;
  ctx.registry().refresh();
  ctx.registry().require();

  std::vector<std::string> names;
  for (const auto& t : tools)
    if (std::find(names.begin(), names.end(), t) == names.end()) names.push_back(t);
  std::vector<ToolDef> defs;
  std::vector<std::string> unknown;
  for (const auto& name : names) {
    if (auto def = ctx.registry().load(name))
      defs.push_back(std::move(*def));
    else
      unknown.push_back("'" + name + "'");
  }
  if (!unknown.empty())
    throw Failure(std::string(unknown.size() == 1 ? "unknown tool " : "unknown tools ") + join(unknown, ", ") +
                  ": no definition in registry " + ctx.registry().location());

  // Pull before touching the project files, so a failed pull changes
  // nothing, and outside the project lock, so a long pull blocks no one.
  std::vector<std::pair<Backend, std::string>> pulls;
  {
    auto guard = lock_project(ctx.workdir(), Access::Read);
    Project project(ctx.workdir());
    std::set<std::string> seen;
    for (const auto& def : defs)
      if (!def.image.empty() && seen.insert(def.image).second)
        pulls.emplace_back(*parse_backend(lock_backend(ctx, project, def.name)), def.image);
  }
  for (const auto& [backend, image] : pulls) pull_image(backend, image);

  auto guard = lock_project(ctx.workdir(), Access::Write);
  Project project(ctx.workdir());  // read again under the lock: others may have added tools
  std::string record = registry_record(ctx.registry());
  for (const auto& def : defs) {
    project.set_tool({def.name, def.version.empty() ? "latest" : def.version, record});
    project.store_definition(def);
  }
  project.save_manifest();
  Resolved resolved = resolve_lock(ctx, project);
  write_project_state(project, resolved);

  for (const auto& def : defs) {
    const LockedTool* e = nullptr;
    for (const auto& x : resolved.entries)
      if (x.name == def.name) e = &x;
    std::cout << "Added " << def.name << " (" << (def.image.empty() ? "no image" : def.image) << ", backend "
              << (e ? e->backend : "?") << ")\n";
  }
  return 0;
}

int cmd_sync(Context& ctx, bool frozen) {
  refresh_registries(ctx);
  std::set<std::string> pulled;
  for (Access access : {Access::Read, Access::Write}) {
    // Images are pulled under the shared lock's snapshot, then the project is
    // read again and written under the exclusive one.
    auto guard = lock_project(ctx.workdir(), access);
    Project project(ctx.workdir());
    if (!project.has_manifest()) {
      std::cout << "Nothing to sync: no rivo.toml in " << ctx.workdir().string() << "\n";
      return 0;
    }
    Resolved resolved = resolve_lock(ctx, project);
    if (frozen && project.lock_differs(resolved.entries))
      throw Failure("rivo.lock is out of date with rivo.toml and --frozen forbids changing it (run 'rivo lock')");
    if (access == Access::Read) {
      guard.release();
      pull_all(resolved.entries, pulled, !frozen);
      continue;
    }
    pull_all(resolved.entries, pulled, !frozen);
    sync_write(project, resolved, frozen);
  }
  return 0;
}


int cmd_lock(Context& ctx, bool check) {
  auto guard = lock_project(ctx.workdir(), check ? Access::Read : Access::Write);
  Project project(ctx.workdir());
  if (!project.has_manifest() && !project.has_lock()) {
    std::cout << "Nothing to lock: no rivo.toml in " << ctx.workdir().string() << "\n";
    return 0;
  }
  Resolved resolved = resolve_lock(ctx, project);
  bool differs = project.lock_differs(resolved.entries);
  if (check) {
    if (differs) {
      std::cerr << "rivo: rivo.lock would change (run 'rivo lock' to update it)\n";
      return kExitFailure;
    }
    std::cout << "rivo.lock is up to date\n";
    return 0;
  }
  write_project_state(project, resolved);
  std::cout << (differs ? "Updated" : "Checked") << " rivo.lock (" << resolved.entries.size() << " tool(s))\n";
  return 0;
}

int cmd_remove(Context& ctx, const std::vector<std::string>& tools) {
  if (tools.empty()) throw Failure("remove needs at least one tool name", kExitUsage);
  auto guard = lock_project(ctx.workdir(), Access::Write);
  Project project(ctx.workdir());
  std::vector<std::string> missing;
  for (const auto& t : tools)
    if (!project.contains(t)) missing.push_back("'" + t + "'");
  if (!missing.empty())
    throw Failure(std::string(missing.size() == 1 ? "tool " : "tools ") + join(missing, ", ") + " not in rivo.toml");

  std::set<std::string> gone(tools.begin(), tools.end());
  for (const auto& t : gone) project.remove_tool(t);
  project.save_manifest();
  std::vector<LockedTool> kept;
  for (auto& e : project.locked())
    if (!gone.count(e.name)) kept.push_back(std::move(e));
  if (project.has_lock()) project.save_lock(kept);
  for (const auto& t : gone) project.drop_definition(t);
  project.write_shims(kept);
  for (const auto& t : tools)
    if (gone.erase(t)) std::cout << "Removed " << t << "\n";
  return 0;
}

int cmd_list(Context& ctx, bool binaries) {
  auto guard = lock_project(ctx.workdir(), Access::Read);
  Project project(ctx.workdir());
  std::vector<LockedTool> locked = project.locked();
  guard.release();
  if (binaries) {
    auto table = routing_table(locked);
    if (table.empty()) {
      std::cout << "No binaries: no locked tools\n";
      return 0;
    }
    size_t w = 6;
    for (const auto& row : table) w = std::max(w, row.first.size());
    std::cout << pad("BINARY", w) << "TOOL\n";
    for (const auto& [binary, providers] : table) {
      std::cout << pad(binary, w) << providers.front();
      if (providers.size() > 1)
        std::cout << " (also in " << join({providers.begin() + 1, providers.end()}, ", ") << ")";
      std::cout << "\n";
    }
    return 0;
  }

  struct Row {
    std::string name, version, backend, image;
  };
  std::vector<Row> rows;
  std::set<std::string> seen;
  for (const auto& m : project.tools()) {
    Row row{m.name, m.version, "-", "(not locked)"};
    for (const auto& e : locked)
      if (e.name == m.name) row = {m.name, e.version.empty() ? m.version : e.version, e.backend, e.image_reference};
    rows.push_back(row);
    seen.insert(m.name);
  }
  for (const auto& e : locked)
    if (!seen.count(e.name)) rows.push_back({e.name, e.version, e.backend, e.image_reference});
  if (rows.empty()) {
    std::cout << "No tools installed\n";
    return 0;
  }
  size_t nw = 4, vw = 7, bw = 7;
  for (const auto& r : rows) {
    nw = std::max(nw, r.name.size());
    vw = std::max(vw, r.version.size());
    bw = std::max(bw, r.backend.size());
  }
  std::cout << pad("TOOL", nw) << pad("VERSION", vw) << pad("BACKEND", bw) << "IMAGE\n";
  for (const auto& r : rows) std::cout << pad(r.name, nw) << pad(r.version, vw) << pad(r.backend, bw) << r.image << "\n";
  return 0;
}

std::string render_text(const ToolDef& def) {
  // Every line but the labelled values and the GPU line is free text, made
  // inert for readers (see show_text.hpp); each value stays on its line.
  std::string out = show_free(def.name) + "\n";
  for (const auto& line : show_split_lines(def.description)) out += show_free("  " + line) + "\n";
  out += "\n";
  out += "Image: " + show_value(def.image) + "\n";
  out += "Entrypoint: " + show_value(def.entrypoint) + "\n";
  out += "Args template: " + show_template(def.args_template) + "\n";
  out += std::string("GPU: ") + (def.gpu_required ? "required" : "not needed") + "\n";
  out += show_free("Tier: " + def.tier) + "\n";
  if (!def.version.empty()) out += show_free("Version: " + def.version) + "\n";
  out += show_free("Binaries: " + join(def.binaries, ", ")) + "\n";
  if (def.resources.any()) out += show_free("Resources: " + def.resources.summary()) + "\n";
  out += "\n";
  render_slots(out, "Inputs", def.inputs);
  render_slots(out, "Outputs", def.outputs);
  return out;
}

int cmd_show(Context& ctx, const std::string& tool, const std::string& format) {
  std::string fmt = lower(trim(format));
  if (!fmt.empty() && fmt != "text" && fmt != "json" && fmt != "mcp" && fmt != "json-schema")
    throw Failure("unknown format '" + format + "' (expected json, mcp or json-schema)", kExitUsage);
  std::optional<ToolDef> def = lookup_for_show(ctx, tool);
  if (!def) {
    ctx.registry().require();  // explains an unusable registry (exit status 2)
    throw Failure("unknown tool '" + tool + "': no definition in registry " + ctx.registry().location());
  }
  if (fmt.empty() || fmt == "text")
    std::cout << render_text(*def);
  else if (fmt == "json")
    std::cout << dump_json(def->to_json()) << "\n";
  else if (fmt == "mcp")
    std::cout << dump_json(render_mcp(*def)) << "\n";
  else
    std::cout << dump_json(render_json_schema(*def)) << "\n";
  return 0;
}

int cmd_info(Context& ctx, const std::string& tool) {
  auto guard = lock_project(ctx.workdir(), Access::Read);
  Project project(ctx.workdir());
  auto e = project.locked_tool(tool);
  if (!e) throw Failure("tool '" + tool + "' is not in rivo.lock (add it with 'rivo add " + tool + "')");
  std::cout << "Tool: " << e->name << "\n"
            << "Version: " << (e->version.empty() ? "-" : e->version) << "\n"
            << "Image reference: " << e->image_reference << "\n"
            << "Image digest: " << (e->image_digest.empty() ? "-" : e->image_digest) << "\n"
            << "Entrypoint: " << e->entrypoint << "\n"
            << "Binaries: " << join(e->binaries, ", ") << "\n"
            << "Backend: " << e->backend << "\n"
            << "Registry: " << (e->registry.empty() ? "-" : e->registry) << "\n";
  std::vector<std::string> shims;
  for (const auto& b : e->binaries) {
    std::error_code ec;
    if (fs::exists(project.shim_dir() / b, ec)) shims.push_back(".rivo/bin/" + b);
  }
  std::cout << "Shims: " << (shims.empty() ? "-" : join(shims, ", ")) << "\n";
  return 0;
}

int cmd_search(Context& ctx, const std::string& query, const std::string& tier) {
  ctx.registry().require();
  std::string needle = lower(trim(query));
  std::string wanted = lower(trim(tier));
  std::vector<ToolDef> hits;
  for (const auto& name : ctx.registry().names()) {
    std::optional<ToolDef> def;
    try {
      def = ctx.registry().load(name);
    } catch (const Failure& f) {
      std::cerr << "rivo: skipping " << name << ": " << f.what() << "\n";
      continue;
    }
    if (!def) continue;
    if (!wanted.empty() && wanted != "all" && lower(def->tier) != wanted) continue;
    if (matches(*def, needle)) hits.push_back(std::move(*def));
  }
  if (hits.empty()) {
    std::cout << "No tools match '" << query << "'\n";
    return 0;
  }
  size_t nw = 4, tw = 4;
  for (const auto& d : hits) {
    nw = std::max(nw, d.name.size());
    tw = std::max(tw, d.tier.size());
  }
  std::cout << pad("TOOL", nw) << pad("TIER", tw) << "DESCRIPTION\n";
  for (const auto& d : hits) {
    auto lines = split_lines(d.description);
    std::cout << pad(d.name, nw) << pad(d.tier, tw) << (lines.empty() ? "" : trim(lines.front())) << "\n";
  }
  return 0;
}

int cmd_shell(Context& ctx, const std::string& shell) {
  std::string sh = shell;
  if (sh.empty()) sh = env_value("SHELL").value_or("");
  if (sh.empty()) sh = "/bin/sh";
  std::string bin = (ctx.workdir() / ".rivo" / "bin").string();
  std::string path = env_value("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  ToolRun run;
  run.argv = {sh};
  run.env = {{"PATH", bin + ":" + path}, {"RIVO_PROJECT", ctx.workdir().string()}};
  int rc = run_tool(run);
  return rc < 0 ? 128 - rc : rc;
}

}  // namespace rivo
