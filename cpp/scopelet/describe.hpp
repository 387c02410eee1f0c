// What a finished node produced, seen from the file system: kinds and sizes of
// paths, the first files of a directory tree and `head` previews. Plain C++
// (no Python headers); every call may block and runs without the GIL.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavro::scopelet {

inline constexpr int kFileLines = 5;          // `head -n 5` of a top-level file
inline constexpr int kDirLines = 3;           // `head -n 3` of each file in a directory
inline constexpr std::size_t kDirFiles = 30;  // files listed per directory
inline constexpr double kHeadTimeout = 3.0;   // seconds per `head` run
// Bytes kept of one `head` output. Previews keep at most 400 characters after
// leading white space; the cap only bounds memory for files without line
// breaks (a multi-gigabyte binary would otherwise stream whole for 3 seconds).
inline constexpr std::size_t kHeadCap = 1 << 20;

// Polled while a `head` child runs; true stops everything (Aborted is thrown).
using AbortHook = std::function<bool()>;

enum class Kind { Missing, Directory, File, Other };
struct PathInfo {
  Kind kind = Kind::Missing;
  std::uint64_t size = 0;
};

// stat(2) following links, as os.path.isdir/isfile/getsize see the path; a
// path that cannot be stat'ed (or holds a NUL byte) is Missing.
PathInfo stat_path(const std::string& path);

// Every non-directory below `dir` (links to files, broken links, FIFOs and
// other special files included; links to directories neither listed nor
// entered; unreadable directories skipped), joined to its directory as
// os.path.join does, and the first `limit` of them in code-point order of
// their decoded (UTF-8, surrogateescape) text.
std::vector<std::string> first_files(const std::string& dir, std::size_t limit);

// `full` relative to `dir`, for paths that first_files built from `dir`.
std::string relative_to(const std::string& full, const std::string& dir);

// Standard output of `head -n <lines> <path>` (found on PATH), or nullopt if it
// cannot be started or does not finish within kHeadTimeout. The exit status
// does not matter, like a run without a check. Throws Aborted when `abort`
// asks to stop.
std::optional<std::string> head(const std::string& path, int lines, const AbortHook& abort);

struct DirListing {
  std::vector<std::string> relative;                // first kDirFiles files, sorted
  std::vector<std::optional<std::string>> previews; // `head -n 3` of each
};

// The walk and the previews of one directory block, one child at a time.
DirListing list_dir_block(const std::string& dir, const AbortHook& abort);

}  // namespace tavro::scopelet
