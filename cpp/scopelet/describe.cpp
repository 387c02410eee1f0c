#include "scopelet/describe.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/process.hpp"
#include "common/text.hpp"

namespace tavro::scopelet {
namespace {

// ------------------------------------------------------------ code-point order

struct Candidate {
  std::string path;
  bool valid;  // well-formed UTF-8: byte order is code-point order
};

// Python's str order of the decoded paths.
bool before(std::string_view a, bool a_valid, std::string_view b, bool b_valid) {
  if (a_valid && b_valid) return a < b;  // char_traits<char> compares as unsigned char
  return code_points(a) < code_points(b);  // Python's str order (str_less)
}
bool before(const Candidate& a, const Candidate& b) {
  return before(a.path, a.valid, b.path, b.valid);
}

// Keeps the `limit` smallest paths offered, as a max-heap.
class Smallest {
 public:
  explicit Smallest(std::size_t limit) : limit_(limit) {}

  // Copies the path only when it is kept.
  void offer(const std::string& path) {
    if (!limit_) return;
    bool valid = valid_utf8(path);
    auto cmp = [](const Candidate& x, const Candidate& y) { return before(x, y); };
    if (heap_.size() < limit_) {
      heap_.push_back({path, valid});
      std::push_heap(heap_.begin(), heap_.end(), cmp);
    } else if (before(path, valid, heap_.front().path, heap_.front().valid)) {
      std::pop_heap(heap_.begin(), heap_.end(), cmp);
      heap_.back().path.assign(path);
      heap_.back().valid = valid;
      std::push_heap(heap_.begin(), heap_.end(), cmp);
    }
  }

  std::vector<std::string> sorted() {
    std::sort(heap_.begin(), heap_.end(),
              [](const Candidate& x, const Candidate& y) { return before(x, y); });
    std::vector<std::string> out;
    for (auto& c : heap_) out.push_back(std::move(c.path));
    return out;
  }

 private:
  std::size_t limit_;
  std::vector<Candidate> heap_;
};

// ------------------------------------------------------------ head

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

using fs::Fd;

// Asks the abort hook at most every 100 ms: asking means taking the GIL, and
// a preview takes about a millisecond.
class Pacer {
 public:
  explicit Pacer(const AbortHook& hook) : hook_(hook) {}
  bool due() {
    if (!hook_ || seconds_since(last_) < 0.1) return false;
    last_ = Clock::now();
    return hook_();
  }
  void check() {
    if (due()) throw Aborted();
  }

 private:
  const AbortHook& hook_;
  Clock::time_point last_ = Clock::now();
};

// `head -n <lines> <path>` with stdin on /dev/null (`devnull`), its output
// cut at kHeadCap.
std::optional<std::string> run_head(const std::string& path, int lines, int devnull,
                                    Pacer& pacer) {
  proc::SpawnOptions o;
  // `head` would read "-" as standard input and "-x" as an option.
  o.argv = {"head", "-n", std::to_string(lines),
            !path.empty() && path[0] == '-' ? "./" + path : path};
  o.stdin_fd = devnull;
  o.timeout = kHeadTimeout;
  o.kill_grace = 0;
  o.max_output = kHeadCap;
  o.should_abort = [&pacer] { return pacer.due(); };
  proc::Result r;
  try {
    r = proc::run(o);
  } catch (const proc::TimedOut&) {
    return std::nullopt;
  } catch (const OsError&) {
    return std::nullopt;  // no `head` to start, or no descriptors left
  }
  if (r.truncated) {
    // Drop a UTF-8 sequence cut in half by the cap.
    std::string& out = r.out;
    std::size_t back = 0;
    while (back < 3 && back < out.size() &&
           (static_cast<unsigned char>(out[out.size() - 1 - back]) & 0xC0) == 0x80)
      ++back;
    if (back < out.size()) {
      const unsigned char lead = static_cast<unsigned char>(out[out.size() - 1 - back]);
      const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (need > back + 1) out.resize(out.size() - 1 - back);  // only an incomplete sequence
    }
  }
  return std::move(r.out);
}

}  // namespace

PathInfo stat_path(const std::string& path) {
  PathInfo info;
  if (path.find('\0') != std::string::npos) return info;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return info;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.kind = S_ISDIR(st.st_mode) ? Kind::Directory : S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
  return info;
}

std::vector<std::string> first_files(const std::string& dir, std::size_t limit) {
  if (dir.find('\0') != std::string::npos) throw InvalidArgument("embedded null byte");
  Smallest keep(limit);
  std::vector<std::string> pending{dir};
  std::string candidate;
  // One large buffer: a tree of 100,000 files takes a fraction of the
  // system calls readdir's 32 KiB buffer would.
  std::vector<char> buf(256 * 1024);
  while (!pending.empty()) {
    std::string top = std::move(pending.back());
    pending.pop_back();
    Fd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) continue;  // cannot be listed: skipped, as os.walk does
    const std::string prefix = fs::join(top, "");
    fs::DirReader reader(fd.get(), buf.data(), buf.size());
    while (auto e = reader.next()) {
      const char* name = e->name.data();
      bool is_dir = false, enter = false;
      struct stat st;
      switch (e->type) {
        case DT_DIR:
          is_dir = enter = true;
          break;
        case DT_LNK:  // counts as a directory if it leads to one, but is not entered
          is_dir = ::fstatat(fd.get(), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
          break;
        case DT_UNKNOWN:
          if (::fstatat(fd.get(), name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
            is_dir = true;
            enter = ::fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode);
          }
          break;
        default:
          break;
      }
      candidate.assign(prefix).append(e->name);
      if (!is_dir) keep.offer(candidate);
      else if (enter) pending.push_back(candidate);
    }
    // A read error part-way leaves what was read; os.walk would drop the
    // directory's entries, but such errors (EIO) are not worth two passes.
  }
  return keep.sorted();
}

std::string relative_to(const std::string& full, const std::string& dir) {
  return full.substr(fs::join(dir, "").size());
}

std::optional<std::string> head(const std::string& path, int lines, const AbortHook& abort) {
  Pacer pacer(abort);
  Fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (devnull.get() < 0) return std::nullopt;
  return run_head(path, lines, devnull.get(), pacer);
}

DirListing list_dir_block(const std::string& dir, const AbortHook& abort) {
  DirListing out;
  Pacer pacer(abort);
  Fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  for (const auto& full : first_files(dir, kDirFiles)) {
    pacer.check();
    out.relative.push_back(relative_to(full, dir));
    out.previews.push_back(devnull.get() < 0 ? std::nullopt
                                             : run_head(full, kDirLines, devnull.get(), pacer));
  }
  return out;
}

}  // namespace tavro::scopelet
