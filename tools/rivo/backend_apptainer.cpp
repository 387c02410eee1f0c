// The Apptainer backend: `apptainer exec` (or `singularity` where apptainer
// is missing) of the tool's image, the working directory bound at
// /workspace. Rootless Apptainer has no cgroup limits to give a tool, so its
// resources are not enforced.
#include "backend.hpp"
#include "project_lock.hpp"

namespace rivo {

int run_apptainer(const ExecRequest& req) {
  if (req.image.empty()) throw Failure("no container image to run " + req.argv[0] + " in");
  const std::string engine = find_program("apptainer") ? "apptainer" : "singularity";
  ToolRun run;
  run.argv = {engine, "exec", "--bind", req.workdir.string() + ":/workspace", "--pwd", "/workspace"};
  if (req.gpu) run.argv.push_back("--nv");
  run.argv.push_back(req.image.find("://") == std::string::npos ? "docker://" + req.image : req.image);
  run.argv.insert(run.argv.end(), req.argv.begin(), req.argv.end());
  require_engine(engine, req.backend);
  add_exec_depth(run.env);
  say_image(req);
  if (req.resources.cpus || !req.resources.memory.empty())
    debug("the apptainer backend cannot enforce the tool's resources (" + req.resources.summary() +
          "): it runs without limits");

  int rc = run_tool(run);
  if (received_signal()) return -received_signal();
  if (rc == 127)
    write_stderr("rivo: " + req.argv[0] + ": No such file or directory (not found in image " + req.image + ")\n");
  if (rc != 0) note_missing_paths(req.argv, req.workdir, false);
  return rc;
}

}  // namespace rivo
