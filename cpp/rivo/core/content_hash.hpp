// Content hashes of a run's inputs and outputs: SHA-256 through OpenSSL's
// EVP interface, and a memo of (device, inode, size, mtime_ns, ctime_ns) ->
// hash so that a file is read again only when it may have changed. Plain
// C++, no Python; every function may run without the GIL.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavro::rivo::cache {

// Incremental SHA-256; hex() ends it.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t n);
  void update(std::string_view s) { update(s.data(), s.size()); }
  std::string hex();  // lower-case, 64 digits

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

std::string sha256_hex(std::string_view data);

// What stat says about a file's identity and state. Two equal signatures of
// one path mean the file was not written in between, with one exception the
// memo guards against (see HashMemo).
struct FileSig {
  std::uint64_t dev = 0, ino = 0, size = 0;
  std::int64_t mtime_ns = 0, ctime_ns = 0;
  bool operator==(const FileSig&) const = default;
};
FileSig sig_of(const struct stat& st);

// Called while a long read goes on; true stops it with tavro::Aborted.
using AbortHook = std::function<bool()>;

// SHA-256 of everything readable from `fd` (from its current offset), with
// the number of bytes read added to `bytes_read`.
std::string hash_fd(int fd, const std::string& path, std::uint64_t& bytes_read,
                    const AbortHook& abort = {});

struct FileHash {
  std::string sha256;
  std::uint64_t size = 0;
  unsigned mode = 0;            // permission bits
  FileSig sig;
  std::uint64_t bytes_read = 0;  // 0 when the memo answered
};

// The memo. Entries live in memory and, when a folder is given, one small
// file per (device, inode) in it, shared by every process using the folder;
// a lost or torn entry only costs a read.
//
// Equal signatures cannot tell one case apart: a write that lands in the
// same timestamp tick as the change we saw, keeping the size. So an entry is
// trusted only when the file's ctime lies clearly before the moment we
// started reading it (kRacyMargin, which also covers a file server whose
// clock is a little ahead); a file changed just before it was hashed is
// hashed again next time, as git does with "racily clean" index entries.
class HashMemo {
 public:
  static constexpr std::int64_t kRacyMargin = 1'000'000'000;  // ns

  HashMemo() = default;
  explicit HashMemo(std::string dir) : dir_(std::move(dir)) {}

  // The hash of the regular file at `path` (links followed). Reads it only
  // when the memo has no trusted entry for its current signature; a file
  // that changes while it is read is read again. Throws OsError.
  FileHash hash_file(const std::string& path, const AbortHook& abort = {});

  // Records that the file now at `path` with signature `sig` holds bytes
  // whose hash is `sha256`, as seen at `seen_ns` (CLOCK_REALTIME, taken
  // before the bytes were read or written).
  void remember(const std::string& path, const FileSig& sig, const std::string& sha256,
                std::int64_t seen_ns);

  // Removes persisted entries whose file is gone or was replaced. Returns
  // how many were removed.
  std::size_t prune();

  const std::string& dir() const { return dir_; }

 private:
  struct Rec {
    FileSig sig;
    std::string sha256;
    std::int64_t seen_ns = 0;
  };
  std::optional<Rec> find(const FileSig& sig);
  std::string rec_path(const FileSig& sig) const;

  std::string dir_;
  std::mutex mu_;
  std::unordered_map<std::string, Rec> mem_;
};

// CLOCK_REALTIME in nanoseconds.
std::int64_t now_ns();

// One entry of a directory input: relative path ('/'-joined), directory or
// file, permission bits, and for files size and content hash.
struct TreeEntry {
  std::string rel;
  bool is_dir = false;
  unsigned mode = 0;
  std::uint64_t size = 0;
  std::string sha256;
  FileSig sig;  // files: as hashed, to notice a change later
};

// An input path as a run stages it: a file, or a directory with everything
// below it (links followed as the staging copy follows them; FIFOs, sockets
// and devices left out as it leaves them out).
struct PathDigest {
  std::string path;   // as given
  std::string name;   // final component: the staged name
  bool is_dir = false;
  unsigned mode = 0;
  std::uint64_t size = 0;    // the file's, or the sum of the tree's files
  std::string sha256;        // the file's, or of the canonical tree listing
  FileSig sig;               // the file itself, or the directory
  std::vector<TreeEntry> tree;
  std::uint64_t bytes_read = 0;
  // Each file that had to be read: (path, bytes), for the debug log.
  std::vector<std::pair<std::string, std::uint64_t>> reads;
};

PathDigest digest_path(HashMemo& memo, const std::string& path, const AbortHook& abort = {});

// True when nothing of the digested input changed since (every signature
// equal, no file added or removed below a directory).
bool still_same(const PathDigest& d);

}  // namespace tavro::rivo::cache
