// Directory listings and walks in the order Python's own os.scandir and
// os.walk produce. See fileops.hpp for the conventions.
#pragma once

#include <string>
#include <vector>

namespace tavro::fs {

struct DirEntry {
  enum class Kind { File, Dir, Symlink, Other };
  std::string name;
  Kind kind;  // of the entry itself, never of a symlink's target
};

// os.listdir / os.scandir(path): entries in readdir order (the order Python
// sees), without "." and "..". The kind comes from d_type, with an lstat only
// when the file system leaves it unknown (an entry that vanished meanwhile is
// kept as Other). Throws OsError(errno, ..., path) when path cannot be read.
std::vector<DirEntry> list_dir(const std::string& path);

// The regular files below root in os.walk(root) order (topdown): each
// directory's files in scandir order, then each of its subdirectories in
// scandir order, depth first. Returns paths relative to root joined with '/'
// ("a.txt", "sub/b.txt").
// Symlinks: a symlink whose target is a regular file is returned (os.walk
// lists it under files). A symlink to a directory is descended only with
// follow_dir_symlinks (os.walk's followlinks); a directory already being
// walked (a symlink loop) is then skipped. Dangling symlinks, FIFOs, sockets
// and devices are not returned.
// Errors: the root must be a readable directory (else OsError for root);
// below it, unreadable directories are skipped silently like os.walk does.
// With `strict`, running out of descriptors or memory below the root throws
// (OsError for that directory) instead of silently losing the files there.
std::vector<std::string> walk_files(const std::string& root, bool follow_dir_symlinks = false,
                                    bool strict = false);

}  // namespace tavro::fs
