// Placeholder substitution of an argument template. The template is split
// shell-style after substitution, so a value pasted in as text would be split
// too ("my reads.fq"), could open a quote ("it's.fq"), pose as an option
// ("-o") or a redirection ("x > o"), or look like another placeholder
// ("{b}.fq"). Values therefore go in masked: a path as a marker that the split
// keeps whole, braces and NULs as escapes; the split tokens are decoded after.
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "rivo/exec_core.hpp"

namespace tavro::rivo::core {
namespace {

// NUL cannot occur in an argument (execve would cut it off), so it is free to
// introduce the escapes: "\0\0" a NUL, "\0(" a '{', "\0)" a '}', and
// "\0P<index>\0" path number <index>.
constexpr char kEsc = '\0';

void append_masked(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '{') {
      out += kEsc;
      out += '(';
    } else if (c == '}') {
      out += kEsc;
      out += ')';
    } else if (c == kEsc) {
      out += kEsc;
      out += kEsc;
    } else {
      out += c;
    }
  }
}

void append_path(std::string& out, const std::string& path, std::vector<std::string>& paths) {
  out += kEsc;
  out += 'P';
  out += std::to_string(paths.size());
  out += kEsc;
  paths.push_back(path_argument(path));
}

}  // namespace

std::string path_argument(std::string_view name) {
  if (!name.empty() && name[0] == '-') return "./" + std::string(name);
  return std::string(name);
}

std::string substitute(std::string_view tmpl,
                       const std::vector<std::pair<std::string, Replacement>>& table,
                       std::vector<std::string>& paths) {
  std::string out;
  out.reserve(tmpl.size());
  size_t i = 0;
  while (i < tmpl.size()) {
    const char c = tmpl[i];
    const std::pair<std::string, Replacement>* hit = nullptr;
    if (c == '{') {
      for (const auto& entry : table) {
        const std::string& key = entry.first;
        if (tmpl.size() - i >= key.size() + 2 && tmpl.compare(i + 1, key.size(), key) == 0 &&
            tmpl[i + 1 + key.size()] == '}') {
          hit = &entry;
          break;
        }
      }
    }
    if (!hit) {
      if (c == kEsc) out += kEsc;
      out += c;
      ++i;
      continue;
    }
    const Replacement& r = hit->second;
    if (r.text) {
      append_masked(out, *r.text);
    } else {
      for (size_t k = 0; k < r.paths.size(); ++k) {
        if (k) out += ' ';
        append_path(out, r.paths[k], paths);
      }
    }
    i += hit->first.size() + 2;
  }
  return out;
}

std::string decode_token(std::string_view token, const std::vector<std::string>& paths) {
  if (token.find(kEsc) == std::string_view::npos) return std::string(token);
  std::string out;
  size_t i = 0;
  while (i < token.size()) {
    const char c = token[i];
    if (c != kEsc || i + 1 >= token.size()) {
      out += c;
      ++i;
      continue;
    }
    const char kind = token[i + 1];
    if (kind == '(') {
      out += '{';
    } else if (kind == ')') {
      out += '}';
    } else if (kind == 'P') {
      size_t end = token.find(kEsc, i + 2);
      if (end == std::string_view::npos) throw InvalidArgument("malformed argument marker");
      size_t index = std::stoul(std::string(token.substr(i + 2, end - i - 2)));
      if (index >= paths.size()) throw InvalidArgument("malformed argument marker");
      out += paths[index];
      i = end + 1;
      continue;
    } else {
      out += kEsc;  // "\0\0"
    }
    i += 2;
  }
  return out;
}

}  // namespace tavro::rivo::core
