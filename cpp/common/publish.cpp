#include "common/publish.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs {
namespace {

using detail::base_of;
using detail::dir_of;

std::string temp_pattern(const std::string& final_path) {
  std::string base = base_of(final_path);
  // Keep the temporary name within NAME_MAX whatever the final name.
  if (base.size() > 200) base.resize(200);
  return dir_of(final_path) + "/." + base + ".tmp-XXXXXX";
}

bool lstat_of(const std::string& path, struct stat& st) { return ::lstat(path.c_str(), &st) == 0; }

// Swaps two names in one step; false when the file system cannot.
bool exchange(const std::string& a, const std::string& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return false;
  throw OsError(errno, "rename", a, b);
}

// Removes what was at a final name after it was swapped out.
void discard(const std::string& path) {
  struct stat st;
  if (!lstat_of(path, st)) return;
  if (S_ISDIR(st.st_mode))
    remove_tree_ignore_errors(path);
  else
    ::unlink(path.c_str());
}

}  // namespace

std::string temp_dir_beside(const std::string& final_path) {
  std::string pattern = temp_pattern(final_path);
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw OsError(errno, "mkdir", pattern);
  return std::string(buf.data());
}

void publish_copy(const std::string& src, const std::string& dst) {
  std::string pattern = temp_pattern(dst);
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = ::mkstemp(buf.data());
  if (fd < 0) throw OsError(errno, "open", dst);
  ::close(fd);
  const std::string tmp(buf.data());
  try {
    copy_file(src, tmp);
    // The temporary is gone after a failure: the error names the final name.
    if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", dst);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

void publish_move(const std::string& src, const std::string& dst) {
  if (::rename(src.c_str(), dst.c_str()) == 0) return;
  if (errno != EXDEV) throw OsError(errno, "rename", src, dst);
  publish_copy(src, dst);
  ::unlink(src.c_str());
}

void publish_dir(const std::string& tmp, const std::string& dst) {
  try {
    struct stat st;
    if (!lstat_of(dst, st)) {
      if (errno != ENOENT) throw OsError(errno, "stat", dst);
      if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", dst);
      return;
    }
    if (S_ISREG(st.st_mode)) throw OsError(EEXIST, "mkdir", dst);
    if (exchange(tmp, dst)) {
      discard(tmp);  // now the old content
      return;
    }
    // No exchange on this file system: move the old entry aside first.
    if (!S_ISDIR(st.st_mode)) {
      if (::unlink(dst.c_str()) != 0 && errno != ENOENT) throw OsError(errno, "unlink", dst);
      if (::rename(tmp.c_str(), dst.c_str()) != 0) throw OsError(errno, "rename", tmp, dst);
      return;
    }
    std::string aside = temp_dir_beside(dst);
    if (::rename(dst.c_str(), aside.c_str()) != 0) {
      int e = errno;
      ::rmdir(aside.c_str());
      throw OsError(e, "rename", dst, aside);
    }
    if (::rename(tmp.c_str(), dst.c_str()) != 0) {
      int e = errno;
      (void)::rename(aside.c_str(), dst.c_str());
      throw OsError(e, "rename", tmp, dst);
    }
    discard(aside);
  } catch (...) {
    remove_tree_ignore_errors(tmp);
    throw;
  }
}

void ensure_real_dir(const std::string& path) {
  struct stat st;
  if (lstat_of(path, st) && !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw OsError(errno, "unlink", path);
  }
  make_dirs(path);
}

}  // namespace tavro::fs
