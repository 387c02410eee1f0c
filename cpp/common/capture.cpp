#include "common/capture.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tavro::capture {
namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the incomplete UTF-8 sequence at the end of s (0 when it ends on
// a character boundary).
std::size_t incomplete_tail(std::string_view s) {
  std::size_t n = 0;
  while (n < 3 && n < s.size() && is_continuation(static_cast<unsigned char>(s[s.size() - 1 - n]))) ++n;
  if (n == s.size()) return 0;
  unsigned char lead = static_cast<unsigned char>(s[s.size() - 1 - n]);
  std::size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return want > n + 1 ? n + 1 : 0;
}

int write_fully(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EINTR) {
      return errno;
    } else if (w == 0) {
      return EIO;
    }
  }
  return 0;
}

}  // namespace

PipeRound pump_pipe(int fd, Bounded& keep, int copy_to, int& write_err, std::vector<char>& buf,
                    std::size_t budget) {
  if (buf.empty()) buf.resize(65536);
  PipeRound r;
  while (r.moved < budget) {
    ssize_t k = ::read(fd, buf.data(), buf.size());
    if (k > 0) {
      const std::size_t got = static_cast<std::size_t>(k);
      r.moved += got;
      if (write_err) continue;
      keep.append(buf.data(), got);
      if (copy_to >= 0) write_err = write_fully(copy_to, buf.data(), got);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno == EAGAIN) return r;
    r.eof = true;
    return r;
  }
  return r;
}

void Bounded::append(const char* p, std::size_t n) {
  total_ += n;
  if (bound_ == 0) {
    head_.append(p, n);
    return;
  }
  if (head_.size() < bound_) {
    std::size_t take = std::min(n, bound_ - head_.size());
    head_.append(p, take);
    p += take;
    n -= take;
  }
  if (n == 0) return;
  if (n >= bound_) {
    tail_.assign(p + n - bound_, bound_);
    return;
  }
  tail_.append(p, n);
  // Trimmed only when twice the bound, so each byte is moved at most once
  // more on average.
  if (tail_.size() >= 2 * bound_) tail_.erase(0, tail_.size() - bound_);
}

std::string Bounded::text() const {
  std::string_view head(head_), tail(tail_);
  if (bound_ && tail.size() > bound_) tail.remove_prefix(tail.size() - bound_);
  std::uint64_t omitted = total_ - head.size() - tail.size();
  if (omitted == 0) return std::string(head) + std::string(tail);
  std::size_t cut = incomplete_tail(head);
  head.remove_suffix(cut);
  std::size_t skip = 0;
  while (skip < 3 && skip < tail.size() && is_continuation(static_cast<unsigned char>(tail[skip]))) ++skip;
  tail.remove_prefix(skip);
  omitted += cut + skip;
  std::string out;
  out.reserve(head.size() + tail.size() + 48);
  out.append(head);
  out.append("\n[... ").append(std::to_string(omitted)).append(" bytes omitted ...]\n");
  out.append(tail);
  return out;
}

namespace {

int pread_fully(int fd, std::uint64_t at, std::size_t n, std::vector<char>& buf, Bounded& into) {
  buf.resize(std::max<std::size_t>(std::min<std::size_t>(n, 1 << 20), 1));
  while (n > 0) {
    ssize_t k = ::pread(fd, buf.data(), std::min(n, buf.size()), static_cast<off_t>(at));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return errno;
    if (k == 0) return 0;  // shorter than it was: the view ends here
    const std::size_t got = static_cast<std::size_t>(k);
    into.append(buf.data(), got);
    at += got;
    n -= got;
  }
  return 0;
}

}  // namespace

int file_view(int fd, std::uint64_t size, std::size_t bound, std::string& out) {
  Bounded b(bound);
  std::vector<char> buf;
  int err = 0;
  if (bound == 0 || size <= 2 * static_cast<std::uint64_t>(bound)) {
    err = pread_fully(fd, 0, static_cast<std::size_t>(size), buf, b);
  } else {
    err = pread_fully(fd, 0, bound, buf, b);
    b.skip(size - 2 * static_cast<std::uint64_t>(bound));
    if (!err) err = pread_fully(fd, size - bound, bound, buf, b);
  }
  if (!err) out = b.text();
  return err;
}

std::string bounded_view(std::string_view s, std::size_t bound) {
  if (bound == 0 || s.size() <= 2 * bound) return std::string(s);
  Bounded b(bound);
  b.append(s.data(), s.size());  // keeps the head and the last `bound` bytes only
  return b.text();
}

}  // namespace tavro::capture
