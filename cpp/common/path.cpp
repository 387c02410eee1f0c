#include "common/path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "common/errors.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs {
namespace {

std::string parent_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};  // "" or only slashes
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return {};
  size_t pend = path.find_last_not_of('/', slash);
  if (pend == std::string::npos) return "/";
  return path.substr(0, pend + 1);
}

}  // namespace

namespace detail {

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

}  // namespace detail

using namespace detail;

bool is_single_component(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
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

}  // namespace tavro::fs
