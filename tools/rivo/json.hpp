// A minimal JSON value with ordered object members, and its serialisation.
// Used by `show --format json|mcp|json-schema`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rivo {

class Json {
 public:
  enum class Kind { Null, Bool, Int, Float, String, Array, Object };

  Json() = default;
  static Json boolean(bool v);
  static Json integer(int64_t v);
  static Json number(double v);
  static Json string(std::string v);
  static Json array();
  static Json object();

  Kind kind() const { return kind_; }

  // Arrays: append an element. Objects: set a member (replacing one of the
  // same name in place, otherwise appending, so insertion order is kept).
  Json& push(Json v);
  Json& set(std::string key, Json v);
  bool has(std::string_view key) const;
  const std::vector<std::pair<std::string, Json>>& members() const { return members_; }
  const std::vector<Json>& items() const { return items_; }

  // Pretty-printed with two-space indentation and no trailing newline.
  std::string dump(int indent = 2) const;

 private:
  void write(std::string& out, int indent, int depth) const;

  Kind kind_ = Kind::Null;
  bool bool_ = false;
  int64_t int_ = 0;
  double float_ = 0.0;
  std::string str_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// `text` as a JSON string literal, quotes included. Control characters are
// escaped, valid UTF-8 passes through, and bytes that are not valid UTF-8
// become U+FFFD so the output is always valid JSON.
std::string json_quote(std::string_view text);

}  // namespace rivo
