// Reading the TOML files rivo is given: tool definitions, rivo.toml and
// rivo.lock. toml++ bounds how deeply values nest but not keys, and it
// recurses once per level of dotted key or table-header part: some 20,000
// of them in a row exhaust the stack (as parsing, destroying or printing
// such a table would). So before toml++ sees a file, a small scanner
// measures the depth the file implies, and a file deeper than any real one
// is refused with an error naming it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "toml_include.hpp"

namespace rivo {

// Tables, arrays and dotted-key parts nested in one another, counted
// together; real files stay under ten.
inline constexpr int kMaxTomlDepth = 128;

struct TomlDepth {
  int depth = 0;      // the deepest nesting seen (at least limit + 1 when over it)
  std::size_t line = 0;  // where it was first reached
};

// The nesting `text` implies. Text the scanner cannot follow counts every
// later '.', '[' and '{' as one level more, so a misread never hides depth.
TomlDepth toml_depth(std::string_view text, int limit = kMaxTomlDepth);

// Parses the TOML file `origin` with contents `text`. Throws Failure
// "<origin>:<line>:<column>: <what>" on a syntax error, and
// "<origin>:<line>: keys nested more than 128 levels deep ..." before
// parsing a file deeper than kMaxTomlDepth.
toml::table read_toml(std::string_view text, const std::string& origin);

// "<origin>:<line>:<column>" of a parsed node, or just `origin`.
std::string toml_where(const std::string& origin, const toml::node& node);
// "table", "string", "integer", ... for messages.
const char* toml_type_name(const toml::node& node);

}  // namespace rivo
