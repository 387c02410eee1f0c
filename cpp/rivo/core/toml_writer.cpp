#include "rivo/core/toml_writer.hpp"

#include <cstdio>

namespace tavro::rivo {

std::string toml_string(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\b': out += "\\b"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += '\t'; break;  // the one control character TOML allows as is
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string toml_key(std::string_view k) {
  bool bare = !k.empty();
  for (char c : k) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) {
      bare = false;
      break;
    }
  }
  return bare ? std::string(k) : toml_string(k);
}

std::string toml_inline(const TomlValue& v) {
  switch (v.kind) {
    case TomlValue::Kind::Literal: return v.text;
    case TomlValue::Kind::String: return toml_string(v.text);
    case TomlValue::Kind::Array: {
      std::string out = "[";
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ", ";
        out += toml_inline(v.items[i]);
      }
      return out + "]";
    }
    case TomlValue::Kind::Table: {
      // Tables inside arrays have no place for a header: TOML's inline form
      // keeps them tables when read back.
      if (v.items.empty()) return "{}";
      std::string out = "{ ";
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ", ";
        out += toml_key(v.keys[i]) + " = " + toml_inline(v.items[i]);
      }
      return out + " }";
    }
  }
  return {};
}

namespace {

void emit_table(const std::string& prefix, const TomlValue& table, std::string& out) {
  if (!prefix.empty()) out += "[" + prefix + "]\n";
  bool scalars = false;
  for (size_t i = 0; i < table.items.size(); ++i) {
    if (table.items[i].kind == TomlValue::Kind::Table) continue;
    out += toml_key(table.keys[i]) + " = " + toml_inline(table.items[i]) + "\n";
    scalars = true;
  }
  if (!prefix.empty() || scalars) out += "\n";
  for (size_t i = 0; i < table.items.size(); ++i) {
    if (table.items[i].kind != TomlValue::Kind::Table) continue;
    std::string key = toml_key(table.keys[i]);
    emit_table(prefix.empty() ? key : prefix + "." + key, table.items[i], out);
  }
}

}  // namespace

std::string toml_document(const TomlValue& root) {
  std::string out;
  emit_table("", root, out);
  return out;
}

}  // namespace tavro::rivo
