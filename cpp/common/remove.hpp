// Removing trees without following symlinks, as shutil.rmtree does. See
// fileops.hpp for the conventions.
#pragma once

#include <cerrno>
#include <string>
#include <utility>

#include "common/errors.hpp"

namespace tavro::fs {

// shutil.rmtree's "Cannot call rmtree on a symbolic link". errno ELOOP, which
// Python maps to a plain OSError, as shutil raises.
class SymlinkRootError : public OsError {
 public:
  explicit SymlinkRootError(std::string path)
      : OsError(ELOOP, "rmtree_symlink", std::move(path)) {}
};

// shutil.rmtree(path): removes the directory and everything below it, walking
// with openat/unlinkat relative to directory descriptors so a symlink inside
// the tree is removed itself and never followed, even if a directory is
// swapped for a symlink during the walk. A symlink as `path` is refused
// (SymlinkRootError; trailing slashes are stripped first so "link/" is
// refused too), a non-directory throws ENOTDIR, a missing path ENOENT.
// Entries that vanish concurrently (ENOENT) below `path` are not errors.
// Throws at the first failure with the full path of the failing entry.
void remove_tree(const std::string& path);

// shutil.rmtree(path, ignore_errors=True): removes whatever can be removed and
// never throws an OsError. Returns true when `path` did not exist or was
// removed completely; false when anything remains (including a symlink or a
// non-directory at `path`, which are left alone, as shutil does).
bool remove_tree_ignore_errors(const std::string& path);

}  // namespace tavro::fs
