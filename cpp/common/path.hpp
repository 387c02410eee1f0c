// Questions about paths and creating directories, as os.path and
// os.makedirs answer and do them. See fileops.hpp for the conventions.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavro::fs {

// True when `name` stays one entry inside its folder: not empty, not "." or
// "..", and without '/' or NUL.
bool is_single_component(std::string_view name);

// True when both exist and realpath(path) equals realpath(root) or lies below
// it, compared by whole components ("/a/bc" is not inside "/a/b"). Used to
// refuse symlinks escaping a sandbox. The answer can change as soon as it is
// returned; it is a check, not a lock.
bool resolves_inside(const std::string& path, const std::string& root);

// os.path.exists / os.path.isdir / Path.is_file: follow symlinks, false on any
// error (missing, permission, dangling link, NUL in the path).
bool exists(const std::string& path);
bool is_dir(const std::string& path);
bool is_regular_file(const std::string& path);

// os.makedirs(path, mode, exist_ok=True): missing parents get 0777, the last
// component `mode` (both minus the umask). An existing directory (or symlink
// to one) is fine; anything else there throws OsError EEXIST for path
// (FileExistsError). A non-directory among the parents throws ENOTDIR for
// the path directly below it (as os.makedirs does).
void make_dirs(const std::string& path, mode_t mode = 0777);

}  // namespace tavro::fs
