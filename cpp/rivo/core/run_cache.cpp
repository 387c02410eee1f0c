#include "rivo/core/run_cache.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/publish.hpp"
#include "common/random.hpp"

namespace tavro::rivo::cache {
namespace {

constexpr const char* kEntryFormat = "tavro-run-cache-entry";

std::string join(const std::string& base, const std::string& rel) {
  if (base.empty() || base == ".") return rel;
  if (base.back() == '/') return base + rel;
  return base + "/" + rel;
}

std::string hex_of(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

bool lstat_ok(const std::string& p, struct stat& st) { return ::lstat(p.c_str(), &st) == 0; }

void touch_used(const std::string& dir) {
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[0].tv_sec = 0;
  times[1].tv_nsec = UTIME_NOW;
  times[1].tv_sec = 0;
  (void)::utimensat(AT_FDCWD, dir.c_str(), times, 0);
}

// The parents of a unit inside the output folder, made the way the harvest
// makes them: the output folder itself with make_dirs, the folders below it
// ("_extras", "stdout") as real directories.
void make_unit_parents(const std::string& output, const std::string& rel) {
  fs::make_dirs(output.empty() ? "." : output);
  std::size_t pos = 0;
  while ((pos = rel.find('/', pos)) != std::string::npos) {
    fs::ensure_real_dir(join(output, rel.substr(0, pos)));
    ++pos;
  }
}

// Copies `src` to `dst` (a new file), then reads the copy back to hash it
// and syncs it: the entry's bytes are what the manifest describes.
StoredFile store_file(const std::string& src, const std::string& dst, const std::string& rel,
                      const AbortHook& abort) {
  fs::copy_file(src, dst);
  fs::Fd fd(::open(dst.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) throw_errno("open", dst);
  StoredFile f;
  f.rel = rel;
  std::uint64_t bytes = 0;
  f.sha256 = hash_fd(fd.get(), dst, bytes, abort);
  if (::fsync(fd.get()) != 0) throw_errno("fsync", dst);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", dst);
  if (static_cast<std::uint64_t>(st.st_size) != bytes) throw OsError(EIO, "copy (size changed)", src, dst);
  FileSig sig = sig_of(st);
  f.size = sig.size;
  f.mode = st.st_mode & 07777;
  f.ino = sig.ino;
  f.mtime_ns = sig.mtime_ns;
  f.ctime_ns = sig.ctime_ns;
  return f;
}

// Every directory and regular file below `dir` (relative, '/'-joined,
// parents before children), never following a link: the harvest publishes
// none, so a link found there is not ours.
void list_unit(const std::string& dir, const std::string& rel, std::vector<std::string>& dirs,
               std::vector<std::string>& files) {
  std::vector<fs::DirEntry> entries = fs::list_dir(dir);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const auto& e : entries) {
    std::string r = rel + "/" + e.name;
    std::string p = dir + "/" + e.name;
    struct stat st;
    if (!lstat_ok(p, st)) throw_errno("stat", p);
    if (S_ISDIR(st.st_mode)) {
      dirs.push_back(r);
      list_unit(p, r, dirs, files);
    } else if (S_ISREG(st.st_mode)) {
      files.push_back(r);
    } else {
      throw OsError(EINVAL, "not a regular file or directory", p);
    }
  }
}

json stored_json(const StoredFile& f) {
  return json{{"path", fs_json(f.rel)},
              {"size", f.size},
              {"sha256", f.sha256},
              {"mode", f.mode},
              {"stat", {{"ino", f.ino}, {"mtime_ns", f.mtime_ns}, {"ctime_ns", f.ctime_ns}}}};
}

json entry_json(const Entry& e) {
  json units = json::array(), dirs = json::array(), files = json::array();
  for (const auto& u : e.delivery.units) units.push_back({{"path", fs_json(u.rel)}, {"dir", u.is_dir}});
  for (const auto& [rel, mode] : e.dirs) dirs.push_back({{"path", fs_json(rel)}, {"mode", mode}});
  for (const auto& f : e.files) files.push_back(stored_json(f));
  return json{{"format", kEntryFormat},
              {"version", kVersion},
              {"key", e.key},
              {"tool", fs_json(e.tool)},
              {"run_id", e.run_id},
              {"created", e.created},
              {"components", e.components},
              {"result", e.delivery.result},
              {"stdout_fallback", e.delivery.stdout_fallback},
              {"units", units},
              {"dirs", dirs},
              {"files", files},
              {"bytes", e.bytes}};
}

// A relative path from a manifest: no absolute path, no "..", nothing empty,
// so a forged manifest cannot make a restore write outside the output folder.
std::string safe_rel(const json& j) {
  std::string rel = fs_string(j);
  if (rel.empty() || rel.front() == '/' || rel.find('\0') != std::string::npos)
    throw std::runtime_error("bad path in manifest");
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = rel.find('/', start);
    std::string part = rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") throw std::runtime_error("bad path in manifest");
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return rel;
}

Entry parse_entry(const json& j) {
  if (j.at("format") != kEntryFormat || j.at("version") != kVersion) throw std::runtime_error("unknown entry format");
  Entry e;
  e.key = j.at("key").get<std::string>();
  e.tool = fs_string(j.at("tool"));
  e.run_id = j.at("run_id").get<std::string>();
  e.created = j.at("created").get<std::string>();
  e.components = j.at("components");
  e.delivery.result = j.at("result").get<std::vector<std::string>>();
  e.delivery.stdout_fallback = j.at("stdout_fallback").get<bool>();
  for (const auto& u : j.at("units")) e.delivery.units.push_back({safe_rel(u.at("path")), u.at("dir").get<bool>()});
  for (const auto& d : j.at("dirs")) e.dirs.emplace_back(safe_rel(d.at("path")), d.at("mode").get<unsigned>());
  for (const auto& f : j.at("files")) {
    StoredFile s;
    s.rel = safe_rel(f.at("path"));
    s.size = f.at("size").get<std::uint64_t>();
    s.sha256 = f.at("sha256").get<std::string>();
    s.mode = f.at("mode").get<unsigned>();
    const json& st = f.at("stat");
    s.ino = st.at("ino").get<std::uint64_t>();
    s.mtime_ns = st.at("mtime_ns").get<std::int64_t>();
    s.ctime_ns = st.at("ctime_ns").get<std::int64_t>();
    e.files.push_back(std::move(s));
  }
  e.bytes = j.at("bytes").get<std::uint64_t>();
  return e;
}

// Renames an entry aside and removes it: a reader either finds it whole or
// not at all.
void discard_dir(const std::string& entries, const std::string& dir, const std::string& key) {
  std::string trash = entries + "/.trash-" + key + "-" + random_hex(6);
  if (::rename(dir.c_str(), trash.c_str()) != 0) {
    if (errno == ENOENT) return;
    throw_errno("rename", dir, trash);
  }
  fs::remove_tree_ignore_errors(trash);
}

std::string item_kind(const json& v) {
  if (v.contains("file")) return "a file";
  if (v.contains("dir")) return "a directory";
  if (v.contains("list")) return "a list";
  if (v.contains("text")) return "a text";
  if (v.contains("scalar")) return "a number or Boolean";
  return "a value";
}

std::string shown(const json& v) {
  for (const char* k : {"text", "scalar"})
    if (v.contains(k)) return fs_string(v.at(k));
  return v.dump();
}

void diff_value(const std::string& label, const json& a, const json& b, std::vector<std::string>& out) {
  if (a == b) return;
  if (item_kind(a) != item_kind(b)) {
    out.push_back(label + ": was " + item_kind(a) + ", now " + item_kind(b));
    return;
  }
  for (const char* k : {"file", "dir"}) {
    if (!a.contains(k)) continue;
    bool content = a[k].at("sha256") != b[k].at("sha256");
    bool name = a[k].at("name") != b[k].at("name");
    if (content && name)
      out.push_back(label + ": content and name changed");
    else if (content)
      out.push_back(label + ": content changed");
    else
      out.push_back(label + ": name changed (" + fs_string(a[k].at("name")) + " -> " + fs_string(b[k].at("name")) +
                    ")");
    return;
  }
  if (a.contains("list")) {
    const json &la = a.at("list"), &lb = b.at("list");
    if (la.size() != lb.size()) {
      out.push_back(label + ": " + std::to_string(la.size()) + " items, now " + std::to_string(lb.size()));
      return;
    }
    for (std::size_t i = 0; i < la.size(); ++i) diff_value(label + "[" + std::to_string(i) + "]", la[i], lb[i], out);
    return;
  }
  out.push_back(label + ": " + shown(a) + " -> " + shown(b));
}

}  // namespace

// ------------------------------------------------------------------ JSON

bool valid_utf8(std::string_view s) {
  std::size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

json fs_json(const std::string& bytes) {
  if (valid_utf8(bytes)) return bytes;
  return json{{"bytes", hex_of(bytes)}};
}

std::string fs_string(const json& j) {
  if (j.is_string()) return j.get<std::string>();
  if (j.is_object() && j.contains("bytes")) {
    std::string hex = j.at("bytes").get<std::string>(), out;
    if (hex.size() % 2) throw std::runtime_error("bad hex text");
    for (std::size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
  }
  throw std::runtime_error("not a file-system string");
}

// ---------------------------------------------------------------- the key

void hash_inputs(KeyParts& parts, HashMemo& memo, const AbortHook& abort) {
  for (auto& slot : parts.inputs)
    for (auto& item : slot.items)
      if (item.kind == InputItem::Kind::Path) item.digest = digest_path(memo, item.text, abort);
}

namespace {

json item_json(const InputItem& it) {
  switch (it.kind) {
    case InputItem::Kind::Path:
      return json{{it.digest.is_dir ? "dir" : "file",
                   {{"name", fs_json(it.digest.name)}, {"sha256", it.digest.sha256}}}};
    case InputItem::Kind::Text:
      return json{{"text", fs_json(it.text)}};
    case InputItem::Kind::Scalar:
      return json{{"scalar", fs_json(it.text)}};
  }
  return nullptr;
}

}  // namespace

json components(const KeyParts& p) {
  json outputs = json::array();
  for (const auto& o : p.outputs) outputs.push_back({fs_json(o.name), o.is_dir ? "dir" : "file"});
  json inputs = json::array();
  for (const auto& s : p.inputs) {
    json value;
    if (s.is_list) {
      value = json{{"list", json::array()}};
      for (const auto& it : s.items) value["list"].push_back(item_json(it));
    } else {
      value = item_json(s.items.at(0));
    }
    inputs.push_back({{"slot", fs_json(s.slot)}, {"value", value}});
  }
  return json{{"version", kVersion},
              {"tool", fs_json(p.tool)},
              {"manifest",
               {{"image", p.image ? fs_json(*p.image) : json(nullptr)},
                {"entrypoint", fs_json(p.entrypoint)},
                {"args_template", fs_json(p.args_template)},
                {"outputs", outputs}}},
              {"image", fs_json(p.image_identity)},
              {"backend", fs_json(p.backend)},
              {"inputs", inputs}};
}

std::string key_of(const json& c) { return sha256_hex(c.dump(-1, ' ', true)); }

std::vector<std::string> differences(const json& before, const json& now) {
  std::vector<std::string> out;
  if (before.value("version", -1) != now.value("version", -2)) return {"version: the key scheme changed"};
  const json &ma = before.at("manifest"), &mb = now.at("manifest");
  for (const char* k : {"image", "entrypoint", "args_template", "outputs"})
    if (ma.at(k) != mb.at(k)) out.push_back(std::string("manifest.") + k + ": changed");
  if (before.at("image") != now.at("image"))
    out.push_back("image: " + fs_string(before.at("image")) + " -> " + fs_string(now.at("image")));
  if (before.at("backend") != now.at("backend"))
    out.push_back("backend: " + fs_string(before.at("backend")) + " -> " + fs_string(now.at("backend")));
  std::map<std::string, const json*> old_inputs;
  for (const auto& i : before.at("inputs")) old_inputs[i.at("slot").dump()] = &i.at("value");
  std::vector<std::string> order_before, order_now;
  for (const auto& i : before.at("inputs")) order_before.push_back(i.at("slot").dump());
  for (const auto& i : now.at("inputs")) {
    std::string id = i.at("slot").dump();
    order_now.push_back(id);
    std::string label = "inputs." + fs_string(i.at("slot"));
    auto it = old_inputs.find(id);
    if (it == old_inputs.end()) {
      out.push_back(label + ": new");
      continue;
    }
    diff_value(label, *it->second, i.at("value"), out);
    old_inputs.erase(it);
  }
  for (const auto& [id, v] : old_inputs) {
    (void)v;
    out.push_back("inputs." + fs_string(json::parse(id)) + ": no longer given");
  }
  if (out.empty() && order_before != order_now) out.push_back("inputs: given in another order");
  return out;
}

// ------------------------------------------------------------------ locks

namespace {

using Clock = std::chrono::steady_clock;

// Locked, and still the file at `path`: a pruning that removed the lock
// file meanwhile would otherwise leave two holders on two inodes.
bool locked_current(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

fs::Fd open_lock(const std::string& path, bool create) {
  return fs::Fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0), 0666));
}

}  // namespace

KeyLock KeyLock::acquire(const std::string& path, const std::function<void(double)>& on_wait,
                         const AbortHook& should_abort) {
  const auto start = Clock::now();
  double next_notice = 1.0;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    fs::Fd fd = open_lock(path, true);
    if (!fd) throw_errno("open", path);
    for (;;) {
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) throw_errno("flock", path);
      if (should_abort && should_abort()) throw Aborted();
      double waited = std::chrono::duration<double>(Clock::now() - start).count();
      if (waited >= next_notice) {
        if (on_wait) on_wait(waited);
        next_notice = waited + 60.0;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    if (locked_current(fd.get(), path)) return KeyLock(std::move(fd));
  }
}

KeyLock KeyLock::try_acquire(const std::string& path, bool create) {
  fs::Fd fd = open_lock(path, create);
  if (!fd) {
    if (errno == ENOENT && !create) return KeyLock();
    throw_errno("open", path);
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return KeyLock();
    throw_errno("flock", path);
  }
  if (!locked_current(fd.get(), path)) return KeyLock();
  return KeyLock(std::move(fd));
}

// --------------------------------------------------------------- the cache

RunCache::RunCache(std::string root) : root_(std::move(root)), memo_(root_ + "/memo") {
  for (const char* sub : {"entries", "locks", "latest", "memo"}) fs::make_dirs(root_ + "/" + sub);
}

KeyLock RunCache::lock(const std::string& key, const std::function<void(double)>& on_wait,
                       const AbortHook& should_abort) const {
  return KeyLock::acquire(root_ + "/locks/" + key + ".lock", on_wait, should_abort);
}

std::optional<Entry> RunCache::lookup(const std::string& key, std::string* dropped, const AbortHook& abort) {
  const std::string dir = entry_dir(key);
  const std::string manifest = dir + "/manifest.json";
  struct stat st;
  if (!lstat_ok(manifest, st)) {
    if (errno == ENOENT && !lstat_ok(dir, st)) return std::nullopt;
    // A folder without its manifest is no entry: never committed whole.
    if (dropped) *dropped = "its manifest is missing";
    drop(key);
    return std::nullopt;
  }
  std::string reason;
  Entry e;
  bool restat = false;
  try {
    e = parse_entry(json::parse(fs::read_file(manifest)));
    if (e.key != key) throw std::runtime_error("the manifest names another key");
    for (const auto& [rel, mode] : e.dirs) {
      (void)mode;
      std::string p = dir + "/files/" + rel;
      if (!lstat_ok(p, st) || !S_ISDIR(st.st_mode)) throw std::runtime_error(rel + " is missing");
    }
    for (auto& f : e.files) {
      std::string p = dir + "/files/" + f.rel;
      if (!lstat_ok(p, st) || !S_ISREG(st.st_mode)) throw std::runtime_error(f.rel + " is missing");
      if (static_cast<std::uint64_t>(st.st_size) != f.size)
        throw std::runtime_error(f.rel + " has " + std::to_string(st.st_size) + " bytes, not " +
                                 std::to_string(f.size));
      FileSig sig = sig_of(st);
      if (sig.ino == f.ino && sig.mtime_ns == f.mtime_ns && sig.ctime_ns == f.ctime_ns) continue;
      // Written, copied or moved since the commit: only its bytes can tell.
      fs::Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (!fd) throw std::runtime_error(f.rel + " cannot be read");
      std::uint64_t bytes = 0;
      if (hash_fd(fd.get(), p, bytes, abort) != f.sha256) throw std::runtime_error(f.rel + " no longer matches its SHA-256");
      f.ino = sig.ino;
      f.mtime_ns = sig.mtime_ns;
      f.ctime_ns = sig.ctime_ns;
      restat = true;
    }
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& ex) {
    reason = ex.what();
  }
  if (!reason.empty()) {
    if (dropped) *dropped = reason;
    drop(key);
    return std::nullopt;
  }
  if (restat) {
    // The bytes were checked: remember the new stat, so the next lookup
    // need not read them again (best effort).
    try {
      fs::publish_bytes(manifest, entry_json(e).dump(1));
    } catch (const std::exception&) {
    }
  }
  return e;
}

std::vector<OutputFile> RunCache::restore(const Entry& e, const std::string& output) const {
  const std::string files = entry_dir(e.key) + "/files";
  std::map<std::string, const StoredFile*> by_rel;
  for (const auto& f : e.files) by_rel[f.rel] = &f;
  std::vector<OutputFile> out;
  auto check_size = [](const std::string& path, const StoredFile& f) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw_errno("stat", path);
    if (static_cast<std::uint64_t>(st.st_size) != f.size) throw OsError(EIO, "restore (size differs)", path);
  };
  for (const auto& u : e.delivery.units) {
    const std::string dst = join(output, u.rel);
    make_unit_parents(output, u.rel);
    if (!u.is_dir) {
      auto it = by_rel.find(u.rel);
      if (it == by_rel.end()) throw OsError(ENOENT, "restore", files + "/" + u.rel);
      fs::publish_copy(files + "/" + u.rel, dst, {.sync = false});
      check_size(dst, *it->second);
      out.push_back({dst, u.rel, it->second->size, it->second->sha256});
      continue;
    }
    const std::string prefix = u.rel + "/";
    std::string tmp = fs::temp_dir_beside(dst);
    try {
      std::vector<std::pair<std::string, unsigned>> modes;
      for (const auto& [rel, mode] : e.dirs) {
        if (rel == u.rel) {
          modes.emplace_back(tmp, mode);
        } else if (rel.compare(0, prefix.size(), prefix) == 0) {
          std::string d = tmp + "/" + rel.substr(prefix.size());
          if (::mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) throw_errno("mkdir", d);
          modes.emplace_back(d, mode);
        }
      }
      for (const auto& f : e.files) {
        if (f.rel.compare(0, prefix.size(), prefix) != 0) continue;
        std::string target = tmp + "/" + f.rel.substr(prefix.size());
        fs::copy_file(files + "/" + f.rel, target);
        check_size(target, f);
        out.push_back({join(output, f.rel), f.rel, f.size, f.sha256});
      }
      // Modes last, deepest first, so a read-only folder is filled first.
      for (auto it = modes.rbegin(); it != modes.rend(); ++it)
        if (::chmod(it->first.c_str(), it->second) != 0) throw_errno("chmod", it->first);
    } catch (...) {
      fs::remove_tree_ignore_errors(tmp);
      throw;
    }
    fs::publish_dir(tmp, dst);
  }
  touch_used(entry_dir(e.key));
  return out;
}

Entry RunCache::commit(const std::string& key, const json& comps, const std::string& tool, const std::string& run_id,
                       const std::string& created, const std::string& output, const Delivery& delivery,
                       const AbortHook& abort) {
  const std::string entries = root_ + "/entries";
  // Temporaries of this key left by a committer that died (we hold the key).
  for (const auto& d : fs::list_dir(entries))
    if (d.name.rfind(".tmp-" + key + "-", 0) == 0) fs::remove_tree_ignore_errors(entries + "/" + d.name);

  const std::string tmp = entries + "/.tmp-" + key + "-" + random_hex(6);
  Entry e;
  e.key = key;
  e.tool = tool;
  e.run_id = run_id;
  e.created = created;
  e.components = comps;
  e.delivery = delivery;
  try {
    if (::mkdir(tmp.c_str(), 0755) != 0) throw_errno("mkdir", tmp);
    const std::string files = tmp + "/files";
    if (::mkdir(files.c_str(), 0755) != 0) throw_errno("mkdir", files);
    std::vector<std::string> made_dirs{tmp, files};
    auto ensure_parents = [&](const std::string& rel) {
      std::size_t pos = 0;
      while ((pos = rel.find('/', pos)) != std::string::npos) {
        std::string d = files + "/" + rel.substr(0, pos);
        if (::mkdir(d.c_str(), 0755) == 0)
          made_dirs.push_back(d);
        else if (errno != EEXIST)
          throw_errno("mkdir", d);
        ++pos;
      }
    };
    for (const auto& u : delivery.units) {
      const std::string src = join(output, u.rel);
      struct stat st;
      if (!lstat_ok(src, st)) throw_errno("stat", src);
      ensure_parents(u.rel);
      if (!u.is_dir) {
        if (!S_ISREG(st.st_mode)) throw OsError(EINVAL, "not a regular file", src);
        e.files.push_back(store_file(src, files + "/" + u.rel, u.rel, abort));
        continue;
      }
      if (!S_ISDIR(st.st_mode)) throw OsError(ENOTDIR, "not a directory", src);
      std::vector<std::string> dirs{u.rel}, regular;
      list_unit(src, u.rel, dirs, regular);
      for (const auto& rel : dirs) {
        std::string sp = join(output, rel), d = files + "/" + rel;
        struct stat ds;
        if (!lstat_ok(sp, ds)) throw_errno("stat", sp);
        // Entry folders stay writable (so the entry can be removed); the
        // recorded mode is applied on restore.
        if (::mkdir(d.c_str(), 0755) != 0) throw_errno("mkdir", d);
        made_dirs.push_back(d);
        e.dirs.emplace_back(rel, ds.st_mode & 07777);
      }
      for (const auto& rel : regular) e.files.push_back(store_file(join(output, rel), files + "/" + rel, rel, abort));
    }
    for (const auto& f : e.files) e.bytes += f.size;
    for (auto it = made_dirs.rbegin(); it != made_dirs.rend(); ++it) fs::sync_dir(*it);
    fs::publish_bytes(tmp + "/manifest.json", entry_json(e).dump(1));
    const std::string final_dir = entry_dir(key);
    if (::rename(tmp.c_str(), final_dir.c_str()) != 0) {
      if (errno != ENOTEMPTY && errno != EEXIST) throw_errno("rename", tmp, final_dir);
      // An entry is there (one we could not use): ours replaces it.
      discard_dir(entries, final_dir, key);
      if (::rename(tmp.c_str(), final_dir.c_str()) != 0) throw_errno("rename", tmp, final_dir);
    }
  } catch (...) {
    fs::remove_tree_ignore_errors(tmp);
    throw;
  }
  fs::sync_dir(entries);
  touch_used(entry_dir(key));
  try {
    fs::publish_bytes(root_ + "/latest/" + sha256_hex(tool).substr(0, 32), key + "\n");
  } catch (const std::exception&) {
    // only the "why it missed" report uses it
  }
  return e;
}

void RunCache::drop(const std::string& key) const { discard_dir(root_ + "/entries", entry_dir(key), key); }

std::optional<json> RunCache::newest_components(const std::string& tool) const {
  try {
    std::string key = fs::read_file(root_ + "/latest/" + sha256_hex(tool).substr(0, 32));
    while (!key.empty() && (key.back() == '\n' || key.back() == ' ')) key.pop_back();
    if (key.size() != 64 || key.find('/') != std::string::npos) return std::nullopt;
    json j = json::parse(fs::read_file(entry_dir(key) + "/manifest.json"));
    return j.at("components");
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

PruneResult RunCache::prune(std::uint64_t max_bytes) {
  PruneResult r;
  const std::string entries = root_ + "/entries";
  struct Item {
    std::string key;
    std::int64_t used_ns;
    std::uint64_t bytes;
  };
  std::vector<Item> items;
  for (const auto& d : fs::list_dir(entries)) {
    const std::string p = entries + "/" + d.name;
    if (d.name.rfind(".trash-", 0) == 0) {
      fs::remove_tree_ignore_errors(p);  // a removal that was cut short
      continue;
    }
    if (d.name.rfind(".tmp-", 0) == 0) {
      // ".tmp-<key>-<random>": stale once nobody holds the key.
      std::string key = d.name.substr(5, 64);
      KeyLock held = KeyLock::try_acquire(root_ + "/locks/" + key + ".lock");
      if (held.held()) fs::remove_tree_ignore_errors(p);
      continue;
    }
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    std::uint64_t bytes = 0;
    try {
      bytes = json::parse(fs::read_file(p + "/manifest.json")).at("bytes").get<std::uint64_t>();
    } catch (const std::exception&) {
      bytes = 0;  // no usable manifest: removed first (its time is old)
      st.st_mtim.tv_sec = 0;
      st.st_mtim.tv_nsec = 0;
    }
    items.push_back({d.name, sig_of(st).mtime_ns, bytes});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.used_ns < b.used_ns; });
  std::uint64_t total = 0;
  for (const auto& i : items) total += i.bytes;
  for (const auto& i : items) {
    if (total <= max_bytes && i.bytes > 0) break;
    const std::string lock_path = root_ + "/locks/" + i.key + ".lock";
    KeyLock held = KeyLock::try_acquire(lock_path);
    if (!held.held()) {
      ++r.in_use;
      continue;
    }
    drop(i.key);
    // Unlinked while held: a run waiting on the old file notices and retries.
    ::unlink(lock_path.c_str());
    held.release();
    total -= i.bytes;
    r.freed += i.bytes;
    ++r.removed;
  }
  // Lock files of keys that have no entry (runs that failed) and nobody holds.
  try {
    for (const auto& d : fs::list_dir(root_ + "/locks")) {
      const std::string key = d.name.substr(0, d.name.find('.'));
      struct stat st;
      if (::lstat(entry_dir(key).c_str(), &st) == 0) continue;
      const std::string lock_path = root_ + "/locks/" + d.name;
      KeyLock held = KeyLock::try_acquire(lock_path, false);
      if (held.held() && ::lstat(entry_dir(key).c_str(), &st) != 0) ::unlink(lock_path.c_str());
    }
  } catch (const OsError&) {
  }
  memo_.prune();
  r.remaining = total;
  return r;
}

std::vector<OutputFile> describe_outputs(HashMemo& memo, const std::string& output, const Delivery& delivery,
                                         const AbortHook& abort) {
  std::vector<OutputFile> out;
  auto add = [&](const std::string& rel) {
    std::string p = join(output, rel);
    FileHash h = memo.hash_file(p, abort);
    out.push_back({p, rel, h.size, h.sha256});
  };
  for (const auto& u : delivery.units) {
    if (!u.is_dir) {
      add(u.rel);
      continue;
    }
    std::vector<std::string> dirs, files;
    list_unit(join(output, u.rel), u.rel, dirs, files);
    for (const auto& rel : files) add(rel);
  }
  return out;
}

}  // namespace tavro::rivo::cache
