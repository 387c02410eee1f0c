#include "docker_images.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/image_ref.hpp"
#include "common/process.hpp"
#include "signal_forwarding.hpp"
#include "util.hpp"

namespace rivo {

tavro::proc::Result docker_quiet(std::vector<std::string> args, double timeout) {
  tavro::fs::Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  tavro::proc::SpawnOptions o;
  o.argv = {"docker"};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.timeout = timeout;
  o.kill_grace = 0.5;
  o.stdin_fd = null_fd.get();
  return run_helper(std::move(o));
}

ImageState inspect_image(const std::string& image) {
  ImageState state;
  try {
    auto r = docker_quiet({"image", "inspect", "-f", "{{.Id}}{{range .RepoDigests}} {{.}}{{end}}", image}, 60);
    if (r.returncode == 0) {
      state.present = true;
      state.identity = tavro::image::identity_from_inspect(image, r.out);
    } else {
      state.problem = trim(r.err.empty() ? r.out : r.err);
    }
  } catch (const tavro::proc::TimedOut&) {
    state.problem = "docker image inspect did not answer within 60 seconds";
  } catch (const tavro::OsError& e) {
    state.problem = "docker: " + errno_text(e.err());
  }
  return state;
}

void ensure_image(const std::string& image, bool may_pull) {
  if (image.empty()) return;
  ImageState state = inspect_image(image);
  if (state.present) return;
  if (!may_pull)
    throw Failure("image " + image + " is not in the local Docker image store and --frozen forbids pulling it " +
                  "(load it, or run 'rivo sync' without --frozen)" +
                  (state.problem.empty() ? std::string() : ": " + state.problem));
  ToolRun pull;
  pull.argv = {"docker", "pull", image};
  int rc = run_tool(pull);
  if (received_signal()) throw Failure("docker pull " + image + " interrupted", 128 + received_signal());
  if (rc != 0) throw Failure("docker pull " + image + " failed (exit " + std::to_string(rc) + ")");
}

void record_identities(std::vector<LockedTool>& entries, const std::vector<LockedTool>& previous) {
  for (auto& e : entries) {
    e.image_digest.clear();
    if (e.backend != "docker" || e.image_reference.empty()) continue;
    ImageState state = inspect_image(e.image_reference);
    if (state.present) {
      e.image_digest = state.identity;
      continue;
    }
    for (const auto& p : previous)
      if (p.name == e.name && p.image_reference == e.image_reference) e.image_digest = p.image_digest;
  }
}

}  // namespace rivo
