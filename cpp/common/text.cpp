#include "common/text.hpp"

#include <cstddef>

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

namespace {

bool cont(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_sequence(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  const std::size_t left = s.size() - i;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !cont(at(1))) return 0;
    cp = (char32_t(b0 & 0x1F) << 6) | (at(1) & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(at(1)) || !cont(at(2))) return 0;
    if (b0 == 0xE0 && at(1) < 0xA0) return 0;   // overlong
    if (b0 == 0xED && at(1) >= 0xA0) return 0;  // a surrogate
    cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(at(1) & 0x3F) << 6) | (at(2) & 0x3F);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(at(1)) || !cont(at(2)) || !cont(at(3))) return 0;
    if (b0 == 0xF0 && at(1) < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && at(1) >= 0x90) return 0;  // beyond U+10FFFF
    cp = (char32_t(b0 & 0x07) << 18) | (char32_t(at(1) & 0x3F) << 12) | (char32_t(at(2) & 0x3F) << 6) |
         (at(3) & 0x3F);
    return 4;
  }
  return 0;
}

namespace {

// Length a sequence with this lead byte would have (1 for anything that
// cannot lead one).
std::size_t expected_length(unsigned char b0) {
  if (b0 >= 0xC2 && b0 <= 0xDF) return 2;
  if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
  if (b0 >= 0xF0 && b0 <= 0xF4) return 4;
  return 1;
}

}  // namespace

bool valid_utf8(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = utf8_sequence(s, i, cp);
    if (!n) return false;
    i += n;
  }
  return true;
}

bool str_less(std::string_view a, std::string_view b) {
  if (valid_utf8(a) && valid_utf8(b)) return a < b;  // char_traits<char> compares as unsigned char
  return code_points(a) < code_points(b);
}

std::u32string code_points(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    std::size_t n = utf8_sequence(bytes, i, cp);
    if (n == 0) {
      // surrogateescape: one code point per byte of an invalid sequence.
      out.push_back(char32_t(0xDC00) + static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      out.push_back(cp);
      i += n;
    }
  }
  return out;
}

bool is_py_space(char32_t c) {
  // The characters str.isspace() accepts: bidirectional class WS, B or S,
  // or general category Zs.
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
    case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool only_py_space(std::string_view bytes) {
  SpaceScan scan;
  return scan.feed(bytes) && scan.done();
}

bool SpaceScan::feed(std::string_view chunk) {
  if (text_) return false;
  std::string joined;
  if (!carry_.empty()) {
    joined = carry_ + std::string(chunk);
    chunk = joined;
    carry_.clear();
  }
  for (std::size_t i = 0; i < chunk.size();) {
    const auto b0 = static_cast<unsigned char>(chunk[i]);
    if (b0 < 0x80) {
      if (!is_py_space(b0)) return !(text_ = true);
      ++i;
      continue;
    }
    char32_t cp;
    std::size_t n = utf8_sequence(chunk, i, cp);
    if (n == 0) {
      // Perhaps only cut off by the end of the chunk: judged with the next.
      if (chunk.size() - i < expected_length(b0)) {
        carry_.assign(chunk.substr(i));
        return true;
      }
      return !(text_ = true);  // an undecodable byte is not white space
    }
    if (!is_py_space(cp)) return !(text_ = true);
    i += n;
  }
  return true;
}

bool SpaceScan::done() const { return !text_ && carry_.empty(); }

std::string_view py_rstrip(std::string_view bytes) {
  // Walk the code points forward, remembering where the last non-space ended.
  std::size_t end = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    std::size_t n = utf8_sequence(bytes, i, cp);
    bool space = n != 0 && is_py_space(cp);
    i += n == 0 ? 1 : n;
    if (!space) end = i;
  }
  return bytes.substr(0, end);
}

}  // namespace tavro
