// `rivo exec`: find the project and the tool that provides the executable,
// choose the backend and the image, run it, and end as the tool ended.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>

#include "commands.hpp"
#include "exec_route.hpp"
#include "project.hpp"
#include "project_lock.hpp"

namespace rivo {
namespace {

struct ProjectTools {
  fs::path dir;
  std::vector<LockedTool> locked;
  std::string problem;  // why the lock could not be read
};

// The lock of the working directory, else of the project a shim came from.
ProjectTools read_project_tools(const fs::path& workdir) {
  fs::path project_dir = workdir;
  std::error_code ec;
  if (!fs::exists(project_dir / "rivo.lock", ec))
    if (auto p = env_value("RIVO_PROJECT"); p && !p->empty() && fs::exists(fs::path(*p) / "rivo.lock", ec))
      project_dir = *p;
  ProjectTools out;
  out.dir = project_dir;
  try {
    auto guard = lock_project(project_dir, Access::Read);
    out.locked = Project(project_dir).locked();
  } catch (const Failure& f) {
    out.problem = f.what();
  }
  return out;
}

// The resources of a locked tool: its definition as the project keeps it
// (.rivo/defs), else as the registry it was added from has it. A definition
// that cannot be read stops the run: running without its limits would be
// silently wrong.
Resources locked_resources(const Context& ctx, const ProjectTools& project, const LockedTool& tool) {
  std::optional<ToolDef> def = Project::stored_definition(project.dir, tool.name);
  if (!def && !tool.registry.empty()) def = Registry(tool.registry).load(tool.name);
  if (!def) def = ctx.registry().load(tool.name);
  return def ? def->resources : Resources{};
}

// A registry definition providing the executable, for one the lock does not know.
std::optional<ToolDef> registry_provider(const Context& ctx, const std::string& exe) {
  if (!ctx.registry().usable()) return std::nullopt;
  std::string base = base_name(exe);
  for (const auto& name : ctx.registry().names()) {
    try {
      auto d = ctx.registry().load(name);
      if (d && (std::find(d->binaries.begin(), d->binaries.end(), base) != d->binaries.end() ||
                base_name(d->entrypoint) == base))
        return d;
    } catch (const Failure&) {
      // a broken definition cannot provide anything
    }
  }
  return std::nullopt;
}

// The backend asked for, else the one the lock records for the tool, else the detected one.
Backend exec_backend(Context& ctx, const LockedTool* tool) {
  if (auto req = ctx.requested()) return *req;
  if (tool) {
    try {
      if (auto recorded = parse_backend(tool->backend)) return *recorded;
    } catch (const Failure&) {
      // an unknown backend in the lock: detect one
    }
  }
  return ctx.effective();
}

// The image (and, with it, the resources) of the tool that runs the request.
void choose_tool(ExecRequest& req, const Context& ctx, const ProjectTools& project, const LockedTool* tool) {
  if (tool) {
    req.image = tool->image_reference;
    req.gpu = tool->gpu_required;
    req.resources = locked_resources(ctx, project, *tool);
  } else if (auto def = registry_provider(ctx, req.argv[0])) {
    req.image = def->image;
    req.gpu = def->gpu_required;
    req.resources = def->resources;
  } else if (!project.locked.empty()) {
    const LockedTool& only = sole_image_tool(project.locked, req.argv);
    req.image = only.image_reference;
    req.gpu = only.gpu_required;
    req.resources = locked_resources(ctx, project, only);
  } else {
    throw Failure("no tool of this project provides '" + req.argv[0] + "'" +
                  (project.problem.empty() ? std::string(" (no rivo.lock here)") : " (" + project.problem + ")"));
  }
}

}  // namespace

int cmd_exec(Context& ctx, const std::vector<std::string>& argv) {
  if (argv.empty()) throw Failure("exec needs an executable: rivo exec EXE [ARGS...] or rivo exec -- bash -c LINE", kExitUsage);
  int depth = 0;
  if (auto d = env_value("RIVO_EXEC_DEPTH")) depth = std::atoi(d->c_str());
  if (depth >= 8) throw Failure(argv[0] + ": rivo exec calls itself recursively; giving up", 126);

  ProjectTools project = read_project_tools(ctx.workdir());
  const LockedTool* tool = route_command(project.locked, argv);
  ExecRequest req;
  req.backend = exec_backend(ctx, tool);
  req.workdir = ctx.workdir();
  req.argv = argv;
  if (req.backend != Backend::Local) {
    choose_tool(req, ctx, project, tool);
  } else if (debugging()) {
    // The local backend needs them only to say it cannot enforce them.
    if (tool) req.resources = locked_resources(ctx, project, *tool);
    else if (auto def = registry_provider(ctx, req.argv[0])) req.resources = def->resources;
  }
  req.resources = with_overrides(req.resources);

  int rc = run_exec(req);
  if (rc < 0) {
    // Ended by a signal: end the same way so the caller sees it.
    std::cout.flush();
    std::signal(-rc, SIG_DFL);
    std::raise(-rc);
    return 128 - rc;
  }
  return rc;
}

}  // namespace rivo
