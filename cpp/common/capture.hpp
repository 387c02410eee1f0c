// Bounded captures of a child's output and the text-mode view of it.
//
// A tool may write gigabytes to a stream that is only kept for a log line or
// an error message: such a stream keeps its first and last `bound` bytes and
// says how much was left out between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::capture {

// Keeps everything when `bound` is 0, else the first and the last `bound`
// bytes of what was appended. Memory stays below 3 * bound.
class Bounded {
 public:
  explicit Bounded(std::size_t bound = 0) : bound_(bound) {}
  void append(const char* p, std::size_t n);
  // Counts `n` bytes that were never read, such as the middle of a large
  // file whose head and tail are read directly: call it between the two.
  void skip(std::uint64_t n) { total_ += n; }
  std::uint64_t total() const { return total_; }
  bool complete() const { return total_ == head_.size() + tail_.size(); }
  // What was kept; with bytes omitted, head and tail are joined by a line
  // "[... N bytes omitted ...]", the cut moved to UTF-8 character boundaries.
  std::string text() const;

 private:
  std::size_t bound_;
  std::string head_, tail_;
  std::uint64_t total_ = 0;
};

// One round of reading a non-blocking pipe: up to about `budget` bytes, all
// of them into `keep` and, with `copy_to` >= 0, written there as they come.
// After a failed write (`write_err` set, nonzero) the rest is read and
// dropped. `eof` is set at end of file or a read error.
struct PipeRound {
  std::size_t moved = 0;
  bool eof = false;
};
PipeRound pump_pipe(int fd, Bounded& keep, int copy_to, int& write_err, std::vector<char>& buf,
                    std::size_t budget);

// Bounded(bound) fed with the first `size` bytes of the file open at `fd`,
// read with pread (the descriptor's offset is left alone): the head and the
// tail only, so a file of any size costs at most 2 * bound bytes of memory.
// Returns errno (0 on success); `out` is then the view.
int file_view(int fd, std::uint64_t size, std::size_t bound, std::string& out);

// Bounded(bound) fed with all of `s`, without copying `s` first.
std::string bounded_view(std::string_view s, std::size_t bound);

}  // namespace tavro::capture
