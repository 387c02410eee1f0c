#include "toml_read.hpp"

#include <vector>

#include "util.hpp"

namespace rivo {
namespace {

bool is_bare_key_char(char c) {
  switch (c) {
    case ' ': case '\t': case '\r': case '\n': case '=': case '.': case '#':
    case '[': case ']': case '{': case '}': case ',': case '"': case '\'':
      return false;
    default:
      return true;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Follows the structure of a TOML text far enough to know how deep it goes:
// table headers, dotted keys, inline tables and arrays, strings (so their
// contents are never read as structure) and comments. It keeps its own
// stack (the text may nest as deep as it likes) and never recurses.
class Scanner {
 public:
  Scanner(std::string_view text, int limit) : t_(text), limit_(limit) {}

  TomlDepth run() {
    int header = 0;
    while (!at_end() && !over()) {
      skip_ws();
      char c = peek();
      if (c == '\n') {
        newline();
        continue;
      }
      if (c == '#') {
        skip_comment();
        continue;
      }
      if (c == '[') {
        const bool array = peek(1) == '[';
        i_ += array ? 2 : 1;
        int parts = 0;
        if (!key(parts)) return give_up(0);
        skip_ws();
        if (peek() != ']' || (array && peek(1) != ']')) return give_up(parts);
        i_ += array ? 2 : 1;
        header = parts + (array ? 1 : 0);  // an array of tables is one level more
        note(header);
        if (!end_of_line()) return give_up(header);
        continue;
      }
      int parts = 0;
      if (!key(parts)) return give_up(header);
      skip_ws();
      if (peek() != '=') return give_up(header + parts);
      ++i_;
      note(header + parts);
      if (!value(header + parts)) return out_;
      if (!end_of_line()) return give_up(header);
    }
    return out_;
  }

 private:
  struct Frame {
    char kind;  // '{' or '['
    int depth;  // the depth of what it holds
  };

  bool at_end() const { return i_ >= t_.size(); }
  char peek(size_t k = 0) const { return i_ + k < t_.size() ? t_[i_ + k] : '\0'; }
  bool over() const { return out_.depth > limit_; }

  void note(int depth) {
    if (depth > out_.depth) {
      out_.depth = depth;
      out_.line = line_;
    }
  }

  void newline() {
    ++i_;
    ++line_;
  }

  void skip_ws() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\r') ++i_;
  }

  void skip_comment() {
    while (!at_end() && t_[i_] != '\n') ++i_;
  }

  // Inside arrays and inline tables: white space, line breaks and comments.
  void skip_inner() {
    while (!at_end()) {
      skip_ws();
      if (peek() == '\n') newline();
      else if (peek() == '#') skip_comment();
      else break;
    }
  }

  bool end_of_line() {
    skip_ws();
    if (peek() == '#') skip_comment();
    return at_end() || peek() == '\n';
  }

  // Any of the four kinds of string at i_; false when it never ends.
  bool string() {
    const char q = peek();
    const bool multi = peek(1) == q && peek(2) == q;
    i_ += multi ? 3 : 1;
    while (!at_end()) {
      const char c = t_[i_];
      if (c == '\\' && q == '"') {
        ++i_;
        if (peek() == '\n') ++line_;
        ++i_;
        continue;
      }
      if (c == '\n') {
        if (!multi) return false;
        newline();
        continue;
      }
      if (c == q) {
        if (!multi) {
          ++i_;
          return true;
        }
        if (peek(1) == q && peek(2) == q) {
          i_ += 3;
          // """a"""" ends with a quote in its content: up to two more belong to it.
          for (int extra = 0; extra < 2 && peek() == q; ++extra) ++i_;
          return true;
        }
      }
      ++i_;
    }
    return false;
  }

  // A key of one or more dotted parts; false when there is none.
  bool key(int& parts) {
    parts = 0;
    while (true) {
      skip_ws();
      const char c = peek();
      if (c == '"' || c == '\'') {
        if (peek(1) == c && peek(2) == c) return false;  // a multi-line string is no key
        if (!string()) return false;
      } else {
        const size_t start = i_;
        while (!at_end() && is_bare_key_char(t_[i_])) ++i_;
        if (i_ == start) return false;
      }
      ++parts;
      skip_ws();
      if (peek() != '.') return true;
      ++i_;
    }
  }

  // A number, boolean, date or time: up to the next separator. A date
  // followed by a space and a time is one value.
  bool bare_value() {
    const size_t start = i_;
    while (!at_end()) {
      const char c = t_[i_];
      if (c == ',' || c == ']' || c == '}' || c == '#' || c == '\n' || c == '\r' || c == '\t') break;
      if (c == ' ') {
        const size_t len = i_ - start;
        const bool date = len == 10 && t_[start + 4] == '-' && t_[start + 7] == '-';
        if (date && is_digit(peek(1))) {
          ++i_;
          continue;
        }
        break;
      }
      ++i_;
    }
    return i_ > start;
  }

  // One value at `depth` (the depth of the key it belongs to), with every
  // array and inline table in it.
  bool value(int depth) {
    enum class Next { Value, After, Key };
    std::vector<Frame> stack;
    Next next = Next::Value;
    int at = depth;
    while (!over()) {
      if (next == Next::Value) {
        if (!stack.empty()) skip_inner();
        else skip_ws();
        const char c = peek();
        if (c == '{' || c == '[') {
          ++i_;
          const int inner = c == '[' ? at + 1 : at;
          note(inner);
          stack.push_back({c, inner});
          skip_inner();
          if (peek() == (c == '[' ? ']' : '}')) {
            ++i_;
            stack.pop_back();
            next = Next::After;
          } else {
            next = c == '[' ? Next::Value : Next::Key;
            at = inner;
          }
          continue;
        }
        const bool ok = (c == '"' || c == '\'') ? string() : bare_value();
        if (!ok) return give_up_value(at);
        next = Next::After;
        continue;
      }
      if (next == Next::After) {
        if (stack.empty()) return true;
        skip_inner();
        const Frame f = stack.back();
        const char c = peek();
        const char close = f.kind == '[' ? ']' : '}';
        if (c == close) {
          ++i_;
          stack.pop_back();
          continue;
        }
        if (c != ',') return give_up_value(f.depth);
        ++i_;
        skip_inner();
        if (peek() == close) {  // a trailing comma
          ++i_;
          stack.pop_back();
          continue;
        }
        next = f.kind == '[' ? Next::Value : Next::Key;
        at = f.depth;
        continue;
      }
      // Next::Key, inside an inline table
      int parts = 0;
      const int base = stack.back().depth;
      if (!key(parts)) return give_up_value(base);
      skip_ws();
      if (peek() != '=') return give_up_value(base + parts);
      ++i_;
      at = base + parts;
      note(at);
      next = Next::Value;
    }
    return false;
  }

  bool give_up_value(int base) {
    give_up(base);
    return false;
  }

  // Text the scanner cannot follow (toml++ will report it): every later
  // character that could open a level counts as one, so nothing is missed.
  TomlDepth give_up(int base) {
    int more = 0;
    for (size_t k = i_; k < t_.size() && base + more <= limit_; ++k)
      if (t_[k] == '.' || t_[k] == '[' || t_[k] == '{') ++more;
    note(base + more);
    return out_;
  }

  std::string_view t_;
  size_t i_ = 0;
  size_t line_ = 1;
  int limit_;
  TomlDepth out_;
};

}  // namespace

TomlDepth toml_depth(std::string_view text, int limit) { return Scanner(text, limit).run(); }

toml::table read_toml(std::string_view text, const std::string& origin) {
  const TomlDepth d = toml_depth(text);
  if (d.depth > kMaxTomlDepth)
    throw Failure(origin + ":" + std::to_string(d.line) + ": keys and tables nested more than " +
                  std::to_string(kMaxTomlDepth) + " levels deep; rivo does not read such a file");
  try {
    return toml::parse(text, std::string_view(origin));
  } catch (const toml::parse_error& err) {
    const auto& b = err.source().begin;
    throw Failure(origin + ":" + std::to_string(b.line) + ":" + std::to_string(b.column) + ": " +
                  std::string(err.description()));
  }
}

std::string toml_where(const std::string& origin, const toml::node& node) {
  const auto& b = node.source().begin;
  if (!b.line) return origin;
  return origin + ":" + std::to_string(b.line) + ":" + std::to_string(b.column);
}

const char* toml_type_name(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: return "table";
    case toml::node_type::array: return "array";
    case toml::node_type::string: return "string";
    case toml::node_type::integer: return "integer";
    case toml::node_type::floating_point: return "float";
    case toml::node_type::boolean: return "boolean";
    case toml::node_type::date: return "date";
    case toml::node_type::time: return "time";
    case toml::node_type::date_time: return "date-time";
    default: return "value";
  }
}

}  // namespace rivo
