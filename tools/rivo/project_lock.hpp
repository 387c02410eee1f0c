// The project lock: several rivo processes (worker processes on one shared
// volume) may work on the same project at once. Every change of rivo.toml,
// rivo.lock and the .rivo folder happens under an exclusive flock on
// <project>/.rivo-project.lock; reading takes it shared. The Python module
// takes the same lock around its own rewrite of the project files.
#pragma once

#include <string>

#include "common/flock.hpp"
#include "util.hpp"

namespace rivo {

enum class Access { Read, Write };

// Write: creates the lock file and waits for the exclusive lock; throws
// Failure when the project cannot be locked. Read: waits for the shared lock
// when a lock file exists, and goes on unlocked when there is none (no
// writer has ever locked this project) or it cannot be opened.
// Waiting is reported on stderr: with RIVO_DEBUG set after a second, and
// always once a minute.
tavro::lock::FileLock lock_project(const fs::path& dir, Access access);

// "rivo: debug: <message>" on stderr when RIVO_DEBUG is set to a non-empty value.
void debug(const std::string& message);
bool debugging();

}  // namespace rivo
