#include "common/walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/errors.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs {

DirReader::DirReader(int fd, std::size_t buffer_bytes)
    : fd_(fd),
      own_(std::make_unique_for_overwrite<char[]>(buffer_bytes)),
      buf_(own_.get()),
      size_(buffer_bytes) {}

DirReader::DirReader(int fd, char* buffer, std::size_t buffer_bytes)
    : fd_(fd), buf_(buffer), size_(buffer_bytes) {}

std::optional<DirReader::Entry> DirReader::next() {
  // linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[].
  constexpr size_t kReclenOff = 16, kTypeOff = 18, kNameOff = 19;
  for (;;) {
    if (pos_ >= used_) {
      if (done_) return std::nullopt;
      long n = ::syscall(SYS_getdents64, fd_, buf_, size_);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        done_ = true;
        return std::nullopt;
      }
      if (n == 0) {
        done_ = true;
        return std::nullopt;
      }
      used_ = static_cast<size_t>(n);
      pos_ = 0;
    }
    const char* rec = buf_ + pos_;
    std::uint16_t reclen;
    std::memcpy(&reclen, rec + kReclenOff, sizeof reclen);
    pos_ += reclen;
    const char* nm = rec + kNameOff;
    if (nm[0] == '.' && (nm[1] == '\0' || (nm[1] == '.' && nm[2] == '\0'))) continue;
    return Entry{std::string_view(nm), static_cast<unsigned char>(rec[kTypeOff])};
  }
}

int read_dir(int fd, std::vector<RawEntry>& out) {
  DirReader reader(fd);
  while (auto e = reader.next()) out.push_back(RawEntry{std::string(e->name), e->type});
  return reader.error();
}

namespace detail {

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

}  // namespace detail

using namespace detail;

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
      throw OsError(e, "scandir", root + "/" + rel);
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

}  // namespace tavro::fs
