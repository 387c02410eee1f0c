// Checksums of downloads: the digests a record publishes for its files, and
// hashing a body with OpenSSL's EVP interface while it is written. Plain C++.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

struct evp_md_ctx_st;
struct evp_md_st;

namespace tavro::haulix {

struct Checksum {
  std::string algorithm;  // "md5", "sha1", "sha256" or "sha512"
  std::string hex;        // lower-case hex digits

  bool operator==(const Checksum&) const = default;
};

// "md5:<hex>" (any of the four algorithms, either case), or a bare hex
// digest whose length names the algorithm (32: md5, 40: sha1, 64: sha256,
// 128: sha512). Anything else is no checksum.
std::optional<Checksum> parse_checksum(std::string_view text);
// "<algorithm>:<hex>", the form records keep.
std::string format_checksum(const Checksum& c);

// An incremental digest. Not copyable; reset() starts it afresh.
class Hasher {
 public:
  explicit Hasher(const std::string& algorithm);  // one of the four above
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  void update(const void* data, std::size_t size);
  void reset();
  // The digest of everything given so far; the state is left as it was.
  std::string hex_digest() const;
  const std::string& algorithm() const { return algorithm_; }

 private:
  std::string algorithm_;
  const evp_md_st* md_;
  evp_md_ctx_st* ctx_;
};

// Feeds chunks to a Hasher on a thread of its own, so that hashing a body
// overlaps receiving the next chunk of it: a single MD5 stream runs at well
// under the speed of a local network or a fast disk. The caller hands over
// chunks in numbered slots (buffers it owns) and must not touch a slot's
// memory again before wait_free(slot). The thread lives only as long as the
// HashWorker, calls no Python and is joined (after hashing all it was
// given) when the HashWorker is destroyed.
class HashWorker {
 public:
  explicit HashWorker(Hasher& h);
  ~HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;

  void submit(int slot, const char* data, std::size_t size);
  // Waits until the chunk last given in `slot` has been hashed.
  void wait_free(int slot);
  // Waits until every chunk has been hashed; rethrows a failure of the hasher.
  void sync();

 private:
  struct Chunk {
    int slot;
    const char* data;
    std::size_t size;
  };
  void run();

  Hasher& hasher_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<Chunk> queue_;
  int busy_slot_ = -1;
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

// Feeds bytes [from, to) of the open file `fd` to `h` (pread, so the file
// offset stays). Throws OsError naming `path`, or ENODATA when the file is
// shorter than `to`.
void hash_range(Hasher& h, int fd, std::uint64_t from, std::uint64_t to, const std::string& path);
// The digest of the whole file at `path`, with `algorithm`. Throws OsError.
std::string hash_file(const std::string& path, const std::string& algorithm);

}  // namespace tavro::haulix
