// The image archive cache on the pipeline volume: one archive per tool,
// "<cache>/<tool>.tar", written by `docker save` under a temporary name of
// its own per save and published only when complete. A finished archive is
// never replaced (a reader may be loading it), so concurrent saves end with
// one complete archive.
#pragma once

#include <string>
#include <vector>

namespace tavro::rivo {

// The tool's archive in `cache_dir`, or "" when there is no cache. The tool
// name must be a single path component (BadName).
std::string cache_tar(const std::string& cache_dir, const std::string& tool);

// A temporary name for one save of `tar`: "<tar>.<12 hex digits>.tmp".
std::string archive_temp_path(const std::string& tar);

// Puts a finished temporary archive in place (synced), unless an archive is
// already there: then the temporary is removed and false returned.
bool publish_archive(const std::string& tmp, const std::string& tar);

// Removes temporary archives of `tar` ("<tar>.*.tmp" beside it) left by
// saves that died: those not modified for `max_age` seconds, longer than a
// save may run. Best effort; returns the paths removed.
std::vector<std::string> remove_stale_archive_temps(const std::string& tar, double max_age);

}  // namespace tavro::rivo
