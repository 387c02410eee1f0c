// Checksums of downloads: the digests a record publishes for its files, and
// hashing a body with OpenSSL's EVP interface while it is written. Plain C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Feeds bytes [from, to) of the open file `fd` to `h` (pread, so the file
// offset stays). Throws OsError naming `path`, or ENODATA when the file is
// shorter than `to`.
void hash_range(Hasher& h, int fd, std::uint64_t from, std::uint64_t to, const std::string& path);
// The digest of the whole file at `path`, with `algorithm`. Throws OsError.
std::string hash_file(const std::string& path, const std::string& algorithm);

}  // namespace tavro::haulix
