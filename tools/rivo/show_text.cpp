#include "show_text.hpp"

#include <array>

namespace rivo {
namespace {

constexpr std::string_view kJoiner = "\xE2\x81\xA0";  // U+2060 WORD JOINER

// Length of the line boundary starting at text[i], 0 when there is none.
size_t boundary_at(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c == '\r') return i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
  if (c == '\n' || c == '\v' || c == '\f' || c == 0x1c || c == 0x1d || c == 0x1e) return 1;
  std::string_view rest = text.substr(i);
  if (rest.substr(0, 2) == "\xC2\x85") return 2;
  if (rest.substr(0, 3) == "\xE2\x80\xA8" || rest.substr(0, 3) == "\xE2\x80\xA9") return 3;
  return 0;
}

// Length of the white space (as str.strip removes it) starting at text[i].
size_t space_at(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) return 1;
  std::string_view rest = text.substr(i);
  static constexpr std::array<std::string_view, 7> two_three = {
      "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80", "\xE2\x80\xA8"};
  for (auto s : two_three)
    if (rest.substr(0, s.size()) == s) return s.size();
  if (rest.size() >= 3 && rest[0] == '\xE2' && rest[1] == '\x80') {
    unsigned char d = static_cast<unsigned char>(rest[2]);
    if ((d >= 0x80 && d <= 0x8A) || d == 0xA9) return 3;  // U+2000-U+200A, U+2029
  }
  return 0;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

}  // namespace

std::vector<std::string> show_split_lines(std::string_view text) {
  std::vector<std::string> out;
  std::string line;
  for (size_t i = 0; i < text.size();) {
    if (size_t n = boundary_at(text, i)) {
      out.push_back(std::move(line));
      line.clear();
      i += n;
    } else {
      line += text[i++];
    }
  }
  if (!line.empty()) out.push_back(std::move(line));
  return out;
}

// Copies one character of `text` at `i` to `out`, a line boundary as one
// space; returns the index after it.
size_t flatten_at(std::string_view text, size_t i, std::string& out) {
  if (size_t n = boundary_at(text, i)) {
    out += ' ';
    return i + n;
  }
  out += text[i];
  return i + 1;
}

std::string show_value(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) i = flatten_at(text, i, out);
  return out;
}

std::string show_template(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (size_t n = boundary_at(text, i + 1)) {
        i += 1 + n;
        continue;
      }
      out += text.substr(i, 2);  // an escaped character stays escaped
      i += 2;
      continue;
    }
    i = flatten_at(text, i, out);
  }
  return out;
}

std::string show_free(std::string_view line_in) {
  std::string line = show_value(line_in);
  size_t start = 0;
  while (start < line.size())
    if (size_t n = space_at(line, start))
      start += n;
    else
      break;
  std::string_view rest = std::string_view(line).substr(start);
  for (std::string_view label : {"Image:", "Entrypoint:", "Args template:"})
    if (rest.substr(0, label.size()) == label) {
      line.insert(start, kJoiner);
      break;
    }
  std::string low = ascii_lower(line);
  bool gpu_rule = low.find("gpu") != std::string::npos &&
                  (low.find("required") != std::string::npos || low.find("true") != std::string::npos);
  if (!gpu_rule) return line;
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    out += line[i];
    if (i + 2 < line.size() && ascii_lower(line[i]) == 'g' && ascii_lower(line[i + 1]) == 'p' &&
        ascii_lower(line[i + 2]) == 'u')
      out += kJoiner;
  }
  return out;
}

}  // namespace rivo
