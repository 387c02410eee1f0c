#include "json.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace rivo {

Json Json::boolean(bool v) {
  Json j;
  j.kind_ = Kind::Bool;
  j.bool_ = v;
  return j;
}

Json Json::integer(int64_t v) {
  Json j;
  j.kind_ = Kind::Int;
  j.int_ = v;
  return j;
}

Json Json::number(double v) {
  Json j;
  j.kind_ = Kind::Float;
  j.float_ = v;
  return j;
}

Json Json::string(std::string v) {
  Json j;
  j.kind_ = Kind::String;
  j.str_ = std::move(v);
  return j;
}

Json Json::array() {
  Json j;
  j.kind_ = Kind::Array;
  return j;
}

Json Json::object() {
  Json j;
  j.kind_ = Kind::Object;
  return j;
}

Json& Json::push(Json v) {
  items_.push_back(std::move(v));
  return items_.back();
}

Json& Json::set(std::string key, Json v) {
  for (auto& [k, existing] : members_)
    if (k == key) {
      existing = std::move(v);
      return existing;
    }
  members_.emplace_back(std::move(key), std::move(v));
  return members_.back().second;
}

bool Json::has(std::string_view key) const {
  for (const auto& m : members_)
    if (m.first == key) return true;
  return false;
}

std::string Json::dump(int indent) const {
  std::string out;
  write(out, indent, 0);
  return out;
}

namespace {

void newline(std::string& out, int indent, int depth) {
  if (indent <= 0) return;
  out += '\n';
  out.append(static_cast<size_t>(indent * depth), ' ');
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 if it is not valid.
size_t utf8_sequence(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = byte(i + k);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Reject overlong forms, surrogates and values past U+10FFFF.
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return 0;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return len;
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
      continue;
    }
    size_t len = utf8_sequence(text, i);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  out += '"';
  return out;
}

void Json::write(std::string& out, int indent, int depth) const {
  switch (kind_) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += bool_ ? "true" : "false";
      return;
    case Kind::Int:
      out += std::to_string(int_);
      return;
    case Kind::Float: {
      if (!std::isfinite(float_)) {  // JSON has no inf or nan
        out += "null";
        return;
      }
      char buf[64];
      auto res = std::to_chars(buf, buf + sizeof buf, float_);  // shortest exact form
      std::string text(buf, res.ptr);
      if (text.find_first_of(".eE") == std::string::npos) text += ".0";
      out += text;
      return;
    }
    case Kind::String:
      out += json_quote(str_);
      return;
    case Kind::Array: {
      if (items_.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i) out += ',';
        newline(out, indent, depth + 1);
        items_[i].write(out, indent, depth + 1);
      }
      newline(out, indent, depth);
      out += ']';
      return;
    }
    case Kind::Object: {
      if (members_.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      for (size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ',';
        newline(out, indent, depth + 1);
        out += json_quote(members_[i].first);
        out += indent > 0 ? ": " : ":";
        members_[i].second.write(out, indent, depth + 1);
      }
      newline(out, indent, depth);
      out += '}';
      return;
    }
  }
}

}  // namespace rivo
