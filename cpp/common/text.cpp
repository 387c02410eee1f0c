#include "common/text.hpp"

namespace tavro {

std::string universal_newlines(std::string s) {
  std::size_t r = s.find('\r');
  if (r == std::string::npos) return s;
  // Rewritten in place: the text only ever shrinks.
  std::size_t w = r;
  const std::size_t n = s.size();
  for (; r < n; ++r) {
    const char c = s[r];
    if (c == '\r') {
      s[w++] = '\n';
      if (r + 1 < n && s[r + 1] == '\n') ++r;
    } else {
      s[w++] = c;
    }
  }
  s.resize(w);
  return s;
}

}  // namespace tavro
