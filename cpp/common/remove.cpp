#include "common/remove.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs {
namespace {

using namespace detail;

struct RmFrame {
  Fd fd;
  std::string path, name;
  std::vector<RawEntry> entries;
  size_t next = 0;
};

// One removal of a tree, depth first with one open descriptor per level.
// Strict: throws at the first failure; otherwise failures only clear ok.
class TreeRemover {
 public:
  explicit TreeRemover(bool strict) : strict_(strict) {}

  bool ok() const { return ok_; }

  void fail(int e, const char* syscall, const std::string& where) {
    if (strict_) throw OsError(e, syscall, where);
    ok_ = false;
  }

  // The root could not be opened as a directory (errno says why). Returns
  // what rmtree_impl returns.
  bool root_failed(const std::string& path, const std::string& path_in) {
    int e = errno;
    if (e == ENOENT && !strict_) return true;
    struct stat st;
    // O_NOFOLLOW|O_DIRECTORY on a symlink fails ENOTDIR (ELOOP without
    // O_DIRECTORY on older kernels); lstat tells a link from a file.
    if ((e == ELOOP || e == ENOTDIR) && ::lstat(path.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
      if (strict_) throw SymlinkRootError(path_in);
      return false;
    }
    fail(e, e == ENOTDIR ? "scandir" : "open", path_in);
    return false;
  }

  // Empties the tree below `root`; the root itself is left to the caller.
  void run(Fd root, const std::string& path_in) {
    RmFrame f;
    f.fd = std::move(root);
    f.path = path_in;
    if (int e = read_dir(f.fd.get(), f.entries)) fail(e, "scandir", path_in);
    stack_.push_back(std::move(f));
    while (!stack_.empty()) {
      RmFrame& top = stack_.back();
      if (top.next == top.entries.size()) {
        leave();
        continue;
      }
      remove_entry(top, top.entries[top.next++]);  // may push: `top` dangles after
    }
  }

 private:
  // The top directory is empty: close it, then remove it from its parent.
  void leave() {
    std::string name = std::move(stack_.back().name);
    std::string where = std::move(stack_.back().path);
    stack_.pop_back();  // closes the directory before it is removed
    if (stack_.empty()) return;
    if (::unlinkat(stack_.back().fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      fail(errno, "rmdir", where);
  }

  void remove_entry(const RmFrame& top, const RawEntry& ent) {
    const char* name = ent.name.c_str();
    if (ent.type != DT_DIR) {
      // Unknown types are tried as files first: unlink of a directory fails
      // EISDIR on Linux, which saves an lstat per entry.
      if (no_eintr([&] { return ::unlinkat(top.fd.get(), name, 0); }) == 0 || errno == ENOENT)
        return;
      if (errno != EISDIR) {
        fail(errno, "unlink", join(top.path, name));
        return;
      }
    }
    Fd sub = open_at(top.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!sub) {
      open_failed(top, name);
      return;
    }
    RmFrame f;
    f.fd = std::move(sub);
    f.path = join(top.path, name);
    f.name = ent.name;
    if (int e = read_dir(f.fd.get(), f.entries)) {
      fail(e, "scandir", f.path);
      f.entries.clear();  // best effort: its rmdir below reports ENOTEMPTY
    }
    stack_.push_back(std::move(f));  // `top` and `ent` dangle from here on
  }

  // A listed directory could not be opened (errno says why).
  void open_failed(const RmFrame& top, const char* name) {
    int e = errno;
    if (e == ENOENT) return;
    if (e == ENOTDIR || e == ELOOP) {
      // Replaced by a file or a symlink since it was listed: remove that
      // entry itself; its target is never touched.
      if (::unlinkat(top.fd.get(), name, 0) == 0 || errno == ENOENT) return;
      fail(errno, "unlink", join(top.path, name));
    } else {
      fail(e, "open", join(top.path, name));
    }
  }

  bool strict_;
  bool ok_ = true;
  std::vector<RmFrame> stack_;
};

bool rmtree_impl(const std::string& path_in, bool strict) {
  const char* p = cpath(path_in);
  // "link/" would make the kernel resolve the link despite O_NOFOLLOW.
  std::string path = p;
  while (path.size() > 1 && path.back() == '/') path.pop_back();

  TreeRemover rm(strict);
  // O_DIRECTORY|O_NOFOLLOW in one call replaces shutil's lstat/open/fstat
  // dance: it cannot open anything but the directory itself.
  Fd root = open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (!root) return rm.root_failed(path, path_in);
  rm.run(std::move(root), path_in);
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) rm.fail(errno, "rmdir", path_in);
  return rm.ok();
}

}  // namespace

void remove_tree(const std::string& path) { rmtree_impl(path, true); }

bool remove_tree_ignore_errors(const std::string& path) {
  try {
    return rmtree_impl(path, false);
  } catch (const InvalidArgument&) {
    return false;
  }
}

}  // namespace tavro::fs
