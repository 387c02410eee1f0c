// Shell-style name patterns as Python's fnmatch module matches them on
// POSIX (case-sensitive; '*' any run, '?' one character, "[...]" a set,
// "[!...]" its complement, no way to quote), compiled the way
// fnmatch.translate compiles them, so that odd sets ("[z-a]", "[!]",
// "[a-]") mean what they mean there. Matching is on code points, as Python
// matches str.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavro::rivo {

class Glob {
 public:
  explicit Glob(std::string_view pattern);
  // fnmatch.fnmatchcase(name, pattern)
  bool matches(std::string_view name) const;

 private:
  struct Token {
    enum class Kind { Star, Any, Char, Set, Never } kind;
    explicit Token(Kind k, char32_t ch = 0) : kind(k), c(ch) {}
    char32_t c = 0;                                      // Char
    bool negated = false;                                // Set
    std::vector<std::pair<char32_t, char32_t>> ranges;   // Set: single characters are ranges of one
  };
  bool one(const Token& t, char32_t c) const;
  std::vector<Token> tokens_;
};

}  // namespace tavro::rivo
