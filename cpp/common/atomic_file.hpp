// Replacing, publishing and moving whole files so that a reader or a crash
// never sees a half-written one. See fileops.hpp for the conventions.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tavro::fs {

struct ReplaceOptions {
  std::optional<mode_t> mode;  // permission bits of the new file; see replace_file
  bool replace_link = false;   // a symlink at path is replaced itself, not followed
};

// Replaces the file at `path` with `bytes` as one step: a temporary file
// beside the target is written, synced and renamed over it, then the
// directory is synced, so a concurrent reader or a crash half-way sees the
// old or the new content, never a mix or a truncated file.
//
// A symlink at `path` (or a chain of them) is followed and the file it leads
// to is replaced, the links kept; a dangling link gets its target created,
// as open(path, "w") would. With opts.replace_link the link itself is
// replaced by the file and whatever it pointed to is left alone.
// The new file gets opts.mode when given; else the replaced file's
// permission bits and, where allowed, its owner and group; else (no file
// yet) 0666 less the umask.
// A directory that refuses new entries (EACCES, EPERM) around a file we may
// write: the file is rewritten in place (truncated, written, synced), the
// only way left, as a plain open-and-write would. Any other failure to make
// the temporary file (ENOSPC, EROFS, a missing directory) throws and leaves
// the old file untouched.
// Throws OsError naming `path`; no temporary file is left behind.
void replace_file(const std::string& path, std::string_view bytes, const ReplaceOptions& opts = {});

// Puts a finished file in place: its data is synced first, then it is
// renamed over `dst` (replacing it in one step) and the new name synced, so
// a crash can never leave a truncated `dst`. Throws OsError (for `tmp` when
// it cannot be opened or synced, for (tmp, dst) when the rename fails).
void publish_file(const std::string& tmp, const std::string& dst);

// rename(from, to), then the name made durable by syncing to's directory
// (best effort). Throws OsError(errno, "rename", from, to).
void rename_durably(const std::string& from, const std::string& to);

// Moves a file like rename(2). Across file systems it is copied as copy_file
// does (mode, times and extended attributes kept) to a temporary file beside
// `dst`, synced and renamed into place, and only then `src` is removed, so
// `dst` never exists half-written. Throws OsError.
void move_file(const std::string& src, const std::string& dst);

}  // namespace tavro::fs
