#include "common/fileops.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <utility>

#include "common/errors.hpp"

// <linux/fs.h> clashes with <sys/mount.h> in some libc versions; the ioctl
// number is ABI and never changes.
#ifndef FICLONE
#define FICLONE _IOW(0x94, 9, int)
#endif

namespace tavro::fs {
namespace {

constexpr size_t kMinBuffer = size_t{64} << 10;
constexpr size_t kMaxBuffer = size_t{1} << 20;
// Bytes asked for per copy_file_range / sendfile call. The kernel caps a call
// at about 2 GiB anyway; 1 GiB keeps each call short enough that a signal is
// noticed between calls on slow storage.
constexpr size_t kChunk = size_t{1} << 30;

// Retries a call that failed with EINTR. Slow file systems (NFS, FUSE) and
// FIFOs can interrupt open, read, write, copy_file_range and even unlink.
template <class F>
auto no_eintr(F f) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

const char* cpath(const std::string& p) {
  if (p.find('\0') != std::string::npos) throw InvalidArgument("embedded null byte");
  return p.c_str();
}

bool has_nul(const std::string& p) { return p.find('\0') != std::string::npos; }

// os.path.join for one component: no doubled separator after a trailing '/'.
std::string join(const std::string& dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out = dir;
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

// A path for error messages, built only when an error is actually reported:
// tree walks touch tens of thousands of entries and fail on almost none.
struct Where {
  const std::string* dir;  // nullptr: name is the whole path
  const char* name;
  std::string str() const { return dir ? join(*dir, name) : std::string(name); }
};

Fd open_at(int dirfd, const char* name, int flags, mode_t mode = 0) {
  return Fd(no_eintr([&] { return ::openat(dirfd, name, flags, mode); }));
}

// ---------------------------------------------------------------------------
// Reading directories

struct RawEntry {
  std::string name;
  unsigned char type;  // DT_*
};

// Reads all entries of an open directory in the order the file system hands
// them out, which is the order readdir() and therefore Python's os.scandir
// and os.listdir see. getdents64 on our own descriptor avoids fdopendir's
// extra fcntl+fstat per directory and lets the caller keep using the fd for
// *at() calls. Returns 0 or an errno.
int read_dir(int fd, std::vector<RawEntry>& out) {
  // linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[].
  constexpr size_t kReclenOff = 16, kTypeOff = 18, kNameOff = 19;
  alignas(8) char buf[32768];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (long off = 0; off < n;) {
      std::uint16_t reclen;
      std::memcpy(&reclen, buf + off + kReclenOff, sizeof reclen);
      const char* nm = buf + off + kNameOff;
      unsigned char type = static_cast<unsigned char>(buf[off + kTypeOff]);
      off += reclen;
      if (nm[0] == '.' && (nm[1] == '\0' || (nm[1] == '.' && nm[2] == '\0'))) continue;
      out.push_back(RawEntry{nm, type});
    }
  }
}

enum class Type { Reg, Dir, Lnk, Special, Unknown };

Type type_of_dtype(unsigned char t) {
  switch (t) {
    case DT_REG: return Type::Reg;
    case DT_DIR: return Type::Dir;
    case DT_LNK: return Type::Lnk;
    case DT_UNKNOWN: return Type::Unknown;
    default: return Type::Special;
  }
}

Type type_of_mode(mode_t m) {
  if (S_ISREG(m)) return Type::Reg;
  if (S_ISDIR(m)) return Type::Dir;
  if (S_ISLNK(m)) return Type::Lnk;
  return Type::Special;
}

bool read_link(int dirfd, const char* name, std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dirfd, name, buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      out = std::move(buf);
      return true;
    }
    // Possibly truncated: readlink gives no hint of the real length.
    buf.resize(buf.size() * 2);
  }
}

// ---------------------------------------------------------------------------
// Extended attributes

bool xattr_ignorable(int e) {
  // What shutil._copyxattr shrugs off: the file system has no xattrs (ENOTSUP),
  // the attribute vanished meanwhile (ENODATA), a namespace we may not read or
  // write (EPERM/EACCES, e.g. trusted.* unprivileged, user.* on symlinks),
  // or a name the destination file system rejects (EINVAL).
  return e == ENOTSUP || e == EOPNOTSUPP || e == ENODATA || e == EINVAL || e == EPERM ||
         e == EACCES;
}

