// The private folder that holds the sandboxes, and the inputs that may be
// copied into one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/exec_core.hpp"

namespace tavro::rivo::core {
namespace {

const char* kind_name(mode_t m) {
  if (S_ISCHR(m)) return "a character device";
  if (S_ISBLK(m)) return "a block device";
  if (S_ISFIFO(m)) return "a named pipe (FIFO)";
  if (S_ISSOCK(m)) return "a socket";
  return "not a regular file";
}

}  // namespace

std::optional<Unstageable> find_unstageable(const std::vector<StageRequest>& requests) {
  for (const auto& req : requests) {
    for (const auto& src : req.sources) {
      struct stat st;
      if (src.find('\0') != std::string::npos || ::stat(src.c_str(), &st) != 0) continue;  // not staged
      if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) continue;
      return Unstageable{req.slot, src, kind_name(st.st_mode)};
    }
  }
  return std::nullopt;
}

std::string ensure_private_root(const std::string& root) {
  if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) throw_errno("mkdir", root);
  // Opened without following a link, so the checks below are about the very
  // folder the sandboxes will be made in.
  fs::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd) {
    int e = errno;
    if (::lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return "'" + root + "' is a symbolic link; the sandbox folder must be a real directory";
    if (e == ENOTDIR) return "'" + root + "' is not a directory";
    throw OsError(e, "open", root);
  }
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", root);
  if (st.st_uid != ::geteuid())
    return "'" + root + "' belongs to user " + std::to_string(st.st_uid) +
           ", not to the current user " + std::to_string(::geteuid()) +
           "; another user could read or change the sandboxes in it";
  // Ours but open to others (made by an older version): close it.
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) throw_errno("chmod", root);
  return {};
}

}  // namespace tavro::rivo::core
