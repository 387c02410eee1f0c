#include "haulix/cache.hpp"

#include <cstdint>
#include <optional>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/flock.hpp"

namespace tavro::haulix {
namespace {

// The record of `entry`: ".#<name>" beside it. A name too long to take the
// prefix (file names stop at 255 bytes) has its record under a shortened
// name; collisions there only cost a download, never a wrong file.
std::string record_of(const std::string& dir, const std::string& name) {
  std::string rec = ".#" + name;
  if (rec.size() > 255) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a: stable across builds
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    rec = ".#" + name.substr(0, 200) + "#" + std::to_string(h);
  }
  return dir + "/" + rec;
}

std::optional<std::string> recorded_link(const std::string& record) {
  try {
    return fs::read_file(record);
  } catch (const OsError& e) {
    if (e.err() == ENOENT) return std::nullopt;
    throw;
  }
}

// The lock of the folder, or none where the folder is read-only (nothing can
// be claimed there, but earlier downloads are still found).
std::optional<lock::FileLock> lock_folder(const std::string& folder) {
  try {
    return std::optional<lock::FileLock>(std::in_place, folder + "/.#lock", lock::Mode::Exclusive);
  } catch (const OsError& e) {
    // A missing folder fails the download itself, naming the cache path.
    if (e.err() == EACCES || e.err() == EROFS || e.err() == EPERM || e.err() == ENOENT)
      return std::nullopt;
    throw;
  }
}

}  // namespace

Placement place(const std::string& folder, const std::string& name, const std::string& link,
                const std::string& link_hash) {
  std::optional<lock::FileLock> held = lock_folder(folder);
  const std::string dirs[2] = {folder, folder + "/#" + link_hash};
  for (const std::string& dir : dirs) {
    const std::string path = dir + "/" + name, record = record_of(dir, name);
    std::optional<std::string> owner = recorded_link(record);
    const bool present = fs::exists(path);
    if (owner == link) return {path, present};
    if (!owner && present) return {path, true};
    if (!owner || &dir == &dirs[1]) {
      // Free (or, past the link's own subfolder, taken over): claim it.
      if (&dir != &dirs[0]) fs::make_dirs(dir);
      try {
        fs::publish_bytes(record, link);
      } catch (const OsError& e) {
        if (e.err() != ENOENT) throw;  // no folder: the download reports it
      }
      return {path, false};
    }
  }
  return {};  // not reached: the second folder always returns
}

}  // namespace tavro::haulix
