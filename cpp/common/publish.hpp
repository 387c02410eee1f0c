// Publishing results under their final names in one step. A file or folder
// is first written under a temporary name in the same folder and then
// renamed onto its final name, so the final name always holds either what was
// there before or the complete new content, never a part of it. Whatever sat
// at the final name (a symbolic link, FIFO or device included) is replaced
// itself, never written through. On failure the temporary is removed.
#pragma once

#include <string>

namespace tavro::fs {

// A fresh, empty temporary directory beside `final_path`
// (".<name>.tmp-XXXXXX"), for building a folder to publish.
std::string temp_dir_beside(const std::string& final_path);

// Copies the file `src` (as copy_file does: bytes, mode, times, xattrs) to a
// temporary file beside `dst` and renames it onto `dst`.
void publish_copy(const std::string& src, const std::string& dst);

// Puts our own finished file `src` at `dst`: renamed when both are on one
// file system, else published as a copy and `src` removed.
void publish_move(const std::string& src, const std::string& dst);

// Renames the finished folder `tmp` onto `dst`. An existing folder at `dst`
// is swapped out in one step and then removed; a regular file there is an
// error (EEXIST); anything else (link, FIFO, device) is replaced. On failure
// `tmp` is removed.
void publish_dir(const std::string& tmp, const std::string& dst);

// `path` as a real directory: created with its parents when missing; a
// symbolic link, FIFO, socket or device there is replaced by a directory, so
// nothing published inside it can land elsewhere.
void ensure_real_dir(const std::string& path);

}  // namespace tavro::fs