// list(buf, size), get(name, buf, size), set(name, value, size) have the
// *listxattr/*getxattr/*setxattr signatures, bound to fds or paths.
template <class List, class Get, class Set>
void copy_xattrs(List list, Get get, Set set, const Where& sw, const Where& dw) {
  char small[1024];
  std::vector<char> big;
  const char* names = small;
  ssize_t n = no_eintr([&] { return list(small, sizeof small); });
  while (n < 0 && errno == ERANGE) {
    // Rare: many or long names. Ask for the size; the set can still grow
    // between the two calls, hence the loop.
    ssize_t need = no_eintr([&] { return list(nullptr, 0); });
    if (need < 0) break;
    big.resize(static_cast<size_t>(need) + 256);
    names = big.data();
    n = no_eintr([&] { return list(big.data(), big.size()); });
  }
  if (n < 0) {
    if (xattr_ignorable(errno)) return;
    throw OsError(errno, "listxattr", sw.str());
  }
  if (n == 0) return;

  std::vector<char> value(4096);
  for (const char* name = names; name < names + n; name += std::strlen(name) + 1) {
    ssize_t len = no_eintr([&] { return get(name, value.data(), value.size()); });
    while (len < 0 && errno == ERANGE) {
      ssize_t need = no_eintr([&] { return get(name, nullptr, 0); });
      if (need < 0) break;
      value.resize(static_cast<size_t>(need) + 256);
      len = no_eintr([&] { return get(name, value.data(), value.size()); });
    }
    if (len < 0) {
      if (xattr_ignorable(errno)) continue;
      throw OsError(errno, "getxattr", sw.str());
    }
    if (no_eintr([&] { return set(name, value.data(), static_cast<size_t>(len)); }) != 0) {
      if (xattr_ignorable(errno)) continue;
      throw OsError(errno, "setxattr", dw.str());
    }
  }
}

void copy_xattrs_fd(int in, int out, const Where& sw, const Where& dw) {
  copy_xattrs([in](char* b, size_t s) { return ::flistxattr(in, b, s); },
              [in](const char* nm, void* b, size_t s) { return ::fgetxattr(in, nm, b, s); },
              [out](const char* nm, const void* v, size_t s) {
                return static_cast<ssize_t>(::fsetxattr(out, nm, v, s, 0));
              },
              sw, dw);
}

// shutil.copystat between two open descriptors: xattrs, mode, times.
void copy_stat_fd(int in, int out, const struct stat& sst, const Where& sw, const Where& dw) {
  // xattrs go first: once the mode is read-only a non-root owner can no
  // longer set user.* attributes (EACCES), the reason shutil orders it so.
  copy_xattrs_fd(in, out, sw, dw);
  if (::fchmod(out, sst.st_mode & 07777) != 0) throw OsError(errno, "chmod", dw.str());
  // Times last: nothing after this may touch the destination's mtime.
  const struct timespec ts[2] = {sst.st_atim, sst.st_mtim};
  if (::futimens(out, ts) != 0) throw OsError(errno, "utime", dw.str());
}

// ---------------------------------------------------------------------------
// File data

struct CopyCtx {
  std::unique_ptr<char[]> buf;
  size_t buf_size = 0;
  // (source device, destination device) pairs that already said "cannot":
  // a tree copy then skips the doomed syscall for every further file. Local
  // to one call, so nothing is shared between threads.
  std::vector<std::pair<dev_t, dev_t>> no_clone, no_range;

  char* buffer(size_t want) {
    if (buf_size < want) {
      buf = std::make_unique_for_overwrite<char[]>(want);
      buf_size = want;
    }
    return buf.get();
  }
  static bool known(const std::vector<std::pair<dev_t, dev_t>>& v, dev_t s,
                    std::optional<dev_t> d) {
    return d && std::find(v.begin(), v.end(), std::make_pair(s, *d)) != v.end();
  }
  static void remember(std::vector<std::pair<dev_t, dev_t>>& v, dev_t s, std::optional<dev_t> d) {
    if (d) v.emplace_back(s, *d);
  }
};

