// File access of the connector store, in plain C++ (no Python headers). The
// store is small; what matters is that a reader never sees half a file.
#pragma once

#include <optional>
#include <string>

namespace tavro::linkwell::store {

// The whole file, or nullopt when nothing can be stat'ed at `path` (the test
// os.path.exists makes). Other failures throw OsError.
std::optional<std::string> read_if_exists(const std::string& path);

// The whole file; throws OsError (ENOENT when it is missing).
std::string read(const std::string& path);

// Creates or truncates the file and writes `data` (mode 0666 less the umask
// for a new file).
void write(const std::string& path, const std::string& data);

// Replaces the file's content as one step: the new text goes to a temporary
// file beside the real file (links followed), takes over its permissions and
// is renamed over it, so a concurrent reader or a crash half-way sees either
// the old or the new store, never a truncated one. Writes in place only when
// the directory refuses new entries but the file is writable (see
// fs::publish_bytes).
void replace(const std::string& path, const std::string& data);

}  // namespace tavro::linkwell::store
