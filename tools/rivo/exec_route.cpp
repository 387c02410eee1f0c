#include "exec_route.hpp"

#include <algorithm>
#include <cctype>

namespace rivo {
namespace {

// The LINE of `SHELL [-opts] -c LINE ...`, or nullptr.
const std::string* shell_line(const std::vector<std::string>& argv) {
  if (argv.empty() || !is_shell(argv[0])) return nullptr;
  for (size_t i = 1; i + 1 < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') return nullptr;
    if (a.find('c') != std::string::npos) return &argv[i + 1];
  }
  return nullptr;
}

bool is_assignment(const std::string& word) {
  size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq),
                     [](char c) { return c == '_' || std::isalnum(static_cast<unsigned char>(c)); });
}

bool is_prefix_word(const std::string& word) {
  static const char* prefixes[] = {"exec", "env", "time", "nohup", "command", "builtin", "nice", "then",
                                   "do", "else", "!", "{", "if", "while", "until"};
  return std::any_of(std::begin(prefixes), std::end(prefixes), [&](const char* p) { return word == p; });
}

}  // namespace

bool is_shell(const std::string& exe) {
  static const char* shells[] = {"sh", "bash", "dash", "zsh", "ksh", "ash"};
  std::string base = base_name(exe);
  return std::any_of(std::begin(shells), std::end(shells), [&](const char* s) { return base == s; });
}

std::vector<std::string> line_commands(const std::string& line) {
  std::vector<std::string> out;
  bool at_command = true;
  std::string word;
  auto finish = [&]() {
    if (word.empty()) return;
    if (at_command && !is_assignment(word) && !is_prefix_word(word) && word[0] != '-') {
      out.push_back(base_name(word));
      at_command = false;
    }
    word.clear();
  };
  for (char c : line) {
    if (c == ';' || c == '&' || c == '|' || c == '(' || c == ')' || c == '\n') {
      finish();
      at_command = true;
    } else if (c == ' ' || c == '\t') {
      finish();
    } else if (c != '\'' && c != '"' && c != '\\') {
      word += c;
    }
  }
  finish();
  return out;
}

const LockedTool* route_command(const std::vector<LockedTool>& tools, const std::vector<std::string>& argv) {
  if (argv.empty()) return nullptr;
  if (const LockedTool* t = route(tools, argv[0])) return t;
  if (const std::string* line = shell_line(argv))
    for (const auto& command : line_commands(*line))
      if (const LockedTool* t = route(tools, command)) return t;
  return nullptr;
}

const LockedTool& sole_image_tool(const std::vector<LockedTool>& tools, const std::vector<std::string>& argv) {
  bool one_image = std::all_of(tools.begin(), tools.end(), [&](const LockedTool& t) {
    return t.image_reference == tools.front().image_reference;
  });
  if (one_image) return tools.front();
  std::vector<std::string> names;
  for (const auto& t : tools) names.push_back(t.name);
  const std::string* line = shell_line(argv);
  std::string what = line ? "the line '" + *line + "'" : "'" + argv[0] + "'";
  throw Failure("cannot tell which tool's image should run " + what + ": no locked tool provides " +
                (line ? "any of its commands" : "it") + " and the tools (" + join(names, ", ") +
                ") have different images; run a binary of the tool (see 'rivo list --binaries')");
}

}  // namespace rivo
