// File operations shared by every module: copying files and trees with their
// metadata, removing trees without following symlinks, and directory walks in
// the order Python's own os.scandir / os.walk produce. Plain C++, no Python:
// every function may run without the GIL, from several threads at once (no
// state is shared between calls), and retries EINTR itself.
//
// Failures throw tavro::OsError(errno, syscall, path[, path2]) where `path`
// (and `path2`) are the names Python's shutil / os would attach to the
// OSError, so the glue can raise FileNotFoundError, PermissionError, ... with
// the filename a Python caller expects. A path holding a NUL byte throws
// tavro::InvalidArgument (ValueError in Python); the predicates just say false.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.hpp"

namespace tavro::fs {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }
  // Closes and returns the error (0 if none): NFS and FUSE deliver failed
  // write-back here. Linux releases the descriptor even when close() says
  // EINTR, so retrying could close someone else's fd; EINTR counts as closed.
  int close_checked() {
    int fd = std::exchange(fd_, -1);
    if (fd < 0 || ::close(fd) == 0 || errno == EINTR) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
};

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

// shutil.rmtree's "Cannot call rmtree on a symbolic link". errno ELOOP, which
// Python maps to a plain OSError, as shutil raises.
class SymlinkRootError : public OsError {
 public:
  explicit SymlinkRootError(std::string path)
      : OsError(ELOOP, "rmtree_symlink", std::move(path)) {}
};

// ---------------------------------------------------------------------------
// Copying

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

// ---------------------------------------------------------------------------
// Removing

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

// ---------------------------------------------------------------------------
// Walking and queries

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

// open(path, "wb").write(bytes): creates or truncates path (mode 0666 &
// ~umask, a symlink at path is followed) and writes all of bytes. A failure
// to write or to close (NFS reports late errors there) throws. As in Python,
// a FIFO at path blocks until it has a reader.
void write_file(const std::string& path, std::string_view bytes);

// open(path, "rb").read(): the whole file. Throws OsError for path (ENOENT
// when it is missing).
std::string read_file(const std::string& path);

// ---------------------------------------------------------------------------
// Replacing and publishing whole files

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

// fsync of a directory, making names created or renamed in it durable. Best
// effort: some file systems refuse it, and the data is in place either way.
void sync_dir(const std::string& dir) noexcept;

}  // namespace tavro::fs
