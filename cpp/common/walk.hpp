// Directory listings and walks in the order Python's own os.scandir and
// os.walk produce. See fileops.hpp for the conventions.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::fs {

// Reads an open directory straight from the kernel (getdents64), in the
// order the file system hands entries out: the order readdir(), and so
// Python's os.scandir and os.listdir, see. Working on the caller's own
// descriptor avoids fdopendir's extra fcntl and fstat per directory and
// leaves the descriptor free for *at() calls. "." and ".." are skipped.
class DirReader {
 public:
  struct Entry {
    std::string_view name;  // NUL-terminated; valid until the next call of next()
    unsigned char type;     // DT_*, DT_UNKNOWN where the file system does not say
  };
  explicit DirReader(int fd, std::size_t buffer_bytes = 32768);
  // Reads through the caller's buffer (a larger one needs fewer system calls
  // on big directories, and a walk can use one for every directory).
  DirReader(int fd, char* buffer, std::size_t buffer_bytes);
  // The next entry; nullopt at the end, or after a read error (error()).
  std::optional<Entry> next();
  int error() const { return error_; }

 private:
  int fd_;
  std::unique_ptr<char[]> own_;
  char* buf_;
  std::size_t size_, used_ = 0, pos_ = 0;
  int error_ = 0;
  bool done_ = false;
};

// All entries of an open directory, read with DirReader. Returns 0 or an errno.
struct RawEntry {
  std::string name;
  unsigned char type;  // DT_*
};
int read_dir(int fd, std::vector<RawEntry>& out);

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
