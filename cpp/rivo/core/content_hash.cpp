#include "rivo/core/content_hash.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <utility>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"

namespace tavro::rivo::cache {

struct Sha256::Ctx {
  EVP_MD_CTX* md = nullptr;
  ~Ctx() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
  ctx_->md = EVP_MD_CTX_new();
  if (!ctx_->md || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available from the crypto library");
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  if (n && EVP_DigestUpdate(ctx_->md, data, n) != 1) throw std::runtime_error("SHA-256 update failed");
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_->md, digest, &len) != 1) throw std::runtime_error("SHA-256 final failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.hex();
}

FileSig sig_of(const struct stat& st) {
  FileSig s;
  s.dev = static_cast<std::uint64_t>(st.st_dev);
  s.ino = static_cast<std::uint64_t>(st.st_ino);
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  s.ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  return s;
}

std::int64_t now_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string hash_fd(int fd, const std::string& path, std::uint64_t& bytes_read, const AbortHook& abort) {
  // Large reads keep the system-call count low; SHA-256 with the CPU's
  // extensions runs faster than most disks, so the read size decides.
  constexpr std::size_t kBuf = std::size_t{1} << 20;
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buf(new char[kBuf]);
  Sha256 h;
  std::uint64_t since_check = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf.get(), kBuf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read", path);
    }
    if (n == 0) break;
    h.update(buf.get(), static_cast<std::size_t>(n));
    bytes_read += static_cast<std::uint64_t>(n);
    since_check += static_cast<std::uint64_t>(n);
    if (abort && since_check >= (std::uint64_t{64} << 20)) {
      since_check = 0;
      if (abort()) throw Aborted();
    }
  }
  return h.hex();
}

// ------------------------------------------------------------------ memo

namespace {

bool trusted(const FileSig& sig, std::int64_t seen_ns) {
  return sig.ctime_ns + HashMemo::kRacyMargin < seen_ns && sig.mtime_ns + HashMemo::kRacyMargin < seen_ns;
}

std::string hex_of(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * s.size());
  for (unsigned char c : s) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::optional<std::string> unhex(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); i += 2) {
    int hi = val(s[i]), lo = val(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

bool is_sha_hex(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Memo file: "tavro-hash-memo 1 DEV INO SIZE MTIME CTIME SEEN SHA256 PATHHEX\n".
// Anything else (a torn write, an older format) reads as no entry.
struct Parsed {
  FileSig sig;
  std::int64_t seen_ns = 0;
  std::string sha256, path;
};

std::optional<Parsed> parse_memo(const std::string& text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  char magic[32], sha[80];
  unsigned version = 0;
  Parsed p;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%31s %u %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %" SCNd64
                                " %79s %n",
                  magic, &version, &p.sig.dev, &p.sig.ino, &p.sig.size, &p.sig.mtime_ns, &p.sig.ctime_ns,
                  &p.seen_ns, sha, &consumed) != 9)
    return std::nullopt;
  if (std::string_view(magic) != "tavro-hash-memo" || version != 1 || !is_sha_hex(sha)) return std::nullopt;
  std::string_view rest(text.c_str() + consumed, text.size() - static_cast<std::size_t>(consumed) - 1);
  auto path = unhex(rest);
  if (!path) return std::nullopt;
  p.sha256 = sha;
  p.path = std::move(*path);
  return p;
}

std::string sig_name(const FileSig& sig) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%" PRIx64 "-%" PRIx64, sig.dev, sig.ino);
  return buf;
}

}  // namespace

std::string HashMemo::rec_path(const FileSig& sig) const { return dir_ + "/" + sig_name(sig); }

std::optional<HashMemo::Rec> HashMemo::find(const FileSig& sig) {
  const std::string name = sig_name(sig);
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = mem_.find(name);
    if (it != mem_.end() && it->second.sig == sig) return it->second;
  }
  if (dir_.empty()) return std::nullopt;
  std::string text;
  try {
    text = fs::read_file(rec_path(sig));
  } catch (const OsError&) {
    return std::nullopt;
  }
  auto p = parse_memo(text);
  if (!p || !(p->sig == sig)) return std::nullopt;
  Rec r{p->sig, p->sha256, p->seen_ns};
  std::lock_guard<std::mutex> g(mu_);
  mem_[name] = r;
  return r;
}

