// Copying one file's data: reflink, in-kernel copy, sendfile or read/write,
// whichever the two file systems allow.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "common/copy.hpp"
#include "common/copy_internal.hpp"
#include "common/errors.hpp"
#include "common/path.hpp"

// <linux/fs.h> clashes with <sys/mount.h> in some libc versions; the ioctl
// number is ABI and never changes.
#ifndef FICLONE
#define FICLONE _IOW(0x94, 9, int)
#endif

namespace tavro::fs {
namespace detail {
namespace {

constexpr size_t kMinBuffer = size_t{64} << 10;
constexpr size_t kMaxBuffer = size_t{1} << 20;
// Bytes asked for per copy_file_range / sendfile call. The kernel caps a call
// at about 2 GiB anyway; 1 GiB keeps each call short enough that a signal is
// noticed between calls on slow storage.
constexpr size_t kChunk = size_t{1} << 30;

bool is_unsupported(int e) { return e == EOPNOTSUPP || e == ENOTSUP || e == ENOSYS; }

void read_write_loop(CopyCtx& ctx, int in, int out, const struct stat& sst, const Where& sw,
                     const Where& dw) {
  // Small files get a small buffer (a 1 MiB allocation per file would cost
  // more than the copy); size-0 pseudo files start small and grow.
  size_t cap = kMinBuffer;
  if (S_ISREG(sst.st_mode) && sst.st_size > 0)
    cap = std::clamp(static_cast<size_t>(sst.st_size) + 1, kMinBuffer, kMaxBuffer);
  char* buf = ctx.buffer(cap);
  for (;;) {
    ssize_t n = no_eintr([&] { return ::read(in, buf, cap); });
    if (n < 0) throw OsError(errno, "read", sw.str());
    if (n == 0) return;
    if (int e = write_all(out, buf, static_cast<size_t>(n))) throw OsError(e, "write", sw.str(), dw.str());
    if (static_cast<size_t>(n) == cap && cap < kMaxBuffer) {
      cap = kMaxBuffer;
      buf = ctx.buffer(cap);
    }
  }
}

// Reflink: shares extents on btrfs/XFS/bcachefs, instant and atomic. True
// when the file was copied this way.
bool try_clone(CopyCtx& ctx, int in, int out, const struct stat& sst, std::optional<dev_t> dst_dev,
               const Where& sw, const Where& dw) {
  if (no_eintr([&] { return ::ioctl(out, FICLONE, in); }) == 0) return true;
  int e = errno;
  if (is_unsupported(e) || e == ENOTTY || e == EXDEV) {
    // ext4, tmpfs (EOPNOTSUPP), different mounts (EXDEV): the same for
    // every file between these two devices.
    CopyCtx::remember(ctx.no_clone, sst.st_dev, dst_dev);
  } else if (e != EINVAL && e != EBADF) {
    // EINVAL/EBADF are per-file on some file systems (btrfs refuses
    // nodatacow vs datacow pairs), so only those are retried per file.
    throw OsError(e, "ioctl_ficlone", sw.str(), dw.str());
  }
  return false;
}

enum class RangeCopy { Done, TrySendfile, ReadOnly };

// In-kernel copy (server-side on NFS 4.2/CIFS, splice otherwise).
// Loops to EOF rather than st_size so a growing file is copied whole.
RangeCopy try_copy_range(CopyCtx& ctx, int in, int out, const struct stat& sst,
                         std::optional<dev_t> dst_dev, const Where& sw, const Where& dw) {
  std::uint64_t copied = 0;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) {
      // Zero bytes from a file whose stat said otherwise: a pseudo file
      // (or one truncated meanwhile); read() tells the truth.
      return copied > 0 ? RangeCopy::Done : RangeCopy::ReadOnly;
    }
    int e = errno;
    if (e == EINTR) continue;
    if (copied == 0) {
      if (is_unsupported(e) || e == EXDEV) {
        // Kernel < 4.5, cross-file-system before 5.3 and again since
        // 5.19 unless both sides are the same fs type.
        CopyCtx::remember(ctx.no_range, sst.st_dev, dst_dev);
        return RangeCopy::TrySendfile;
      }
      // EINVAL: not a regular file / unsupported flags on this fs.
      // EIO: some FUSE and CIFS versions report "cannot" this way; if
      // the error is real the fallback meets it again.
      // EBADF: overlayfs on some kernels for files not yet copied up.
      if (e == EINVAL || e == EIO || e == EBADF) return RangeCopy::TrySendfile;
    }
    throw OsError(e, "copy_file_range", sw.str(), dw.str());
  }
}

// True when sendfile moved the whole file; false to let read() decide.
bool try_sendfile(int in, int out, const Where& sw, const Where& dw) {
  std::uint64_t copied = 0;
  for (;;) {
    ssize_t n = ::sendfile(out, in, nullptr, kChunk);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) return copied > 0;  // as for copy_file_range
    int e = errno;
    if (e == EINTR) continue;
    if (copied == 0 && (e == EINVAL || is_unsupported(e))) return false;
    throw OsError(e, "sendfile", sw.str(), dw.str());
  }
}

