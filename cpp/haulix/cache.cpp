#include "haulix/cache.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <string_view>
#include <cstdint>
#include <optional>

#include "common/errors.hpp"
#include "common/fileops.hpp"

namespace tavro::haulix {
namespace {

constexpr const char* kLockName = ".lock#";
// Records are a few hundred bytes; anything much larger is not one.
constexpr std::size_t kRecordMax = 1 << 16;

// A hidden file beside the entry `name`: `prefix` + the name. A name too
// long to take the prefix (file names stop at 255 bytes) gets a shortened
// one; collisions there only cost a download, never a wrong file.
std::string sidecar(const std::string& dir, const char* prefix, const std::string& name) {
  std::string side = prefix + name;
  if (side.size() > 255) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a: stable across builds
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    side = prefix + name.substr(0, 200) + "#" + std::to_string(h);
  }
  return dir + "/" + side;
}

// The text of the file at `path`, or nothing when there is no such file, it
// is a symbolic link or it is too large to be a record.
std::optional<std::string> read_small_file(const std::string& path) {
  fs::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return std::nullopt;
    throw_errno("open", path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", path);
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kRecordMax) return std::nullopt;
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read", path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

std::optional<std::uint64_t> number(std::string_view s) {
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// A record as stored: the link on the first line, then one "<field> <value>"
// per line. A record of an earlier version is the link alone, without a
// line end. Unknown fields are skipped, so later versions can add some.
std::optional<Record> parse_record(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::string_view rest = text;
  auto eol = rest.find('\n');
  Record r{std::string(rest.substr(0, eol)), {}, {}, {}, {}};
  rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
  while (!rest.empty()) {
    eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    auto space = line.find(' ');
    std::string_view key = line.substr(0, space);
    std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (key == "checksum") {
      r.checksum = parse_checksum(value);
    } else if (key == "size") {
      r.size = number(value);
    } else if (key == "mtime_ns") {
      if (auto n = number(value); n && *n <= static_cast<std::uint64_t>(INT64_MAX))
        r.mtime_ns = static_cast<std::int64_t>(*n);
    } else if (key.substr(0, 5) == "part-") {
      if (!r.part) r.part.emplace();
      if (key == "part-etag") r.part->validator.etag = value;
      else if (key == "part-last-modified") r.part->validator.last_modified = value;
      else if (key == "part-total") r.part->total = number(value);
    }
  }
  return r;
}

std::optional<Record> read_record(const std::string& path) {
  std::optional<std::string> text = read_small_file(path);
  return text ? parse_record(*text) : std::nullopt;
}

// The lock of the folder, or none where the folder is read-only (nothing can
// be claimed there, but earlier downloads are still found).
fs::Fd lock_folder(const std::string& folder) {
  const std::string path = folder + "/" + kLockName;
  // Read-write where possible: NFS grants an exclusive lock only on a file
  // open for writing.
  const int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  fs::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | flags, 0666));
  if (!fd && (errno == EACCES || errno == EROFS)) fd.reset(::open(path.c_str(), O_RDONLY | flags));
  if (!fd) {
    // A missing folder fails the download itself, naming the cache path.
    if (errno == EACCES || errno == EROFS || errno == EPERM || errno == ENOENT) return fs::Fd();
    throw_errno("open", path);  // ELOOP: a link planted at the lock's name
  }
  while (::flock(fd.get(), LOCK_EX) != 0)
    if (errno != EINTR) throw_errno("flock", path);
  return fd;
}

bool is_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

void write_record(const std::string& path, const Record& r) {
  std::string text = r.link + "\n";
  if (r.checksum) text += "checksum " + format_checksum(*r.checksum) + "\n";
  if (r.size) text += "size " + std::to_string(*r.size) + "\n";
  if (r.mtime_ns && *r.mtime_ns >= 0) text += "mtime_ns " + std::to_string(*r.mtime_ns) + "\n";
  if (r.part) {
    // Header values never hold a line end (HTTP unfolds and splits on them).
    text += "part-etag " + r.part->validator.etag + "\n";
    text += "part-last-modified " + r.part->validator.last_modified + "\n";
    if (r.part->total) text += "part-total " + std::to_string(*r.part->total) + "\n";
  }
  fs::publish_bytes(path, text, {.mode = std::nullopt, .replace_link = true});
}

Placement place(const std::string& folder, const std::string& name, const std::string& link,
                const std::string& link_hash) {
  fs::Fd held = lock_folder(folder);
  const std::string dirs[2] = {folder, folder + "/#" + link_hash};
  for (const std::string& dir : dirs) {
    const bool own_dir = &dir == &dirs[1];
    if (own_dir && is_link(dir)) throw OsError(ELOOP, "open", dir);
    const std::string path = dir + "/" + name, record = sidecar(dir, ".#", name);
    Placement where{path, record, sidecar(dir, ".part#", name), false, std::nullopt};
    std::optional<Record> owner = read_record(record);
    const bool present = fs::exists(path);
    if (owner && owner->link == link) {
      where.cached = present;
      where.record = std::move(owner);
      return where;
    }
    if (!owner && present) {
      where.cached = true;
      return where;
    }
    if (!owner || own_dir) {
      // Free (or, past the link's own subfolder, taken over): claim it.
      if (own_dir) fs::make_dirs(dir);
      Record mine{link, {}, {}, {}, {}};
      try {
        write_record(record, mine);
      } catch (const OsError& e) {
        if (e.err() != ENOENT) throw;  // no folder: the download reports it
      }
      where.record = std::move(mine);
      return where;
    }
  }
  return {};  // not reached: the second folder always returns
}

}  // namespace tavro::haulix