int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;  // never for files; do not spin if a driver does it
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

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
    if (dst_regular && !CopyCtx::known(ctx.no_clone, sst.st_dev, dst_dev)) {
      // Reflink: shares extents on btrfs/XFS/bcachefs, instant and atomic.
      if (no_eintr([&] { return ::ioctl(out, FICLONE, in); }) == 0) return;
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
    }

    bool try_sendfile = true;
    if (dst_regular && !CopyCtx::known(ctx.no_range, sst.st_dev, dst_dev)) {
      // In-kernel copy (server-side on NFS 4.2/CIFS, splice otherwise).
      // Loop to EOF rather than st_size so a growing file is copied whole.
      std::uint64_t copied = 0;
      for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
        if (n > 0) {
          copied += static_cast<std::uint64_t>(n);
          continue;
        }
        if (n == 0) {
          if (copied > 0) return;
          // Zero bytes from a file whose stat said otherwise: a pseudo file
          // (or one truncated meanwhile); read() tells the truth.
          try_sendfile = false;
          break;
        }
        int e = errno;
        if (e == EINTR) continue;
        if (copied == 0) {
          if (is_unsupported(e) || e == EXDEV) {
            // Kernel < 4.5, cross-file-system before 5.3 and again since
            // 5.19 unless both sides are the same fs type.
            CopyCtx::remember(ctx.no_range, sst.st_dev, dst_dev);
            break;
          }
          // EINVAL: not a regular file / unsupported flags on this fs.
          // EIO: some FUSE and CIFS versions report "cannot" this way; if
          // the error is real the fallback meets it again.
          // EBADF: overlayfs on some kernels for files not yet copied up.
          if (e == EINVAL || e == EIO || e == EBADF) break;
        }
        throw OsError(e, "copy_file_range", sw.str(), dw.str());
      }
    }

    if (try_sendfile) {
      std::uint64_t copied = 0;
      for (;;) {
        ssize_t n = ::sendfile(out, in, nullptr, kChunk);
        if (n > 0) {
          copied += static_cast<std::uint64_t>(n);
          continue;
        }
        if (n == 0) {
          if (copied > 0) return;
          break;  // as for copy_file_range: let read() decide
        }
        int e = errno;
        if (e == EINTR) continue;
        if (copied == 0 && (e == EINVAL || is_unsupported(e))) break;
        throw OsError(e, "sendfile", sw.str(), dw.str());
      }
    }
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

enum class OnSpecial { Throw, Skip };

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

// Source flags: O_NONBLOCK keeps a FIFO (possibly swapped in after readdir)
// from blocking the open; regular files ignore the flag.
constexpr int kSrcFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

void copy_symlink(const std::string& src, const std::string& target, const std::string& dst) {
  if (::symlink(target.c_str(), dst.c_str()) != 0) throw OsError(errno, "symlink", target, dst);
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0) throw OsError(errno, "stat", src);
  const Where sw{nullptr, src.c_str()}, dw{nullptr, dst.c_str()};
  const struct timespec ts[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, dst.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    throw OsError(errno, "utime", dst);
  // Linux has no lchmod: a symlink's mode is always 0777, nothing to copy.
  const char* s = src.c_str();
  const char* d = dst.c_str();
  copy_xattrs([s](char* b, size_t n) { return ::llistxattr(s, b, n); },
              [s](const char* nm, void* b, size_t n) { return ::lgetxattr(s, nm, b, n); },
              [d](const char* nm, const void* v, size_t n) {
                return static_cast<ssize_t>(::lsetxattr(d, nm, v, n, 0));
              },
              sw, dw);
}

// ---------------------------------------------------------------------------
// make_dirs

std::string parent_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};  // "" or only slashes
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return {};
  size_t pend = path.find_last_not_of('/', slash);
  if (pend == std::string::npos) return "/";
  return path.substr(0, pend + 1);
}

