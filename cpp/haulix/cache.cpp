#include "haulix/cache.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "common/errors.hpp"
#include "common/fileops.hpp"

namespace tavro::haulix {
namespace {

using json = nlohmann::json;

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

template <class T>
std::optional<T> field(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if constexpr (std::is_same_v<T, std::string>) {
    if (it->is_string()) return it->template get<std::string>();
  } else if constexpr (std::is_unsigned_v<T>) {
    if (it->is_number_unsigned()) return it->template get<T>();
  } else {
    if (it->is_number_integer()) return it->template get<T>();
  }
  return std::nullopt;
}

// A record as stored: JSON, or (made by earlier versions) the link alone.
std::optional<Record> parse_record(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (text[0] != '{') return Record{text, {}, {}, {}, {}};
  json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  auto link = field<std::string>(j, "link");
  if (!link) return std::nullopt;
  Record r{*link, {}, field<std::uint64_t>(j, "size"), field<std::int64_t>(j, "mtime_ns"), {}};
  if (auto sum = field<std::string>(j, "checksum")) r.checksum = parse_checksum(*sum);
  if (auto p = j.find("part"); p != j.end() && p->is_object()) {
    r.part = PartInfo{{field<std::string>(*p, "etag").value_or(""),
                       field<std::string>(*p, "last_modified").value_or("")},
                      field<std::uint64_t>(*p, "total")};
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
  json j = json::object();
  j["link"] = r.link;
  if (r.checksum) j["checksum"] = format_checksum(*r.checksum);
  if (r.size) j["size"] = *r.size;
  if (r.mtime_ns) j["mtime_ns"] = *r.mtime_ns;
  if (r.part) {
    json p = json::object();
    p["etag"] = r.part->validator.etag;
    p["last_modified"] = r.part->validator.last_modified;
    if (r.part->total) p["total"] = *r.part->total;
    j["part"] = std::move(p);
  }
  // Links are text, but not always valid UTF-8 (lone surrogates): such a
  // link is recorded with replacement characters and so never matches.
  fs::ReplaceOptions opts;
  opts.replace_link = true;
  fs::replace_file(path, j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n", opts);
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
