#include "sha256.hpp"

#include <openssl/evp.h>

#include <memory>

#include "util.hpp"

namespace rivo {

std::string sha256_hex(std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    throw Failure("SHA-256 is not available from the crypto library");
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0xf];
  }
  return out;
}

}  // namespace rivo
