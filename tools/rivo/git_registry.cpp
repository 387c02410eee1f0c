#include "git_registry.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "common/publish.hpp"
#include "common/process.hpp"
#include "signal_forwarding.hpp"
#include "project_lock.hpp"
#include "sha256.hpp"

extern char** environ;

namespace rivo::git {
namespace {

constexpr double kDefaultGitTimeout = 600;

fs::path cache_root() {
  if (auto d = env_value("RIVO_CACHE_DIR"); d && !d->empty()) return fs::path(*d);
  if (auto d = env_value("XDG_CACHE_HOME"); d && !d->empty() && fs::path(*d).is_absolute())
    return fs::path(*d) / "rivo";
  if (auto home = env_value("HOME"); home && !home->empty()) return fs::path(*home) / ".cache" / "rivo";
  throw Failure("no cache folder for Git registries: set RIVO_CACHE_DIR, XDG_CACHE_HOME or HOME", kExitUsage);
}

// "<last path component without .git>-<16 hex of the URL's hash>"
std::string cache_key(const std::string& url) {
  std::string tail = url;
  while (!tail.empty() && tail.back() == '/') tail.pop_back();
  if (auto cut = tail.find_last_of("/:"); cut != std::string::npos) tail = tail.substr(cut + 1);
  if (tail.size() > 4 && tail.compare(tail.size() - 4, 4, ".git") == 0) tail.resize(tail.size() - 4);
  std::string name;
  for (char c : tail)
    name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
  if (name.empty() || name[0] == '.') name = "registry" + name;
  return name.substr(0, 40) + "-" + sha256_hex(url).substr(0, 16);
}

fs::path lock_file(const std::string& url) {
  return cache_root() / "registries" / (cache_key(url) + ".lock");
}

bool is_bare_repository(const fs::path& dir) {
  std::error_code ec;
  return fs::is_regular_file(dir / "HEAD", ec) && fs::is_directory(dir / "objects", ec) &&
         fs::is_directory(dir / "refs", ec);
}

struct GitRun {
  bool ok = false;
  std::string reason;  // the last line git printed, or why it did not run
};

GitRun run_git(std::vector<std::string> args) {
  tavro::proc::SpawnOptions o;
  o.argv = {"git"};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.emplace_back("GIT_TERMINAL_PROMPT=0");  // never wait for a password
  if (!env_value("GIT_SSH_COMMAND")) env.emplace_back("GIT_SSH_COMMAND=ssh -o BatchMode=yes");
  o.env = std::move(env);
  o.stdin_fd = -1;
  o.timeout = kDefaultGitTimeout;
  if (auto t = env_value("RIVO_GIT_TIMEOUT"); t && std::atof(t->c_str()) > 0) o.timeout = std::atof(t->c_str());
  GitRun out;
  try {
    tavro::proc::Result r = run_helper(std::move(o));
    out.ok = r.returncode == 0;
    for (const auto& line : split_lines(r.err))
      if (!trim(line).empty()) out.reason = trim(line);
    if (!out.ok && out.reason.empty()) out.reason = "git exited with status " + std::to_string(r.returncode);
  } catch (const tavro::proc::TimedOut& t) {
    out.reason = "git took longer than " + std::to_string(static_cast<long>(t.timeout)) + " s";
  } catch (const tavro::OsError& e) {
    out.reason = "cannot run git: " + errno_text(e.err());
  }
  return out;
}

double mtime_of(const fs::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0;
  return static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
}

double now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void clone(const std::string& url, const fs::path& dir, const fs::path& stamp) {
  fs::path tmp = dir;
  tmp += ".tmp-" + std::to_string(::getpid());
  std::error_code ec;
  fs::remove_all(tmp, ec);
  GitRun r = run_git({"clone", "--depth", "1", "--quiet", "--", url, tmp.string()});
  if (!r.ok) {
    fs::remove_all(tmp, ec);
    throw Failure("cannot clone registry " + url + ": " + r.reason + " (and no cached copy in " + dir.string() + ")",
                  kExitUsage);
  }
  fs::remove_all(dir, ec);  // what a clone that died half-way left
  fs::rename(tmp, dir, ec);
  if (ec) throw Failure("cannot keep the clone of registry " + url + " in " + dir.string() + ": " + ec.message());
  tavro::fs::publish_bytes(stamp.string(), url + "\n");
}

}  // namespace

bool is_git_location(const std::string& location) {
  if (location.empty()) return false;
  for (const char* scheme : {"https://", "http://", "ssh://", "git://", "git+ssh://", "ssh+git://"})
    if (starts_with(location, scheme)) return true;
  auto colon = location.find(':');
  auto slash = location.find('/');
  if (colon != std::string::npos && location.find('@') < colon && (slash == std::string::npos || colon < slash))
    return true;  // user@host:path
  // A local repository: a bare one, a path ending in ".git" that is no
  // folder of definitions, or one cloned before (the cache serves when the
  // repository has gone away).
  std::string path = starts_with(location, "file://") ? location.substr(7) : location;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::error_code ec;
  if (is_bare_repository(path)) return true;
  if (fs::is_directory(path, ec)) return false;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".git") == 0) return true;
  try {
    return fs::exists(checkout_dir(location) / ".git", ec);
  } catch (const Failure&) {
    return false;  // no cache folder at all
  }
}

fs::path checkout_dir(const std::string& url) { return cache_root() / "registries" / cache_key(url); }

void prepare(const std::string& url, bool update) {
  const fs::path dir = checkout_dir(url);
  fs::path stamp = dir;
  stamp += ".refreshed";
  std::error_code ec;
  fs::create_directories(dir.parent_path(), ec);
  if (ec) throw Failure("cannot create the registry cache " + dir.parent_path().string() + ": " + ec.message(), kExitUsage);

  const double asked = now();
  tavro::lock::Options options;
  options.on_wait = [&url](double waited) {
    debug("waiting for another rivo process updating registry " + url + " (" +
          std::to_string(static_cast<long>(std::lround(waited))) + " s)");
  };
  tavro::lock::FileLock guard;
  try {
    guard = tavro::lock::FileLock(lock_file(url).string(), tavro::lock::Mode::Exclusive, options);
  } catch (const tavro::OsError& e) {
    throw Failure("cannot lock the registry cache " + lock_file(url).string() + ": " + errno_text(e.err()), kExitUsage);
  }
  if (!fs::exists(dir / ".git", ec)) return clone(url, dir, stamp);
  if (!update || mtime_of(stamp) >= asked) return;  // fresh: another process just updated it

  GitRun r = run_git({"-C", dir.string(), "fetch", "--depth", "1", "--quiet", "origin"});
  if (r.ok) r = run_git({"-C", dir.string(), "reset", "--hard", "--quiet", "FETCH_HEAD"});
  if (!r.ok) {
    std::cerr << "rivo: warning: cannot update registry " << url << " (" << r.reason
              << "); using the cached copy in " << dir.string() << "\n";
    return;
  }
  tavro::fs::publish_bytes(stamp.string(), url + "\n");
}

tavro::lock::FileLock read_lock(const std::string& url) {
  tavro::lock::Options options;
  options.create = false;
  try {
    return tavro::lock::FileLock(lock_file(url).string(), tavro::lock::Mode::Shared, options);
  } catch (const std::exception&) {
    return {};  // reading goes on without it
  }
}

}  // namespace rivo::git
