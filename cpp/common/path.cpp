#include "common/path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

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

std::string join(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out = dir;
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string dir_of(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string base_of(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string final_component(std::string_view path) {
  std::string_view last;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view seg = path.substr(i, j - i);
    if (!seg.empty() && seg != ".") last = seg;
    i = j + 1;
  }
  return std::string(last);
}

std::string absolute(std::string_view path) {
  std::string full(path);
  if (full.empty() || full[0] != '/') {
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size())) {
      if (errno != ERANGE) throw_errno("getcwd");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    full = cwd + "/" + full;
  }
  std::vector<std::string_view> parts;
  std::string_view v(full);
  size_t i = 0;
  while (i <= v.size()) {
    size_t j = v.find('/', i);
    if (j == std::string_view::npos) j = v.size();
    std::string_view seg = v.substr(i, j - i);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    i = j + 1;
  }
  // POSIX keeps a leading "//" (and so does os.path.abspath); three or more
  // slashes are one.
  const bool two = full.compare(0, 2, "//") == 0 && full.compare(0, 3, "///") != 0;
  std::string out(two ? "/" : "");
  for (auto p : parts) out.append(1, '/').append(p);
  if (out.size() <= 1) out.append(1, '/');
  return out;
}

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