void make_dirs_impl(const std::string& path, mode_t mode, bool exist_ok) {
  if (::mkdir(path.c_str(), mode) == 0) return;
  int e = errno;
  // ENOTDIR as well: os.makedirs walks up whenever the parent does not exist
  // as a directory, so "file/a/b" reports ENOTDIR for "file/a", not "file/a/b".
  if (e == ENOENT || e == ENOTDIR) {
    std::string parent = parent_of(path);
    if (!parent.empty() && parent != path) {
      try {
        make_dirs_impl(parent, 0777, true);
      } catch (const OsError& pe) {
        // A file where a parent should be: os.makedirs swallows this and
        // lets the mkdir below report ENOTDIR for the full path.
        if (pe.err() != EEXIST) throw;
      }
      if (::mkdir(path.c_str(), mode) == 0) return;
      e = errno;
    }
  }
  // Not only EEXIST: EACCES/EROFS may win over EEXIST for a directory that
  // is already there, so check what is actually there.
  struct stat st;
  if (exist_ok && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw OsError(e, "mkdir", path);
}

// ---------------------------------------------------------------------------
// Tree copy

struct CopyFrame {
  Fd src, dst;
  struct stat sst;
  std::optional<dev_t> dst_dev;
  std::string spath, dpath;
  std::vector<RawEntry> entries;
  size_t next = 0;
};

struct TreeCopier {
  CopyCtx ctx;
  bool dirs_exist_ok;
  std::string confine_links;
  dev_t root_dev;
  ino_t root_ino;
  std::string dst_root;
  std::vector<CopyFrame> stack;

  // Copies one entry of the top frame; may push a new frame.
  void entry(const RawEntry& ent) {
    CopyFrame& top = stack.back();
    const char* name = ent.name.c_str();
    const Where sw{&top.spath, name}, dw{&top.dpath, name};
    Type t = type_of_dtype(ent.type);
    struct stat st;
    if (t == Type::Unknown) {
      if (::fstatat(top.src.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw OsError(errno, "stat", sw.str());
      t = type_of_mode(st.st_mode);
    }
    if (t == Type::Lnk) {
      if (!confine_links.empty() && !resolves_inside(sw.str(), confine_links)) return;
      // symlinks=False: follow. A dangling link fails here with ENOENT for
      // its own path, as copy2 would fail opening it.
      if (::fstatat(top.src.get(), name, &st, 0) != 0) throw OsError(errno, "open", sw.str());
      t = type_of_mode(st.st_mode);
    }
    if (t == Type::Reg) {
      Fd in = open_at(top.src.get(), name, kSrcFlags);
      if (!in) throw OsError(errno, "open", sw.str());
      copy_opened(ctx, in, sw, top.dst.get(), name, dw, top.dst_dev, OnSpecial::Skip);
    } else if (t == Type::Dir) {
      enter(top, name, sw, dw);
    }
    // FIFOs, sockets, devices: skipped, never opened.
  }

  void enter(CopyFrame& top, const char* name, const Where& sw, const Where& dw) {
    CopyFrame f;
    f.src = open_at(top.src.get(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!f.src) throw OsError(errno, "scandir", sw.str());
    if (::fstat(f.src.get(), &f.sst) != 0) throw OsError(errno, "stat", sw.str());
    for (const CopyFrame& a : stack) {
      if (a.sst.st_dev == f.sst.st_dev && a.sst.st_ino == f.sst.st_ino)
        throw OsError(ELOOP, "scandir", sw.str());
    }
    if (f.sst.st_dev == root_dev && f.sst.st_ino == root_ino)
      throw OsError(EINVAL, "copytree_into_itself", sw.str(), dst_root);
    // Read the source before creating the destination (as copytree does), so
    // a destination inside the source does not show up in its own listing.
    if (int e = read_dir(f.src.get(), f.entries)) throw OsError(e, "scandir", sw.str());

    if (::mkdirat(top.dst.get(), name, 0777) == 0) {
      // Freshly made: refuse to follow if it has been swapped for a symlink.
      f.dst = open_at(top.dst.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (!f.dst) throw OsError(errno, "open", dw.str());
    } else {
      int e = errno;
      if (e != EEXIST || !dirs_exist_ok) throw OsError(e, "mkdir", dw.str());
      // Merge, following a symlink to a directory like os.makedirs(exist_ok).
      f.dst = open_at(top.dst.get(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (!f.dst) {
        e = errno;
        throw OsError(e == ENOTDIR ? EEXIST : e, "mkdir", dw.str());
      }
    }
    struct stat dst;
    if (::fstat(f.dst.get(), &dst) == 0) f.dst_dev = dst.st_dev;
    f.spath = sw.str();
    f.dpath = dw.str();
    stack.push_back(std::move(f));  // `top` is dangling from here on
  }
};

// ---------------------------------------------------------------------------
// Tree removal

struct RmFrame {
  Fd fd;
  std::string path, name;
  std::vector<RawEntry> entries;
  size_t next = 0;
};

bool rmtree_impl(const std::string& path_in, bool strict) {
  const char* p = cpath(path_in);
  bool ok = true;
  auto fail = [&](int e, const char* sc, const std::string& where) {
    if (strict) throw OsError(e, sc, where);
    ok = false;
  };
  // "link/" would make the kernel resolve the link despite O_NOFOLLOW.
  std::string path = p;
  while (path.size() > 1 && path.back() == '/') path.pop_back();

  // O_DIRECTORY|O_NOFOLLOW in one call replaces shutil's lstat/open/fstat
  // dance: it cannot open anything but the directory itself.
  Fd root = open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (!root) {
    int e = errno;
    if (e == ENOENT && !strict) return true;
    struct stat st;
    // O_NOFOLLOW|O_DIRECTORY on a symlink fails ENOTDIR (ELOOP without
    // O_DIRECTORY on older kernels); lstat tells a link from a file.
    if ((e == ELOOP || e == ENOTDIR) && ::lstat(path.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
      if (strict) throw SymlinkRootError(path_in);
      return false;
    }
    fail(e, e == ENOTDIR ? "scandir" : "open", path_in);
    return false;
  }

  std::vector<RmFrame> stack;
  {
    RmFrame f;
    f.fd = std::move(root);
    f.path = path_in;
    if (int e = read_dir(f.fd.get(), f.entries)) fail(e, "scandir", path_in);
    stack.push_back(std::move(f));
  }
  while (!stack.empty()) {
    RmFrame& top = stack.back();
    if (top.next == top.entries.size()) {
      std::string name = std::move(top.name);
      std::string where = std::move(top.path);
      stack.pop_back();  // closes the directory before it is removed
      if (stack.empty()) break;
      if (::unlinkat(stack.back().fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        fail(errno, "rmdir", where);
      continue;
    }
    const RawEntry& ent = top.entries[top.next++];
    const char* name = ent.name.c_str();
    if (ent.type != DT_DIR) {
      // Unknown types are tried as files first: unlink of a directory fails
      // EISDIR on Linux, which saves an lstat per entry.
      if (no_eintr([&] { return ::unlinkat(top.fd.get(), name, 0); }) == 0 || errno == ENOENT)
        continue;
      if (errno != EISDIR) {
        fail(errno, "unlink", join(top.path, name));
        continue;
      }
    }
    Fd sub = open_at(top.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!sub) {
      int e = errno;
      if (e == ENOENT) continue;
      if (e == ENOTDIR || e == ELOOP) {
        // Replaced by a file or a symlink since it was listed: remove that
        // entry itself; its target is never touched.
        if (::unlinkat(top.fd.get(), name, 0) == 0 || errno == ENOENT) continue;
        e = errno;
        fail(e, "unlink", join(top.path, name));
      } else {
        fail(e, "open", join(top.path, name));
      }
      continue;
    }
    RmFrame f;
    f.fd = std::move(sub);
    f.path = join(top.path, name);
    f.name = ent.name;
    if (int e = read_dir(f.fd.get(), f.entries)) {
      fail(e, "scandir", f.path);
      f.entries.clear();  // best effort: its rmdir below reports ENOTEMPTY
    }
    stack.push_back(std::move(f));  // `top` and `ent` dangle from here on
  }
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) fail(errno, "rmdir", path_in);
  return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public API

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

void copy_tree(const std::string& src, const std::string& dst, bool dirs_exist_ok,
               const std::string& confine_links) {
  cpath(src);
  cpath(dst);
  TreeCopier tc;
  tc.dirs_exist_ok = dirs_exist_ok;
  tc.confine_links = confine_links;
  tc.dst_root = dst;

  CopyFrame root;
  root.src = open_at(AT_FDCWD, src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!root.src) throw OsError(errno, "scandir", src);
  if (::fstat(root.src.get(), &root.sst) != 0) throw OsError(errno, "stat", src);
  if (int e = read_dir(root.src.get(), root.entries)) throw OsError(e, "scandir", src);
  make_dirs_impl(dst, 0777, dirs_exist_ok);
  root.dst = open_at(AT_FDCWD, dst.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!root.dst) throw OsError(errno, "open", dst);
  struct stat dst_st;
  if (::fstat(root.dst.get(), &dst_st) != 0) throw OsError(errno, "stat", dst);
  if (dst_st.st_dev == root.sst.st_dev && dst_st.st_ino == root.sst.st_ino)
    throw SameFileError(src, dst);
  tc.root_dev = dst_st.st_dev;
  tc.root_ino = dst_st.st_ino;
  root.dst_dev = dst_st.st_dev;
  root.spath = src;
  root.dpath = dst;
  tc.stack.push_back(std::move(root));

  // Like shutil.copytree, a failing entry does not stop the others; unlike
  // it, one error (the first, with its own type) is rethrown at the end.
  std::exception_ptr first;
  while (!tc.stack.empty()) {
    CopyFrame& top = tc.stack.back();
    if (top.next < top.entries.size()) {
      // Index, not reference into the frame: entry() may grow the stack.
      size_t i = top.next++;
      try {
        tc.entry(tc.stack.back().entries[i]);
      } catch (const OsError&) {
        if (!first) first = std::current_exception();
      }
      continue;
    }
    // All content is in place; now the directory's own metadata, since
    // creating children bumps its mtime and a read-only mode would have
    // stopped them.
    try {
      const Where sw{nullptr, top.spath.c_str()}, dw{nullptr, top.dpath.c_str()};
      // Fresh stat: listing the directory may have updated its atime.
      if (::fstat(top.src.get(), &top.sst) != 0) throw OsError(errno, "stat", top.spath);
      copy_stat_fd(top.src.get(), top.dst.get(), top.sst, sw, dw);
    } catch (const OsError&) {
      if (!first) first = std::current_exception();
    }
    tc.stack.pop_back();
  }
  if (first) std::rethrow_exception(first);
}

void remove_tree(const std::string& path) { rmtree_impl(path, true); }

bool remove_tree_ignore_errors(const std::string& path) {
  try {
    return rmtree_impl(path, false);
  } catch (const InvalidArgument&) {
    return false;
  }
}

std::vector<DirEntry> list_dir(const std::string& path) {
  Fd fd = open_at(AT_FDCWD, cpath(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!fd) throw OsError(errno, "scandir", path);
  std::vector<RawEntry> raw;
  if (int e = read_dir(fd.get(), raw)) throw OsError(e, "scandir", path);
  std::vector<DirEntry> out;
  out.reserve(raw.size());
  for (RawEntry& r : raw) {
    Type t = type_of_dtype(r.type);
    if (t == Type::Unknown) {
      struct stat st;
      t = ::fstatat(fd.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
              ? type_of_mode(st.st_mode)
              : Type::Special;
    }
    DirEntry::Kind k = t == Type::Reg   ? DirEntry::Kind::File
                       : t == Type::Dir ? DirEntry::Kind::Dir
                       : t == Type::Lnk ? DirEntry::Kind::Symlink
                                        : DirEntry::Kind::Other;
    out.push_back(DirEntry{std::move(r.name), k});
  }
  return out;
}

std::vector<std::string> walk_files(const std::string& root, bool follow_dir_symlinks, bool strict) {
  auto lost = [&](int e, const std::string& rel) {
    if (strict && (e == EMFILE || e == ENFILE || e == ENOMEM || e == ENAMETOOLONG))
      throw OsError(e, "scandir", join(root, rel));
  };
  struct Frame {
    Fd fd;
    std::string rel;  // "" for root, else "a/b"
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<std::string> subdirs;
    size_t next = 0;
  };
  std::vector<std::string> files;
  std::vector<Frame> stack;

  // Lists one directory: its files go to the result at once (os.walk yields
  // a directory's files before visiting any subdirectory), its
  // subdirectories are remembered in order for the descent.
  auto scan = [&](Frame& f) -> int {
    std::vector<RawEntry> raw;
    if (int e = read_dir(f.fd.get(), raw)) return e;
    for (RawEntry& r : raw) {
      Type t = type_of_dtype(r.type);
      struct stat st;
      if (t == Type::Unknown) {
        if (::fstatat(f.fd.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        t = type_of_mode(st.st_mode);
      }
      bool link = t == Type::Lnk;
      if (link) {
        if (::fstatat(f.fd.get(), r.name.c_str(), &st, 0) != 0) continue;  // dangling
        t = type_of_mode(st.st_mode);
      }
      if (t == Type::Reg) {
        files.push_back(f.rel.empty() ? r.name : f.rel + '/' + r.name);
      } else if (t == Type::Dir && (!link || follow_dir_symlinks)) {
        f.subdirs.push_back(std::move(r.name));
      }
    }
    return 0;
  };

  Frame top;
  top.fd = open_at(AT_FDCWD, cpath(root), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!top.fd) throw OsError(errno, "scandir", root);
  struct stat st;
  if (follow_dir_symlinks && ::fstat(top.fd.get(), &st) == 0) {
    top.dev = st.st_dev;
    top.ino = st.st_ino;
  }
  if (int e = scan(top)) throw OsError(e, "scandir", root);
  stack.push_back(std::move(top));

  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.subdirs.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = f.subdirs[f.next++];
    Frame c;
    // Without following, a directory that became a symlink since it was
    // listed fails ELOOP and is skipped, as os.walk's islink() re-check does.
    c.fd = open_at(f.fd.get(), name.c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_dir_symlinks ? 0 : O_NOFOLLOW));
    if (!c.fd) {
      lost(errno, f.rel.empty() ? name : f.rel + '/' + name);
      continue;  // os.walk ignores unreadable directories
    }
    if (follow_dir_symlinks) {
      if (::fstat(c.fd.get(), &st) != 0) continue;
      bool loop = std::any_of(stack.begin(), stack.end(), [&](const Frame& a) {
        return a.dev == st.st_dev && a.ino == st.st_ino;
      });
      if (loop) continue;
      c.dev = st.st_dev;
      c.ino = st.st_ino;
    }
    c.rel = f.rel.empty() ? name : f.rel + '/' + name;
    if (int e = scan(c)) {
      lost(e, c.rel);
      continue;
    }
    stack.push_back(std::move(c));  // `f` and `name` dangle from here on
  }
  return files;
}

bool resolves_inside(const std::string& path, const std::string& root) {
  if (has_nul(path) || has_nul(root)) return false;
  std::unique_ptr<char, decltype(&std::free)> rp(::realpath(path.c_str(), nullptr), &std::free);
  if (!rp) return false;
  std::unique_ptr<char, decltype(&std::free)> rr(::realpath(root.c_str(), nullptr), &std::free);
  if (!rr) return false;
  std::string_view p(rp.get()), r(rr.get());
  if (r == "/") return true;
  return p == r || (p.size() > r.size() && p.substr(0, r.size()) == r && p[r.size()] == '/');
}

bool exists(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void make_dirs(const std::string& path, mode_t mode) {
  cpath(path);
  make_dirs_impl(path, mode, true);
}

void write_file(const std::string& path, std::string_view bytes) {
  Fd fd = open_at(AT_FDCWD, cpath(path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (!fd) throw OsError(errno, "open", path);
  if (int e = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(e, "write", path);
  if (int e = fd.close_checked()) throw OsError(e, "close", path);
}

}  // namespace tavro::fs

namespace tavro::fs {
namespace {

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string random_suffix() {
  unsigned char raw[8];
  if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
    std::random_device rd;
    for (auto& b : raw) b = static_cast<unsigned char>(rd());
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : raw) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// Creates a fresh file beside `target` with the default creation mode (the
// umask and default ACLs apply as for any new file). Returns an empty Fd with
// errno set when the directory does not let us create one.
Fd create_sibling(const std::string& target, std::string& tmp_path) {
  const std::string stem = dir_of(target) + "/." + base_of(target) + ".tmp-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp_path = stem + random_suffix();
    Fd fd = open_at(AT_FDCWD, tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Fd();
}

// The file a write through `path` lands in: symlinks at `path` followed one
// by one, as open(2) does, so a dangling link yields the path it names.
std::string link_target(const std::string& path) {
  std::string cur = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::string next;
    if (!read_link(AT_FDCWD, cur.c_str(), next)) return cur;
    cur = !next.empty() && next[0] == '/' ? next : join(dir_of(cur), next);
  }
  throw OsError(ELOOP, "open", path);
}

// fsync, except where the file system cannot sync this kind of file.
bool sync_failed(int fd) { return ::fsync(fd) != 0 && errno != EINVAL; }

}  // namespace

std::string read_file(const std::string& path) {
  Fd fd = open_at(AT_FDCWD, cpath(path), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (!fd) throw OsError(errno, "open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = no_eintr([&] { return ::read(fd.get(), buf, sizeof buf); });
    if (n < 0) throw OsError(errno, "read", path);
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

void replace_file(const std::string& path, std::string_view bytes, const ReplaceOptions& opts) {
  const std::string target = opts.replace_link ? std::string(cpath(path)) : link_target(cpath(path));
  struct stat old {};
  const bool had_old = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  std::string tmp;
  Fd fd = create_sibling(target, tmp);
  if (!fd) {
    int e = errno;
    if (e != EACCES && e != EPERM) throw OsError(e, "open", path);
    // A directory we may not add entries to, holding a file we may write.
    fd = open_at(AT_FDCWD, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (!fd) throw OsError(errno, "open", path);
    if (int w = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(w, "write", path);
    if (opts.mode && ::fchmod(fd.get(), *opts.mode) != 0) throw OsError(errno, "chmod", path);
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", path);
    if (int c = fd.close_checked()) throw OsError(c, "close", path);
    return;
  }
  try {
    if (int w = write_all(fd.get(), bytes.data(), bytes.size())) throw OsError(w, "write", path);
    if (opts.mode) {
      if (::fchmod(fd.get(), *opts.mode) != 0) throw OsError(errno, "chmod", path);
    } else if (had_old) {
      // Owner first: chown clears setuid/setgid bits that chmod then restores.
      // Not ours to give away: the file then stays the writer's own.
      if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
        (void)!::fchown(fd.get(), old.st_uid, old.st_gid);
      if (::fchmod(fd.get(), old.st_mode & 07777) != 0) throw OsError(errno, "chmod", path);
    }
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", path);
    if (int c = fd.close_checked()) throw OsError(c, "close", path);
    if (::rename(tmp.c_str(), target.c_str()) != 0) throw OsError(errno, "rename", path);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  sync_dir(dir_of(target));
}

void publish_file(const std::string& tmp, const std::string& dst) {
  {
    Fd fd = open_at(AT_FDCWD, cpath(tmp), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (!fd) throw OsError(errno, "open", tmp);
    if (sync_failed(fd.get())) throw OsError(errno, "fsync", tmp);
  }
  rename_durably(tmp, dst);
}

void rename_durably(const std::string& from, const std::string& to) {
  if (::rename(cpath(from), cpath(to)) != 0) throw OsError(errno, "rename", from, to);
  sync_dir(dir_of(to));
}

void move_file(const std::string& src, const std::string& dst) {
  if (::rename(cpath(src), cpath(dst)) == 0) {
    sync_dir(dir_of(dst));
    return;
  }
  if (errno != EXDEV) throw OsError(errno, "rename", src, dst);
  std::string tmp;
  Fd out = create_sibling(dst, tmp);
  if (!out) throw OsError(errno, "open", dst);
  out.reset();
  try {
    copy_file(src, tmp);
    publish_file(tmp, dst);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (::unlink(src.c_str()) != 0) throw OsError(errno, "unlink", src);
}

void sync_dir(const std::string& dir) noexcept {
  if (has_nul(dir)) return;
  Fd fd = open_at(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd) (void)::fsync(fd.get());
}

}  // namespace tavro::fs
