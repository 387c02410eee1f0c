// toml++ in header-only mode. Debian ships the header as toml++/toml.h, the
// upstream single header is toml++/toml.hpp; either will do.
#pragma once

#ifndef TOML_HEADER_ONLY
#define TOML_HEADER_ONLY 1
#endif

#if __has_include(<toml++/toml.hpp>)
#include <toml++/toml.hpp>
#else
#include <toml++/toml.h>
#endif

#include <algorithm>
#include <utility>
#include <vector>

namespace rivo {

// Entries of a parsed table in the order they appear in the file (toml++
// keeps tables sorted by key). Entries made in memory sort last, by key.
inline std::vector<std::pair<const toml::key*, const toml::node*>> in_file_order(const toml::table& tbl) {
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (auto&& [k, v] : tbl) entries.emplace_back(&k, &v);
  auto pos = [](const toml::key* k) {
    const auto& b = k->source().begin;
    unsigned line = b.line ? b.line : ~0u;
    return std::pair<unsigned, unsigned>(line, b.column);
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) { return pos(a.first) < pos(b.first); });
  return entries;
}

}  // namespace rivo
