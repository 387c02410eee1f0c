#include "haulix/digest.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/errors.hpp"
#include "common/fd.hpp"

namespace tavro::haulix {
namespace {

const EVP_MD* digest_named(const std::string& algorithm) {
  if (algorithm == "md5") return EVP_md5();
  if (algorithm == "sha1") return EVP_sha1();
  if (algorithm == "sha256") return EVP_sha256();
  if (algorithm == "sha512") return EVP_sha512();
  return nullptr;
}

// Waits until pred holds. Through wait_for rather than wait: the untimed
// wait is an out-of-line libstdc++ symbol whose newest version (GCC 12) is
// newer than the manylinux policy the wheels are repaired to, while the
// timed one is inline over pthread_cond_clockwait.
template <class Pred>
void wait_until_true(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Pred pred) {
  while (!cv.wait_for(lock, std::chrono::hours(1), pred)) {
  }
}

bool all_hex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return !s.empty();
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::size_t hex_length(const std::string& algorithm) {
  const EVP_MD* md = digest_named(algorithm);
  return md ? 2 * static_cast<std::size_t>(EVP_MD_get_size(md)) : 0;
}

[[noreturn]] void openssl_failed(const char* what) {
  throw std::runtime_error(std::string("OpenSSL ") + what + " failed");
}

constexpr std::size_t kReadBlock = 1 << 20;

}  // namespace

std::optional<Checksum> parse_checksum(std::string_view text) {
  std::string algorithm;
  std::string_view hex = text;
  if (auto colon = text.find(':'); colon != std::string_view::npos) {
    algorithm = lower(text.substr(0, colon));
    hex = text.substr(colon + 1);
    if (!digest_named(algorithm)) return std::nullopt;
  } else {
    switch (text.size()) {
      case 32: algorithm = "md5"; break;
      case 40: algorithm = "sha1"; break;
      case 64: algorithm = "sha256"; break;
      case 128: algorithm = "sha512"; break;
      default: return std::nullopt;
    }
  }
  if (!all_hex(hex) || hex.size() != hex_length(algorithm)) return std::nullopt;
  return Checksum{algorithm, lower(hex)};
}

std::string format_checksum(const Checksum& c) { return c.algorithm + ":" + c.hex; }

Hasher::Hasher(const std::string& algorithm)
    : algorithm_(algorithm), md_(digest_named(algorithm)), ctx_(EVP_MD_CTX_new()) {
  if (!md_) {
    EVP_MD_CTX_free(ctx_);
    throw InvalidArgument("unknown digest algorithm: " + algorithm);
  }
  if (!ctx_) openssl_failed("EVP_MD_CTX_new");
  reset();
}

Hasher::~Hasher() { EVP_MD_CTX_free(ctx_); }

void Hasher::reset() {
  if (EVP_DigestInit_ex(ctx_, md_, nullptr) != 1) openssl_failed("EVP_DigestInit_ex");
}

void Hasher::update(const void* data, std::size_t size) {
  if (size && EVP_DigestUpdate(ctx_, data, size) != 1) openssl_failed("EVP_DigestUpdate");
}

std::string Hasher::hex_digest() const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), ctx_) != 1) openssl_failed("EVP_MD_CTX_copy_ex");
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(copy.get(), out, &n) != 1) openssl_failed("EVP_DigestFinal_ex");
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * n);
  for (unsigned int i = 0; i < n; ++i) {
    hex += digits[out[i] >> 4];
    hex += digits[out[i] & 15];
  }
  return hex;
}

HashWorker::HashWorker(Hasher& h) : hasher_(h), thread_([this] { run(); }) {}

HashWorker::~HashWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void HashWorker::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wait_until_true(work_, lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and everything given is hashed
    Chunk c = queue_.front();
    queue_.pop_front();
    busy_slot_ = c.slot;
    lock.unlock();
    try {
      if (!error_) hasher_.update(c.data, c.size);
    } catch (...) {
      error_ = std::current_exception();
    }
    lock.lock();
    busy_slot_ = -1;
    done_.notify_all();
  }
}

void HashWorker::submit(int slot, const char* data, std::size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({slot, data, size});
  }
  work_.notify_one();
}

void HashWorker::wait_free(int slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  wait_until_true(done_, lock, [&] {
    if (busy_slot_ == slot) return false;
    for (const Chunk& c : queue_)
      if (c.slot == slot) return false;
    return true;
  });
}

void HashWorker::sync() {
  std::unique_lock<std::mutex> lock(mutex_);
  wait_until_true(done_, lock, [this] { return queue_.empty() && busy_slot_ < 0; });
  if (error_) std::rethrow_exception(error_);
}

void hash_range(Hasher& h, int fd, std::uint64_t from, std::uint64_t to, const std::string& path) {
  std::vector<char> buf(kReadBlock);
  while (from < to) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, buf.size()));
    ssize_t n = ::pread(fd, buf.data(), want, static_cast<off_t>(from));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read", path);
    }
    if (n == 0) throw OsError(ENODATA, "read", path);
    h.update(buf.data(), static_cast<std::size_t>(n));
    from += static_cast<std::uint64_t>(n);
  }
}

std::string hash_file(const std::string& path, const std::string& algorithm) {
  Hasher h(algorithm);
  fs::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw_errno("open", path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", path);
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  hash_range(h, fd.get(), 0, static_cast<std::uint64_t>(st.st_size), path);
  return h.hex_digest();
}

}  // namespace tavro::haulix