// Moves all of `in` (from offset 0) to `out` (empty, offset 0). Each faster
// method may be abandoned only while nothing has been transferred yet: after
// that its error is the real one and is thrown.
void copy_data(CopyCtx& ctx, int in, int out, const struct stat& sst, bool dst_regular,
               std::optional<dev_t> dst_dev, const Where& sw, const Where& dw) {
  // stat size 0 is what /proc and /sys files claim whatever their content;
  // copy_file_range and sendfile would see EOF at once. Empty regular files
  // cost one read() the same way. Non-regular sources (character devices)
  // only work with read().
  if (S_ISREG(sst.st_mode) && sst.st_size > 0) {
    if (dst_regular && !CopyCtx::known(ctx.no_clone, sst.st_dev, dst_dev) &&
        try_clone(ctx, in, out, sst, dst_dev, sw, dw))
      return;
    RangeCopy r = RangeCopy::TrySendfile;
    if (dst_regular && !CopyCtx::known(ctx.no_range, sst.st_dev, dst_dev))
      r = try_copy_range(ctx, in, out, sst, dst_dev, sw, dw);
    if (r == RangeCopy::Done) return;
    if (r == RangeCopy::TrySendfile && try_sendfile(in, out, sw, dw)) return;
  }
  read_write_loop(ctx, in, out, sst, sw, dw);
}

bool clear_nonblock(int fd) {
  int fl = ::fcntl(fd, F_GETFL);
  return fl >= 0 && ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == 0;
}

// Opens the destination for writing without ever truncating the source:
// open(O_TRUNC) on a second name of the same inode would destroy the data
// before any same-file check could run. The common case (dst missing) is a
// single O_EXCL open; only an existing dst pays for fstat + ftruncate.
Fd open_destination(int ddir, const char* dname, const Where& dw, const struct stat& sst,
                    const Where& sw, bool& dst_regular) {
  constexpr int kBase = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
  Fd out = open_at(ddir, dname, kBase | O_EXCL, 0666);
  if (out) {
    dst_regular = true;
    return out;
  }
  if (errno != EEXIST) throw OsError(errno, "open", dw.str());

  // O_NONBLOCK so a FIFO at dst cannot block the open: with no reader it
  // fails ENXIO, with one it opens and fstat catches it below.
  out = open_at(ddir, dname, kBase | O_NONBLOCK, 0666);
  if (!out) {
    int e = errno;
    struct stat st;
    if (e == ENXIO && ::fstatat(ddir, dname, &st, 0) == 0 && S_ISFIFO(st.st_mode))
      throw SpecialFileError(dw.str());
    throw OsError(e, "open", dw.str());
  }
  struct stat dst;
  if (::fstat(out.get(), &dst) != 0) throw OsError(errno, "stat", dw.str());
  if (dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino)
    throw SameFileError(sw.str(), dw.str());
  if (S_ISFIFO(dst.st_mode)) throw SpecialFileError(dw.str());
  dst_regular = S_ISREG(dst.st_mode);
  if (dst_regular) {
    if (dst.st_size != 0 && no_eintr([&] { return ::ftruncate(out.get(), 0); }) != 0)
      throw OsError(errno, "open", dw.str());
  } else if (!clear_nonblock(out.get())) {
    throw OsError(errno, "fcntl", dw.str());
  }
  return out;
}

}  // namespace

// Copies the already opened source (opened O_NONBLOCK, see callers) to
// ddir/dname. Returns false when the source was skipped as a special file.
bool copy_opened(CopyCtx& ctx, Fd& in, const Where& sw, int ddir, const char* dname,
                 const Where& dw, std::optional<dev_t> dst_dev, OnSpecial on_special) {
  struct stat sst;
  if (::fstat(in.get(), &sst) != 0) throw OsError(errno, "stat", sw.str());
  if (S_ISDIR(sst.st_mode)) throw OsError(EISDIR, "open", sw.str());
  if (!S_ISREG(sst.st_mode)) {
    if (on_special == OnSpecial::Skip) return false;
    if (S_ISFIFO(sst.st_mode)) throw SpecialFileError(sw.str());
    // A character device copied like shutil does (read until EOF); it needs
    // blocking reads again.
    if (!clear_nonblock(in.get())) throw OsError(errno, "fcntl", sw.str());
  }
  bool dst_regular = false;
  Fd out = open_destination(ddir, dname, dw, sst, sw, dst_regular);
  copy_data(ctx, in.get(), out.get(), sst, dst_regular, dst_dev, sw, dw);
  if (dst_regular) {
    // Stat again, as shutil.copystat does after the copy: reading the source
    // may just have moved its atime (relatime), and the copy should carry the
    // times os.stat(src) reports now.
    if (::fstat(in.get(), &sst) != 0) throw OsError(errno, "stat", sw.str());
    copy_stat_fd(in.get(), out.get(), sst, sw, dw);
  }
  if (int e = out.close_checked()) throw OsError(e, "close", dw.str());
  return true;
}

}  // namespace detail

using namespace detail;

void copy_file(const std::string& src, const std::string& dst, bool follow_symlinks) {
  const char* s = cpath(src);
  const char* d = cpath(dst);
  const Where sw{nullptr, s}, dw{nullptr, d};
  Fd in = open_at(AT_FDCWD, s, kSrcFlags | (follow_symlinks ? 0 : O_NOFOLLOW));
  if (!in) {
    int e = errno;
    std::string target;
    // O_NOFOLLOW on a symlink fails ELOOP; readlink tells it apart from a
    // genuine loop earlier in the path.
    if (!follow_symlinks && e == ELOOP && read_link(AT_FDCWD, s, target)) {
      copy_symlink(src, target, dst);
      return;
    }
    throw OsError(e, "open", src);
  }
  CopyCtx ctx;
  copy_opened(ctx, in, sw, AT_FDCWD, d, dw, std::nullopt, OnSpecial::Throw);
}

}  // namespace tavro::fs
