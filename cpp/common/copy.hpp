// Copying files and trees with their metadata, as shutil.copy2 and
// shutil.copytree do. See fileops.hpp for the conventions.
#pragma once

#include <cerrno>
#include <string>
#include <utility>

#include "common/errors.hpp"

namespace tavro::fs {

// shutil.SameFileError: source and destination are the same file (same device
// and inode, however they are spelled). Nothing was written. errno EINVAL.
class SameFileError : public OsError {
 public:
  SameFileError(std::string src, std::string dst)
      : OsError(EINVAL, "same_file", std::move(src), std::move(dst)) {}
};

// shutil.SpecialFileError: a named pipe as source or destination of a file
// copy. Never opened for blocking I/O, so this cannot hang. errno EINVAL.
class SpecialFileError : public OsError {
 public:
  explicit SpecialFileError(std::string path)
      : OsError(EINVAL, "named_pipe", std::move(path)) {}
};

// shutil.copy2(src, dst) where dst names the file to write (a directory as dst
// fails with EISDIR; it is not copied "into"). Copies the bytes, then the
// extended attributes (best effort, as shutil), the permission bits (incl.
// setuid/setgid/sticky) and atime/mtime to the nanosecond, taken from a stat
// of src made after its data was read (as shutil.copystat does, so a relatime
// update caused by the copy itself is carried over). Ownership is not copied.
// Metadata is applied only when dst is a regular file, so copying onto
// /dev/null never chmods the device.
//
// dst is created with mode 0666 & ~umask or, when it exists, truncated in
// place (its inode, hard links and a symlink at dst are kept: the bytes go to
// the symlink's target, like open(dst, "wb")). It is never hard-linked to src.
// Data goes through FICLONE (reflink), else copy_file_range, else sendfile,
// else read/write with a buffer of up to 1 MiB; a faster method is abandoned
// only when it reports "unsupported" before the first byte moved. The copy
// runs until end of file, not to the size stat reported, so growing files and
// size-0 pseudo files (/proc, /sys) copy completely. Holes are not preserved.
// A failure part way leaves a partial dst behind (as shutil and cp do).
//
// follow_symlinks=false and src is a symlink: dst becomes a new symlink with
// the same target (EEXIST if dst exists, reported as (target, dst) like
// os.symlink), its atime/mtime and xattrs copied; otherwise src is opened with
// O_NOFOLLOW.
//
// Throws SameFileError, SpecialFileError (src or dst is a FIFO), OsError
// EISDIR (src is a directory), other OsErrors with the path shutil reports:
// src for opening/reading it, dst for creating it and for its metadata,
// (src, dst) for failed transfers (e.g. ENOSPC).
void copy_file(const std::string& src, const std::string& dst, bool follow_symlinks = true);

// shutil.copytree(src, dst, symlinks=False, dirs_exist_ok=dirs_exist_ok):
// every file below src is copied with copy_file's semantics, directories are
// created (parents of dst too) and get src's xattrs, mode and times after
// their content is done. Symlinks are followed: a link to a file copies the
// file's content, a link to a directory copies that directory. Existing
// directories in dst are merged into (with dirs_exist_ok) and existing files
// overwritten.
//
// Differences from shutil, by choice:
// - FIFOs, sockets and device nodes (also behind symlinks) are skipped
//   silently, never opened, so a FIFO in the tree cannot block the copy.
// - A directory reached again through a symlink to one of its own ancestors
//   is an error ELOOP for that link (shutil would recurse until the path is
//   too long); copying the destination into itself is an error EINVAL for
//   that source directory; src and dst being the same directory throws
//   SameFileError up front.
// - Errors on entries do not stop the copy: like shutil, everything that can
//   be copied is, and the error of the FIRST failing entry is thrown at the
//   end (shutil would raise shutil.Error listing all of them). A dangling
//   symlink is such an entry error: OsError ENOENT for the link's path.
//   Failing to read src itself or to create dst throws at once.
// Entries are processed in readdir order; one descriptor per level of depth
// is held open on each side, so the depth is bounded by the fd limit.
//
// With `confine_links` non-empty, a symlink met inside src is followed only
// when its target resolves inside that folder; any other symlink (dangling
// ones included) is left out silently. A tool's sandbox uses this so that a
// link the tool made cannot pull host files into the copy.
void copy_tree(const std::string& src, const std::string& dst, bool dirs_exist_ok = true,
               const std::string& confine_links = {});

}  // namespace tavro::fs