void HashMemo::remember(const std::string& path, const FileSig& sig, const std::string& sha256,
                        std::int64_t seen_ns) {
  // An entry that could never be trusted is not worth keeping.
  if (!trusted(sig, seen_ns)) return;
  const std::string name = sig_name(sig);
  {
    std::lock_guard<std::mutex> g(mu_);
    mem_[name] = Rec{sig, sha256, seen_ns};
  }
  if (dir_.empty()) return;
  char head[256];
  std::snprintf(head, sizeof head,
                "tavro-hash-memo 1 %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64 " ",
                sig.dev, sig.ino, sig.size, sig.mtime_ns, sig.ctime_ns, seen_ns);
  std::string text = head + sha256 + " " + hex_of(path) + "\n";
  // Written beside and renamed: readers see a whole entry or none. Not
  // synced: a lost entry only costs a read.
  const std::string final_path = rec_path(sig);
  const std::string tmp = final_path + ".tmp-" + random_hex(6);
  try {
    fs::make_dirs(dir_);
    fs::write_file(tmp, text);
    if (::rename(tmp.c_str(), final_path.c_str()) != 0) throw_errno("rename", tmp, final_path);
  } catch (const std::exception&) {
    ::unlink(tmp.c_str());  // best effort: the memo is an optimisation
  }
}

FileHash HashMemo::hash_file(const std::string& path, const AbortHook& abort) {
  for (int attempt = 0;; ++attempt) {
    fs::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) throw_errno("open", path);
    struct stat before;
    if (::fstat(fd.get(), &before) != 0) throw_errno("stat", path);
    if (!S_ISREG(before.st_mode)) throw OsError(S_ISDIR(before.st_mode) ? EISDIR : EINVAL, "open", path);
    FileHash out;
    out.sig = sig_of(before);
    out.size = out.sig.size;
    out.mode = before.st_mode & 07777;
    const std::int64_t seen = now_ns();
    if (auto rec = find(out.sig); rec && trusted(out.sig, rec->seen_ns)) {
      out.sha256 = rec->sha256;
      return out;
    }
    out.sha256 = hash_fd(fd.get(), path, out.bytes_read, abort);
    struct stat after;
    if (::fstat(fd.get(), &after) != 0) throw_errno("stat", path);
    if (sig_of(after) == out.sig && out.bytes_read == out.size) {
      remember(path, out.sig, out.sha256, seen);
      return out;
    }
    // Written while we read it: the hash may mix two versions.
    if (attempt >= 2) throw OsError(EAGAIN, "read (the file kept changing while it was hashed)", path);
  }
}

std::size_t HashMemo::prune() {
  if (dir_.empty()) return 0;
  std::size_t removed = 0;
  std::vector<fs::DirEntry> names;
  try {
    names = fs::list_dir(dir_);
  } catch (const OsError&) {
    return 0;
  }
  const std::int64_t now = now_ns();
  for (const auto& e : names) {
    const std::string p = dir_ + "/" + e.name;
    bool stale = false;
    if (e.name.find(".tmp-") != std::string::npos) {
      struct stat st;
      // A temporary older than a minute belongs to a writer that died.
      stale = ::lstat(p.c_str(), &st) == 0 && sig_of(st).mtime_ns + 60'000'000'000 < now;
    } else {
      std::optional<Parsed> rec;
      try {
        rec = parse_memo(fs::read_file(p));
      } catch (const OsError&) {
        continue;
      }
      struct stat st;
      stale = !rec || ::stat(rec->path.c_str(), &st) != 0 || !(sig_of(st) == rec->sig);
    }
    if (stale && ::unlink(p.c_str()) == 0) ++removed;
  }
  return removed;
}

// ------------------------------------------------------------ input trees

