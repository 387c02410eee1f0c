#include "rivo/core/image_identity.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/image_ref.hpp"
#include "common/process.hpp"

namespace tavro::rivo::cache {
namespace {

std::string base_name(const std::string& p) {
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

const LockedTool* route(const std::vector<LockedTool>& tools, const std::string& exe) {
  const std::string base = base_name(exe);
  for (const auto& t : tools)
    if (std::find(t.binaries.begin(), t.binaries.end(), base) != t.binaries.end()) return &t;
  for (const auto& t : tools)
    if (!t.entrypoint.empty() && base_name(t.entrypoint) == base) return &t;
  return nullptr;
}

// PATH without the project shim folders, as the local backend searches it
// (a shim would only call rivo again).
std::vector<std::string> path_without_shims(const std::vector<std::string>& env) {
  std::vector<std::string> out;
  for (const auto& dir : proc::exec_path(env)) {
    std::string norm = dir;
    while (norm.size() > 1 && norm.back() == '/') norm.pop_back();
    bool shim = norm == ".rivo/bin" || (norm.size() >= 10 && norm.compare(norm.size() - 10, 10, "/.rivo/bin") == 0);
    if (!shim) out.push_back(dir);
  }
  return out;
}

void docker_identity(const IdentityRequest& req, ImageIdentity& id) {
  if (id.reference.empty()) {
    id.problem = "no image is known for the tool";
    return;
  }
  if (req.docker.empty()) {
    id.problem = "the Docker program is not known";
    return;
  }
  fs::Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  proc::SpawnOptions o;
  o.argv = {req.docker, "image", "inspect", "-f", "{{.Id}}{{range .RepoDigests}} {{.}}{{end}}", id.reference};
  o.env = req.env;
  o.timeout = 60;
  o.kill_grace = 0.5;
  o.stdin_fd = null_fd.get();
  o.capture_bound = 64 << 10;
  try {
    proc::Result r = proc::run(o);
    if (r.returncode != 0) {
      std::string why = r.err.empty() ? r.out : r.err;
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      id.problem = "docker image inspect " + id.reference + " failed: " + why;
      return;
    }
    id.identity = identity_from_inspect(id.reference, r.out);
    if (id.identity.empty()) id.problem = "docker image inspect " + id.reference + " gave no image ID";
  } catch (const proc::TimedOut&) {
    id.problem = "docker image inspect " + id.reference + " did not answer within 60 seconds";
  } catch (const OsError& e) {
    id.problem = "docker could not be started: " + std::string(e.what());
  }
}

}  // namespace

std::string identity_from_inspect(const std::string& image, const std::string& text) {
  return tavro::image::identity_from_inspect(image, text);
}

ImageIdentity resolve_identity(const IdentityRequest& req, HashMemo& memo) {
  ImageIdentity id;
  const LockedTool* tool = route(req.locked, req.entrypoint);
  if (!tool)
    for (const auto& t : req.locked)
      if (t.name == req.tool) tool = &t;
  id.backend = !req.backend_override.empty() ? req.backend_override : tool ? tool->backend : "";
  if (id.backend == "singularity") id.backend = "apptainer";
  if (tool) {
    id.reference = tool->image_reference;
    id.lock_digest = tool->image_digest;
  } else if (req.manifest_image) {
    id.reference = *req.manifest_image;
  }

  if (id.backend == "docker") {
    docker_identity(req, id);
  } else if (id.backend == "apptainer") {
    // Apptainer pulls docker://REF at each run: only a digest pins it.
    auto at = id.reference.find("@sha256:");
    if (at != std::string::npos)
      id.identity = id.reference.substr(at + 1);
    else if (!id.lock_digest.empty())
      id.identity = id.lock_digest;
    else
      id.problem = "the image " + id.reference + " is named by a tag that can move, and rivo.lock records no digest";
  } else if (id.backend == "local") {
    std::string exe = req.entrypoint;
    std::optional<std::string> found =
        exe.find('/') != std::string::npos ? std::optional<std::string>(exe) : proc::which(exe, path_without_shims(req.env));
    id.reference = found.value_or(exe);
    if (!found) {
      id.problem = "the executable " + exe + " is not on PATH";
    } else {
      try {
        id.identity = "sha256:" + memo.hash_file(*found).sha256;
      } catch (const OsError& e) {
        id.problem = "the executable " + *found + " cannot be read: " + e.what();
      }
    }
  } else {
    id.problem = id.backend.empty() || id.backend == "auto"
                     ? "rivo chooses the backend only when the tool runs (set RIVO_BACKEND, or add the tool to the "
                       "project so that rivo.lock records it)"
                     : "unknown backend " + id.backend;
  }
  if (!id.problem.empty()) id.identity.clear();
  return id;
}

}  // namespace tavro::rivo::cache
