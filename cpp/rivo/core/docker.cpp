#include "rivo/core/docker.hpp"

#include "common/fileops.hpp"
#include "common/process.hpp"

namespace tavro::rivo {

std::string real_docker(const std::string& docker_real, const std::vector<std::string>& dirs) {
  if (auto found = proc::which(fs::base_of(docker_real), dirs)) return *found;
  if (fs::exists(docker_real)) return docker_real;
  if (auto found = proc::which("docker", dirs)) return *found;
  return "docker";
}

std::vector<std::string> image_search_argv(const std::string& docker, const std::string& image,
                                           const std::string& name) {
  return {docker, "run", "--rm", "--network=host", "--entrypoint", "", image,
          "find", "/", "-name", name, "-maxdepth", "8", "-type", "f"};
}

ExecResult run_docker(Executor& executor, std::vector<std::string> argv, double timeout,
                      std::optional<std::vector<std::pair<std::string, std::string>>> env,
                      std::function<bool()> should_abort) {
  ExecRequest req;
  req.argv = std::move(argv);
  req.env = std::move(env);
  req.timeout = timeout;
  req.should_abort = std::move(should_abort);
  return executor.run(req);
}

}  // namespace tavro::rivo
