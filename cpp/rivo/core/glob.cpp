#include "rivo/core/glob.hpp"

#include <algorithm>

#include "common/text.hpp"

namespace tavro::rivo {
namespace {

// One character of the regular-expression set fnmatch.translate writes,
// with whether it was escaped there (escaped characters are always
// literal; an unescaped '-' between two characters makes a range).
struct SetChar {
  char32_t c;
  bool escaped;
};

// fnmatch.translate's treatment of the set text pat[i:j] ("stuff"): the
// hyphens that make ranges are found as translate finds them, empty ranges
// are removed, and everything else is escaped.
std::vector<SetChar> set_text(const std::u32string& pat, std::size_t i, std::size_t j) {
  std::vector<SetChar> out;
  auto literal = [&out](const std::u32string& s) {
    for (char32_t c : s) out.push_back({c, c == U'\\' || c == U'-' || c == U'&' || c == U'~' || c == U'|'});
  };
  const std::u32string stuff = pat.substr(i, j - i);
  if (stuff.find(U'-') == std::u32string::npos) {
    literal(stuff);
    return out;
  }
  std::vector<std::u32string> chunks;
  std::size_t k = pat[i] == U'!' ? i + 2 : i + 1;
  for (;;) {
    std::size_t hy = k < j ? pat.find(U'-', k) : std::u32string::npos;
    if (hy == std::u32string::npos || hy >= j) break;
    chunks.push_back(pat.substr(i, hy - i));
    i = hy + 1;
    k = hy + 3;
  }
  std::u32string last = pat.substr(i, j - i);
  if (!last.empty())
    chunks.push_back(last);
  else
    chunks.back() += U'-';
  for (std::size_t m = chunks.size() - 1; m > 0; --m) {
    if (chunks[m - 1].back() > chunks[m].front()) {
      chunks[m - 1] = chunks[m - 1].substr(0, chunks[m - 1].size() - 1) + chunks[m].substr(1);
      chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(m));
    }
  }
  for (std::size_t m = 0; m < chunks.size(); ++m) {
    if (m) out.push_back({U'-', false});
    literal(chunks[m]);
  }
  return out;
}

}  // namespace

Glob::Glob(std::string_view pattern) {
  const std::u32string pat = code_points(pattern);
  const std::size_t n = pat.size();
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = pat[i++];
    if (c == U'*') {
      if (tokens_.empty() || tokens_.back().kind != Token::Kind::Star) tokens_.emplace_back(Token::Kind::Star);
    } else if (c == U'?') {
      tokens_.emplace_back(Token::Kind::Any);
    } else if (c == U'[') {
      std::size_t j = i;
      if (j < n && pat[j] == U'!') ++j;
      if (j < n && pat[j] == U']') ++j;
      while (j < n && pat[j] != U']') ++j;
      if (j >= n) {
        tokens_.emplace_back(Token::Kind::Char, U'[');
        continue;
      }
      std::vector<SetChar> stuff = set_text(pat, i, j);
      i = j + 1;
      if (stuff.empty()) {
        tokens_.emplace_back(Token::Kind::Never);
        continue;
      }
      if (stuff.size() == 1 && stuff[0].c == U'!' && !stuff[0].escaped) {
        tokens_.emplace_back(Token::Kind::Any);
        continue;
      }
      Token t(Token::Kind::Set);
      std::size_t p = 0;
      if (stuff[0].c == U'!' && !stuff[0].escaped) {
        t.negated = true;
        p = 1;
      }
      // The set as the regular-expression parser reads it: a character, and
      // when an unescaped '-' and another character follow, the range of both.
      while (p < stuff.size()) {
        const char32_t lo = stuff[p++].c;
        if (p + 1 < stuff.size() && stuff[p].c == U'-' && !stuff[p].escaped) {
          t.ranges.emplace_back(lo, stuff[p + 1].c);
          p += 2;
        } else {
          t.ranges.emplace_back(lo, lo);
        }
      }
      tokens_.push_back(std::move(t));
    } else {
      tokens_.emplace_back(Token::Kind::Char, c);
    }
  }
}

bool Glob::one(const Token& t, char32_t c) const {
  switch (t.kind) {
    case Token::Kind::Any: return true;
    case Token::Kind::Char: return t.c == c;
    case Token::Kind::Set: {
      bool in = std::any_of(t.ranges.begin(), t.ranges.end(),
                            [c](const auto& r) { return r.first <= c && c <= r.second; });
      return in != t.negated;
    }
    default: return false;
  }
}

bool Glob::matches(std::string_view name) const {
  const std::u32string s = code_points(name);
  const std::size_t m = tokens_.size();
  std::size_t p = 0, k = 0, star = m, mark = 0;
  while (k < s.size()) {
    if (p < m && tokens_[p].kind == Token::Kind::Star) {
      star = p++;
      mark = k;
    } else if (p < m && one(tokens_[p], s[k])) {
      ++p;
      ++k;
    } else if (star != m) {
      p = star + 1;
      k = ++mark;
    } else {
      return false;
    }
  }
  while (p < m && tokens_[p].kind == Token::Kind::Star) ++p;
  return p == m;
}

}  // namespace tavro::rivo
