#include "haulix/fetch.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"

namespace tavro::haulix {

std::string dropbox_download_link(const std::string& link) {
  std::string out;
  out.reserve(link.size() + 5);
  bool query_seen = false;
  bool in_fragment = false;
  // Set when the '?' that opened the query went with a "dl=0": if what is
  // left of the query starts right there with '&', that '&' takes its place.
  bool opener_dropped = false;
  for (std::size_t i = 0; i < link.size();) {
    char c = link[i];
    if ((c == '?' || c == '&') && link.compare(i + 1, 4, "dl=0") == 0) {
      if (c == '?' && !query_seen && !in_fragment) opener_dropped = true;
      i += 5;
      continue;
    }
    if (opener_dropped) {
      if (c == '&') c = '?';
      opener_dropped = false;
    }
    if (c == '#') in_fragment = true;
    if (c == '?') query_seen = true;
    out += c;
    ++i;
  }
  out += out.find('?') != std::string::npos ? "&dl=1" : "?dl=1";
  return out;
}

namespace {

std::string escape_name(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '/') out += "%2F";
    else if (c == '\0') out += "%00";
    else out += c;
  }
  return out;
}

constexpr std::uint64_t kWritebackStep = 64ull << 20;

}  // namespace

std::string cache_name(const std::string& segment, const std::string& key) {
  if (segment.empty() || segment == "." || segment == "..") return "download_" + escape_name(key);
  return escape_name(segment);
}

PartFile::PartFile(std::string final_path, const std::string& part_path)
    : final_path_(std::move(final_path)) {
  auto slash = final_path_.rfind('/');
  dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : final_path_.substr(0, slash);
  const std::string name = slash == std::string::npos ? final_path_ : final_path_.substr(slash + 1);

  // A name the folder cannot hold would only fail at the rename, after the
  // whole body was fetched: refuse it before any byte is transferred.
  long name_max = ::pathconf(dir_.c_str(), _PC_NAME_MAX);
  if (name_max > 0 && name.size() > static_cast<std::size_t>(name_max))
    throw OsError(ENAMETOOLONG, "open", final_path_);
  if (!open_part(part_path)) open_unnamed();
}

// Takes the entry's part file when no other download holds it. The lock is
// taken after the open, so the name is checked to still lead to the file
// locked: a holder that published it in between has renamed it away.
bool PartFile::open_part(const std::string& part_path) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    // 0666 under the umask, as a plain open() of the cache path would give.
    int fd = ::open(part_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
      if (errno == ELOOP) return false;  // never written through a link
      throw_errno("open", final_path_);
    }
    struct stat held {}, named {};
    int r;
    while ((r = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
      int e = errno;
      ::close(fd);
      if (e == EWOULDBLOCK || e == ENOLCK) return false;
      throw OsError(e, "flock", part_path);
    }
    if (::fstat(fd, &held) != 0) {
      int e = errno;
      ::close(fd);
      throw OsError(e, "stat", part_path);
    }
    if (::lstat(part_path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino && S_ISREG(held.st_mode)) {
      fd_ = fd;
      part_path_ = part_path;
      resumable_ = true;
      written_ = flushed_ = static_cast<std::uint64_t>(held.st_size);
      if (::lseek(fd_, 0, SEEK_END) < 0) throw_errno("lseek", part_path);
      return true;
    }
    ::close(fd);
  }
  return false;
}

void PartFile::open_unnamed() {
  // An unnamed file needs /proc/self/fd to be linked into the folder later.
  if (::access("/proc/self/fd", X_OK) == 0) {
    fd_ = ::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    // Kernels or file systems without O_TMPFILE answer with one of these;
    // anything else (no folder, no permission, no space) is the real error.
    if (errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) throw_errno("open", final_path_);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string part = random_part_path();
    fd_ = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      part_path_ = std::move(part);
      return;
    }
    if (errno != EEXIST) throw_errno("open", final_path_);
  }
  throw OsError(EEXIST, "open", final_path_);
}

PartFile::~PartFile() {
  if (resumable_ && written_ > 0) {
    // Kept for the next attempt; the lock goes with the descriptor.
    ::close(fd_);
    return;
  }
  discard();
}

std::string PartFile::random_part_path() const { return dir_ + "/.part#" + random_hex(); }

void PartFile::write(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("write", final_path_);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
  if (written_ - flushed_ >= kWritebackStep) start_writeback();
}

void PartFile::restart() {
  if (::ftruncate(fd_, 0) != 0) throw_errno("truncate", final_path_);
  if (::lseek(fd_, 0, SEEK_SET) < 0) throw_errno("lseek", final_path_);
  written_ = flushed_ = 0;
}

// Starts writing the newest pages to disk while the download goes on, so the
// fsync before publishing waits for the last few megabytes, not the whole body.
void PartFile::start_writeback() {
  // Purely an optimisation: file systems that do not support it are fine.
  (void)::sync_file_range(fd_, static_cast<off_t>(flushed_),
                          static_cast<off_t>(written_ - flushed_), SYNC_FILE_RANGE_WRITE);
  flushed_ = written_;
}

std::pair<std::uint64_t, std::int64_t> PartFile::commit() {
  if (::fsync(fd_) != 0) throw_errno("fsync", final_path_);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw_errno("stat", final_path_);
  if (part_path_.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < 100 && part_path_.empty(); ++attempt) {
      std::string part = random_part_path();
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, part.c_str(), AT_SYMLINK_FOLLOW) == 0)
        part_path_ = std::move(part);
      else if (errno != EEXIST)
        throw_errno("link", final_path_);
    }
    if (part_path_.empty()) throw OsError(EEXIST, "link", final_path_);
  }
  // rename() replaces whatever is at the cache path in one step; a concurrent
  // caller that published the same link first is replaced by an equal file.
  fs::publish(part_path_, final_path_);
  part_path_.clear();
  resumable_ = false;
  ::close(fd_);
  fd_ = -1;
  return {static_cast<std::uint64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void PartFile::discard() noexcept {
  // A part file is unlinked while still locked, so no other download can
  // take it up in between.
  if (!part_path_.empty()) {
    ::unlink(part_path_.c_str());
    part_path_.clear();
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  resumable_ = false;
}

}  // namespace tavro::haulix
