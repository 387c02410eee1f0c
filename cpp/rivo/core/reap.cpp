#include "rivo/core/reap.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "common/fileops.hpp"

namespace tavro::rivo {
namespace {

constexpr const char* kMarker = ".tavro-owner";

bool ends_with(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The names in a folder open at `dir_fd` (the descriptor is left alone).
std::vector<std::string> names_in(int dir_fd) {
  std::vector<std::string> out;
  int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return out;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return out;
  }
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n != "." && n != "..") out.emplace_back(n);
  }
  ::closedir(d);
  return out;
}

// Opens folder `name` below `dir_fd` and takes its lock exclusively without
// waiting: an empty Fd when it is no folder or a live owner holds it.
fs::Fd lock_if_abandoned(int dir_fd, const std::string& name) {
  fs::Fd fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return fs::Fd();
  return fd;
}

// ".<name>.tmp-" and the 12 hex digits publishing adds.
bool is_publish_temp(std::string_view n) {
  const std::size_t at = n.rfind(".tmp-");
  if (n.size() < 2 || n[0] != '.' || at == std::string_view::npos || at < 2 || n.size() - at != 5 + 12) return false;
  for (char c : n.substr(at + 5))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void reap_publish_temps(const std::string& dir) {
  fs::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return;
  for (const auto& n : names_in(fd.get())) {
    if (!is_publish_temp(n)) continue;
    struct stat st;
    if (::fstatat(fd.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode))
      fs::remove_tree_ignore_errors(fs::join(dir, n));
    else
      ::unlinkat(fd.get(), n.c_str(), 0);
  }
}

}  // namespace

void reap_stdout_files(int root_fd) {
  for (const auto& n : names_in(root_fd)) {
    if (n.compare(0, 4, "run-") != 0 || !ends_with(n, ".stdout")) continue;
    const std::string sandbox = n.substr(0, n.size() - 7);
    // A live run locks its sandbox before it makes the file and removes
    // the file before the sandbox: a file whose sandbox is gone is no one's.
    struct stat st;
    const bool gone = ::fstatat(root_fd, sandbox.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    if (gone || lock_if_abandoned(root_fd, sandbox)) ::unlinkat(root_fd, n.c_str(), 0);
  }
}

LockedFolder make_temp_project(const std::string& temp_dir) {
  fs::Fd parent(::open(temp_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent) {
    const uid_t me = ::geteuid();
    for (const auto& n : names_in(parent.get())) {
      if (n.compare(0, 5, "rivo_") != 0) continue;
      struct stat st;
      if (::fstatat(parent.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
          st.st_uid != me)
        continue;
      fs::Fd dir = lock_if_abandoned(parent.get(), n);
      // Only folders made by this code carry the marker (made after the lock).
      if (dir && ::fstatat(dir.get(), kMarker, &st, AT_SYMLINK_NOFOLLOW) == 0)
        fs::remove_tree_ignore_errors(fs::join(temp_dir, n));
    }
  }
  std::string pattern = fs::join(temp_dir, "rivo_XXXXXX");
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw OsError(errno, "mkdir", pattern);
  LockedFolder out{buf.data(), fs::Fd(::open(buf.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))};
  if (out.lock && ::flock(out.lock.get(), LOCK_EX) == 0) {
    int m = ::openat(out.lock.get(), kMarker, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m >= 0) ::close(m);
  }
  return out;
}

fs::Fd lock_output_dir(const std::string& output_dir) {
  const std::string dir = output_dir.empty() ? "." : output_dir;
  fs::make_dirs(dir);
  fs::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw_errno("open", dir);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    for (const char* sub : {"", "_extras", "stdout"})
      reap_publish_temps(*sub ? fs::join(dir, sub) : dir);
  }
  // Shared from here (converted, or waited for while another reaps).
  while (::flock(fd.get(), LOCK_SH) != 0 && errno == EINTR) {
  }
  return fd;
}

}  // namespace tavro::rivo
