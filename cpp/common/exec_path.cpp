// The environment of a child and PATH lookup for the process runner: the
// search path of a child's environment and the files to try for a program
// name, as Python's os.get_exec_path and _posixsubprocess do.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/errors.hpp"
#include "common/path.hpp"
#include "common/process.hpp"

namespace tavro::proc {
namespace {

std::string env_lookup(const std::vector<std::string>& env, const std::string& key) {
  for (const auto& kv : env)
    if (kv.size() > key.size() && kv.compare(0, key.size(), key) == 0 && kv[key.size()] == '=')
      return kv.substr(key.size() + 1);
  return {};
}

bool env_has(const std::vector<std::string>& env, const std::string& key) {
  for (const auto& kv : env)
    if (kv.size() > key.size() && kv.compare(0, key.size(), key) == 0 && kv[key.size()] == '=')
      return true;
  return false;
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t colon = path.find(':', start);
    out.push_back(path.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}

}  // namespace

std::vector<std::string> env_block(const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> out;
  out.reserve(env.size());
  for (const auto& [k, v] : env) {
    if (k.empty() || k.find('=') != std::string::npos || k.find('\0') != std::string::npos)
      throw InvalidArgument("illegal environment variable name");
    if (v.find('\0') != std::string::npos) throw InvalidArgument("embedded null byte");
    out.push_back(k + "=" + v);
  }
  return out;
}

std::vector<std::string> exec_path(const std::optional<std::vector<std::string>>& env) {
  std::string path;
  if (env) {
    path = env_has(*env, "PATH") ? env_lookup(*env, "PATH") : "/bin:/usr/bin";
  } else {
    const char* p = ::getenv("PATH");
    path = p ? p : "/bin:/usr/bin";
  }
  return split_path(path);
}

std::optional<std::string> which(const std::string& name, const std::vector<std::string>& path) {
  if (name.find('/') != std::string::npos)
    return ::access(name.c_str(), X_OK) == 0 ? std::optional<std::string>(name) : std::nullopt;
  for (const auto& dir : path) {
    std::string cand = fs::join(dir, name);
    struct stat st;
    if (::stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(cand.c_str(), X_OK) == 0)
      return cand;
  }
  return std::nullopt;
}

std::vector<std::string> exec_candidates(const std::string& prog,
                                         const std::optional<std::vector<std::string>>& env) {
  if (prog.find('/') != std::string::npos) return {prog};
  std::vector<std::string> out;
  for (const auto& dir : exec_path(env)) out.push_back(fs::join(dir, prog));
  return out;
}

}  // namespace tavro::proc
