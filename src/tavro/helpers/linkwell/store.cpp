#include "linkwell/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/errors.hpp"

namespace tavro::linkwell::store {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // close(2) reports delayed write errors (NFS, quotas): they must not pass.
  void close(const std::string& path) {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw_errno("close", path);
  }

 private:
  int fd_;
};

std::string read_fd(int fd, const std::string& path) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read", path);
    }
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

void write_all(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("write", path);
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::optional<std::string> read_if_exists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return read(path);
}

std::string read(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno("open", path);
  return read_fd(fd.get(), path);
}

void write(const std::string& path, const std::string& data) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw_errno("open", path);
  write_all(fd.get(), data, path);
  fd.close(path);
}

void replace(const std::string& path, const std::string& data) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) {
    if (errno == ENOENT) return write(path, data);
    throw_errno("realpath", path);
  }
  std::string real(resolved);
  std::free(resolved);
  struct stat st;
  if (::stat(real.c_str(), &st) != 0) throw_errno("stat", real);

  size_t slash = real.rfind('/');
  std::string tmp = real.substr(0, slash + 1) + "." + real.substr(slash + 1) + ".XXXXXX";
  int raw = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (raw < 0) return write(real, data);  // e.g. a read-only directory around a writable file
  Fd fd(raw);
  try {
    // Best effort: a store owned by someone else keeps at least its mode.
    (void)!::fchown(fd.get(), st.st_uid, st.st_gid);
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0) throw_errno("fchmod", tmp);
    write_all(fd.get(), data, tmp);
    if (::fsync(fd.get()) != 0) throw_errno("fsync", tmp);
    fd.close(tmp);
    if (::rename(tmp.c_str(), real.c_str()) != 0) throw_errno("rename", tmp, real);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

std::string universal_newlines(std::string s) {
  if (s.find('\r') == std::string::npos) return s;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace tavro::linkwell::store
