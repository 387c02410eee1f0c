// Publishing: a finished file or folder put in place under its final name in
// one step. Whatever is written is first complete under a temporary name in
// the same folder (".<name>.tmp-XXXXXX") and then renamed onto its final
// name, so the final name always holds either what was there before or the
// complete new content, never a part of it; a failure removes the
// temporary. Every "write this whole, then put it in place" of the package
// goes through these functions. See fileops.hpp for the conventions.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tavro::fs {

struct Publish {
  // The data synced before the rename and the folder after it, so that not
  // even a crash of the machine can leave a truncated file under the final
  // name. Off for outputs that are many and cheap to make again (a tool's
  // harvest), where a sync per file would cost more than the copy.
  bool sync = true;
  // A finished file already at the final name stays, and the new one is
  // dropped (publish returns false): for files other processes may be
  // reading while we publish, such as image archives.
  bool keep_existing = false;
};

// Renames our finished file `tmp` onto `dst`, replacing what is there (a
// symbolic link, FIFO or device included, never written through). Returns
// false only with keep_existing when `dst` already existed (`tmp` is then
// removed). Throws OsError (for `tmp` when it cannot be synced, for
// (tmp, dst) when the rename fails); `tmp` stays for the caller to remove.
bool publish(const std::string& tmp, const std::string& dst, const Publish& how = {});

// Copies the file `src` (as copy_file does: bytes, mode, times, xattrs) to a
// temporary file beside `dst` and publishes it there. Returns what publish
// returns.
bool publish_copy(const std::string& src, const std::string& dst, const Publish& how = {});

// Puts our own finished file `src` at `dst`: renamed when both are on one
// file system, else published as a copy and `src` removed only then, so
// `dst` never exists half-written.
void publish_move(const std::string& src, const std::string& dst, const Publish& how = {});

struct PublishBytes {
  std::optional<mode_t> mode;  // permission bits of the new file; see publish_bytes
  bool replace_link = false;   // a symlink at the path is replaced itself, not followed
};

// Writes `bytes` as the whole new content of `path`, published with sync.
//
// A symlink at `path` (or a chain of them) is followed and the file it leads
// to is replaced, the links kept; a dangling link gets its target created,
// as open(path, "w") would. With replace_link the link itself is replaced by
// the file and whatever it pointed to is left alone.
// The new file gets `mode` when given; else the replaced file's permission
// bits and, where allowed, its owner and group; else (no file yet) 0666 less
// the umask.
// A directory that refuses new entries (EACCES, EPERM) around a file we may
// write: the file is rewritten in place (truncated, written, synced), the
// only way left, as a plain open-and-write would. Any other failure to make
// the temporary file (ENOSPC, EROFS, a missing directory) throws and leaves
// the old file untouched.
// Throws OsError naming `path`; no temporary file is left behind.
void publish_bytes(const std::string& path, std::string_view bytes, const PublishBytes& opts = {});

// Renames the finished folder `tmp` onto `dst`. An existing folder at `dst`
// is swapped out in one step and then removed; a regular file there is an
// error (EEXIST); anything else (link, FIFO, device) is replaced. On failure
// `tmp` is removed.
void publish_dir(const std::string& tmp, const std::string& dst);

// A fresh, empty temporary directory beside `final_path`, for building a
// folder to publish with publish_dir.
std::string temp_dir_beside(const std::string& final_path);

// `path` as a real directory: created with its parents when missing; a
// symbolic link, FIFO, socket or device there is replaced by a directory, so
// nothing published inside it can land elsewhere.
void ensure_real_dir(const std::string& path);

}  // namespace tavro::fs
