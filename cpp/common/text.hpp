// Python's own notions of text that the C++ core must agree with, on the
// file-system spelling the core works in (UTF-8, each undecodable byte b
// standing for the lone surrogate U+DC00+b, as os.fsdecode reads it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavro {

// Python's universal newlines on read: "\r\n" and a lone "\r" become "\n".
// Safe on UTF-8 (and on any ASCII-compatible encoding): those bytes never
// occur inside a multi-byte character.
std::string universal_newlines(std::string s);

// Length (1 to 4) of the well-formed UTF-8 sequence at s[i] as Python's
// strict decoder accepts it (no overlong forms, no surrogates, nothing
// beyond U+10FFFF), with its code point; 0 when none starts there.
std::size_t utf8_sequence(std::string_view s, std::size_t i, char32_t& cp);

bool valid_utf8(std::string_view s);

// The code points os.fsdecode gives for `bytes`.
std::u32string code_points(std::string_view bytes);

// a < b as Python orders the decoded str (code point by code point), which
// is byte order for well-formed UTF-8.
bool str_less(std::string_view a, std::string_view b);

// str.isspace() for one code point.
bool is_py_space(char32_t c);

// True when the text holds nothing but what str.strip() removes.
bool only_py_space(std::string_view bytes);

// only_py_space for text read in chunks: feed() each chunk and ask done()
// at the end. A character split between two chunks is judged once whole.
class SpaceScan {
 public:
  // False as soon as anything but white space was seen.
  bool feed(std::string_view chunk);
  bool done() const;

 private:
  std::string carry_;
  bool text_ = false;
};

// str.rstrip() of the text.
std::string_view py_rstrip(std::string_view bytes);

}  // namespace tavro
