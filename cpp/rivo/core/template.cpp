// The template is split shell-style after substitution, so a value pasted in
// as text would be split too ("my reads.fq"), could open a quote ("it's.fq"),
// pose as an option ("-o") or a redirection ("x > o"), or look like another
// placeholder ("{b}.fq"). Values therefore go in masked: a path as a marker
// that the split keeps whole, braces and NULs as escapes; the split tokens
// are decoded after.
#include "rivo/core/template.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/core/shell_split.hpp"

namespace tavro::rivo {
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

// The output slot a "> target" names: the slot itself, or "./slot" as a
// slot name starting with '-' is substituted.
std::optional<std::string> slot_named(const std::string& target, const std::unordered_set<std::string>& out_slots) {
  if (out_slots.count(target)) return target;
  if (target.size() > 2 && target.compare(0, 2, "./") == 0 && target[2] == '-' && out_slots.count(target.substr(2)))
    return target.substr(2);
  return std::nullopt;
}

bool staged_slot(const Staged& staged, const std::string& slot) {
  for (const auto& s : staged)
    if (s.slot == slot) return true;
  return false;
}

bool output_slot(const RunPlan& plan, const std::string& slot) {
  for (const auto& o : plan.outputs)
    if (o.name == slot) return true;
  return false;
}

}  // namespace

std::string path_argument(std::string_view name) {
  if (!name.empty() && name[0] == '-') return "./" + std::string(name);
  return std::string(name);
}

std::vector<std::string> positional_arguments(const Staged& staged) {
  std::vector<std::string> out;
  for (const auto& s : staged)
    for (const auto& p : s.paths) out.push_back(path_argument(fs::final_component(p)));
  return out;
}

Placeholders placeholders(const RunPlan& plan, const Staged& staged) {
  Placeholders table;
  for (const auto& s : staged) {
    Replacement r;
    for (const auto& p : s.paths) r.paths.push_back(fs::final_component(p));
    table.emplace_back(s.slot, std::move(r));
  }
  for (const auto& o : plan.outputs) {
    Replacement r{{o.name}, std::nullopt};
    auto same = std::find_if(table.begin(), table.end(), [&](const auto& e) { return e.first == o.name; });
    if (same != table.end())
      same->second = std::move(r);
    else
      table.emplace_back(o.name, std::move(r));
  }
  for (const auto& in : plan.inputs) {
    if (staged_slot(staged, in.slot) || output_slot(plan, in.slot)) continue;
    if (in.kind == InputSlot::Kind::Scalar) {
      table.emplace_back(in.slot, Replacement{{}, in.text});
    } else if (in.kind == InputSlot::Kind::Text) {
      // A string naming a path that was not staged is no scalar either.
      if (!in.sources.empty() && fs::exists(in.sources[0])) continue;
      table.emplace_back(in.slot, Replacement{{}, in.text});
    }
  }
  return table;
}

std::string substitute(std::string_view tmpl, const Placeholders& table, std::vector<std::string>& paths) {
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

// The placeholder pattern is \{[^}]+\}. Braces are ASCII, so matching on
// UTF-8 bytes agrees with matching on code points.
bool is_placeholder(std::string_view tok) {
  if (tok.size() < 3 || tok.front() != '{' || tok.back() != '}') return false;
  return tok.substr(1, tok.size() - 2).find('}') == std::string_view::npos;
}

bool has_placeholder(std::string_view tok) {
  for (size_t i = tok.find('{'); i != std::string_view::npos; i = tok.find('{', i + 1)) {
    size_t close = tok.find('}', i + 1);
    if (close == std::string_view::npos) return false;  // no later '{' can close either
    if (close > i + 1) return true;
  }
  return false;
}

Arguments filter_tokens(const std::vector<std::string>& tokens, const std::unordered_set<std::string>& out_slots,
                        const std::vector<std::string>& paths) {
  static const std::unordered_set<std::string> kRedirections = {">", "<", "2>", ">>", "2>>"};
  Arguments r;
  size_t i = 0;
  while (i < tokens.size()) {
    const std::string& tok = tokens[i];
    if (kRedirections.count(tok)) {
      if (tok == ">" && i + 1 < tokens.size())
        if (auto slot = slot_named(decode_token(tokens[i + 1], paths), out_slots)) r.capture_slot = *slot;
      i += 2;
    } else if (is_placeholder(tok)) {
      // The option in front of a missing value goes too: "-x {missing}".
      if (!r.clean.empty() && !r.clean.back().empty() && r.clean.back()[0] == '-') r.clean.pop_back();
      ++i;
    } else if (has_placeholder(tok)) {
      ++i;
    } else {
      r.clean.push_back(decode_token(tok, paths));
      ++i;
    }
  }
  return r;
}

Arguments build_arguments(const RunPlan& plan, const Staged& staged) {
  Arguments args;
  if (!plan.args_template.empty()) {
    std::vector<std::string> paths;
    std::string substituted = substitute(plan.args_template, placeholders(plan, staged), paths);
    std::vector<std::string> tokens;
    if (!substituted.empty()) tokens = shell_split(substituted);
    std::unordered_set<std::string> slots;
    for (const auto& o : plan.outputs) slots.insert(o.name);
    args = filter_tokens(tokens, slots, paths);
  }
  if (args.clean.empty() && !staged.empty()) args.clean = positional_arguments(staged);
  // Templates that start with the executable's name.
  const std::string base = fs::final_component(plan.entrypoint);
  if (!args.clean.empty() && (args.clean[0] == plan.entrypoint || args.clean[0] == base))
    args.clean.erase(args.clean.begin());
  return args;
}

}  // namespace tavro::rivo
