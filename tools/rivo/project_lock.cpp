#include "project_lock.hpp"

#include <cerrno>
#include <cmath>
#include <iostream>

namespace rivo {

bool debugging() {
  auto flag = env_value("RIVO_DEBUG");
  return flag && !flag->empty();
}

void debug(const std::string& message) {
  if (debugging()) std::cerr << "rivo: debug: " << message << "\n" << std::flush;
}

tavro::lock::FileLock lock_project(const fs::path& dir, Access access) {
  const std::string path = (dir / tavro::lock::kRivoProjectLock).string();
  tavro::lock::Options options;
  options.create = access == Access::Write;
  options.on_wait = [&path](double waited) {
    std::string text = "waiting for the project lock " + path + " (held by another rivo process) for " +
                       std::to_string(static_cast<long>(std::lround(waited))) + " s";
    if (waited < 30)
      debug(text);
    else
      std::cerr << "rivo: " << text << "\n" << std::flush;
  };
  try {
    return tavro::lock::FileLock(path, access == Access::Write ? tavro::lock::Mode::Exclusive
                                                                : tavro::lock::Mode::Shared,
                                 options);
  } catch (const tavro::OsError& e) {
    if (access == Access::Read) {
      debug("reading the project without its lock: " + path + ": " + errno_text(e.err()));
      return {};
    }
    if (e.err() == ENOLCK || e.err() == EOPNOTSUPP || e.err() == ENOSYS) {
      // A file system without locks: work unlocked (safe for one process only).
      std::cerr << "rivo: warning: cannot lock the project (" << path << ": " << errno_text(e.err())
                << "); changing it without the lock\n";
      return {};
    }
    throw Failure("cannot lock the project: " + path + ": " + errno_text(e.err()));
  } catch (const tavro::InvalidArgument& e) {
    throw Failure("cannot lock the project: " + path + ": " + e.what());
  }
}

}  // namespace rivo
