// The built-in TOML writer for rivo.toml and rivo.lock, used where tomli_w
// is not installed. It writes what the project files hold (tables of
// strings, numbers, booleans, dates and arrays) as valid TOML: strings and
// keys escaped as TOML requires, tables under full dotted headers, tables
// inside arrays inline.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavro::rivo {

// A TOML value, already reduced to what the writer needs: literals (numbers,
// booleans, dates) carry their final text, strings their raw UTF-8 content.
struct TomlValue {
  enum class Kind { Literal, String, Array, Table };
  Kind kind = Kind::Literal;
  std::string text;                // Literal: written as is; String: content
  std::vector<TomlValue> items;    // Array elements, or Table values
  std::vector<std::string> keys;   // Table keys (raw UTF-8), parallel to items

  static TomlValue literal(std::string t) { return {Kind::Literal, std::move(t), {}, {}}; }
  static TomlValue string(std::string t) { return {Kind::String, std::move(t), {}, {}}; }
  static TomlValue array() { return {Kind::Array, {}, {}, {}}; }
  static TomlValue table() { return {Kind::Table, {}, {}, {}}; }
};

// A basic string with the escapes TOML requires (backslash, double quote and
// every control character except tab).
std::string toml_string(std::string_view s);
// A key: bare when made of ASCII letters, digits, '-' and '_', else quoted.
std::string toml_key(std::string_view k);
// A value on one line: arrays as [a, b], tables as inline tables.
std::string toml_inline(const TomlValue& v);
// A whole document from a root table: scalars of each table first, then its
// sub-tables under full dotted headers; the top level has no header.
std::string toml_document(const TomlValue& root);

}  // namespace tavro::rivo
