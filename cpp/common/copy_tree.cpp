// Copying a directory tree, as shutil.copytree does (see copy.hpp for where
// and why it differs).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/copy.hpp"
#include "common/copy_internal.hpp"
#include "common/errors.hpp"
#include "common/path.hpp"

namespace tavro::fs {
namespace {

using namespace detail;

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

}  // namespace

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

}  // namespace tavro::fs
