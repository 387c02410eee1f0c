// Spelling paths, questions about them and creating directories, as
// os.path, pathlib and os.makedirs answer and do them. See fileops.hpp for
// the conventions.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavro::fs {

// os.path.join(dir, name) for one name: `name` alone when dir is empty, and
// no second '/' after a dir that ends in one.
std::string join(std::string_view dir, std::string_view name);

// The folder a path names its entry in: "." when it holds no '/', "/" for an
// entry of the root, else everything before the last '/'.
std::string dir_of(std::string_view path);

// Everything after the last '/' (the whole path when there is none).
std::string base_of(std::string_view path);

// pathlib's PurePosixPath(path).name: empty and "." segments are dropped, so
// "a/b/" gives "b", "a/." gives "a", and "." or "/" give "".
std::string final_component(std::string_view path);

// os.path.abspath(path): made absolute against the working directory and
// normalised by the letters alone ("a/../b" -> "<cwd>/b"), never resolved.
std::string absolute(std::string_view path);

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
