#include "rivo/core/image_cache.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "common/fileops.hpp"
#include "common/random.hpp"
#include "rivo/core/names.hpp"

namespace tavro::rivo {

std::string cache_tar(const std::string& cache_dir, const std::string& tool) {
  require_single_component(tool, "tool name");
  if (cache_dir.empty()) return {};
  return fs::join(cache_dir, tool + ".tar");
}

std::string archive_temp_path(const std::string& tar) { return tar + "." + random_hex(6) + ".tmp"; }

bool publish_archive(const std::string& tmp, const std::string& tar) {
  return fs::publish(tmp, tar, {.sync = true, .keep_existing = true});
}

std::vector<std::string> remove_stale_archive_temps(const std::string& tar, double max_age) {
  std::vector<std::string> removed;
  const std::string dir = fs::dir_of(tar);
  const std::string stem = fs::base_of(tar) + ".";
  std::vector<fs::DirEntry> entries;
  try {
    entries = fs::list_dir(dir);
  } catch (const std::exception&) {
    return removed;
  }
  const std::time_t now = std::time(nullptr);
  for (const auto& e : entries) {
    const std::string& n = e.name;
    // <tar>.<12 hex>.tmp, and the older fixed name <tar>.tmp
    bool ours = n.size() == stem.size() + 16 && n.compare(0, stem.size(), stem) == 0 &&
                n.compare(n.size() - 4, 4, ".tmp") == 0;
    if (!(ours || n == stem + "tmp") || e.kind != fs::DirEntry::Kind::File) continue;
    std::string path = fs::join(dir, n);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || std::difftime(now, st.st_mtime) < max_age) continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  }
  return removed;
}

}  // namespace tavro::rivo