namespace {

// Walks a directory input the way the staging copy does: links followed,
// special files skipped, a link back to an ancestor refused.
void walk_tree(HashMemo* memo, const std::string& root, const std::string& rel,
               std::set<std::pair<std::uint64_t, std::uint64_t>>& ancestors, std::vector<TreeEntry>& out,
               PathDigest* digest, const AbortHook& abort) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  std::vector<fs::DirEntry> entries = fs::list_dir(dir);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const auto& e : entries) {
    const std::string child_rel = rel.empty() ? e.name : rel + "/" + e.name;
    const std::string child = root + "/" + child_rel;
    struct stat st;
    if (::stat(child.c_str(), &st) != 0) throw_errno("stat", child);
    if (S_ISDIR(st.st_mode)) {
      auto id = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
      if (ancestors.count(id)) throw OsError(ELOOP, "copytree", child);
      TreeEntry d;
      d.rel = child_rel;
      d.is_dir = true;
      d.mode = st.st_mode & 07777;
      out.push_back(std::move(d));
      ancestors.insert(id);
      walk_tree(memo, root, child_rel, ancestors, out, digest, abort);
      ancestors.erase(id);
    } else if (S_ISREG(st.st_mode)) {
      TreeEntry f;
      f.rel = child_rel;
      if (memo) {
        FileHash h = memo->hash_file(child, abort);
        f.mode = h.mode;
        f.size = h.size;
        f.sha256 = std::move(h.sha256);
        f.sig = h.sig;
        if (digest && h.bytes_read) {
          digest->bytes_read += h.bytes_read;
          digest->reads.emplace_back(child, h.bytes_read);
        }
      } else {
        f.mode = st.st_mode & 07777;
        f.size = static_cast<std::uint64_t>(st.st_size);
        f.sig = sig_of(st);
      }
      out.push_back(std::move(f));
    }
    // FIFOs, sockets and devices are not staged.
  }
}

std::string tree_hash(const std::vector<TreeEntry>& tree, unsigned root_mode) {
  Sha256 h;
  char buf[96];
  std::snprintf(buf, sizeof buf, "tavro-tree 1 %o\n", root_mode);
  h.update(buf);
  for (const auto& e : tree) {
    if (e.is_dir)
      std::snprintf(buf, sizeof buf, "D %o ", e.mode);
    else
      std::snprintf(buf, sizeof buf, "F %o %" PRIu64 " ", e.mode, e.size);
    h.update(buf);
    if (!e.is_dir) h.update(e.sha256 + " ");
    h.update(hex_of(e.rel));
    h.update("\n");
  }
  return h.hex();
}

std::string final_name(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  while (p.size() > 2 && p.compare(p.size() - 2, 2, "/.") == 0) {
    p.resize(p.size() - 2);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
  }
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

PathDigest digest_path(HashMemo& memo, const std::string& path, const AbortHook& abort) {
  PathDigest d;
  d.path = path;
  d.name = final_name(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw_errno("stat", path);
  if (S_ISDIR(st.st_mode)) {
    d.is_dir = true;
    d.mode = st.st_mode & 07777;
    d.sig = sig_of(st);
    std::set<std::pair<std::uint64_t, std::uint64_t>> ancestors{
        {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)}};
    walk_tree(&memo, path, "", ancestors, d.tree, &d, abort);
    for (const auto& e : d.tree) d.size += e.size;
    d.sha256 = tree_hash(d.tree, d.mode);
    return d;
  }
  FileHash h = memo.hash_file(path, abort);
  d.mode = h.mode;
  d.size = h.size;
  d.sha256 = std::move(h.sha256);
  d.sig = h.sig;
  d.bytes_read = h.bytes_read;
  if (h.bytes_read) d.reads.emplace_back(path, h.bytes_read);
  return d;
}

bool still_same(const PathDigest& d) {
  struct stat st;
  if (::stat(d.path.c_str(), &st) != 0) return false;
  if (!d.is_dir) return sig_of(st) == d.sig;
  if (!S_ISDIR(st.st_mode) || (st.st_mode & 07777) != d.mode) return false;
  std::vector<TreeEntry> now;
  std::set<std::pair<std::uint64_t, std::uint64_t>> ancestors{
      {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)}};
  try {
    walk_tree(nullptr, d.path, "", ancestors, now, nullptr, {});
  } catch (const OsError&) {
    return false;
  }
  if (now.size() != d.tree.size()) return false;
  for (std::size_t i = 0; i < now.size(); ++i) {
    const auto& a = now[i];
    const auto& b = d.tree[i];
    if (a.rel != b.rel || a.is_dir != b.is_dir || a.mode != b.mode) return false;
    if (!a.is_dir && !(a.sig == b.sig)) return false;
  }
  return true;
}

}  // namespace tavro::rivo::cache
