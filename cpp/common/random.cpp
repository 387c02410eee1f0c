#include "common/random.hpp"

#include <sys/random.h>
#include <sys/types.h>

#include <random>
#include <vector>

namespace tavro {

std::string random_hex(std::size_t nbytes) {
  std::vector<unsigned char> raw(nbytes);
  if (::getrandom(raw.data(), raw.size(), 0) != static_cast<ssize_t>(raw.size())) {
    std::random_device rd;
    for (auto& b : raw) b = static_cast<unsigned char>(rd());
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * nbytes);
  for (unsigned char b : raw) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

}  // namespace tavro
