#include "rivo/core/resources.hpp"

#include <array>
#include <cctype>
#include <cmath>

namespace tavro::rivo {
namespace {

constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 62;
constexpr std::string_view kOomPrefix = "rivo: out of memory:";
constexpr std::string_view kLimitWords = "memory limit of ";

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Power of 1024 of a memory unit, or -1.
int unit_power(std::string_view unit) {
  static const std::array<std::array<const char*, 3>, 5> names = {{
      {"b", "", ""}, {"k", "kb", "kib"}, {"m", "mb", "mib"}, {"g", "gb", "gib"}, {"t", "tb", "tib"}}};
  std::string u = lower(unit);
  for (std::size_t p = 0; p < names.size(); ++p)
    for (const char* n : names[p])
      if (*n && u == n) return static_cast<int>(p);
  return -1;
}

}  // namespace

std::optional<std::uint64_t> parse_memory(std::string_view text) {
  std::string_view s = trim(text);
  std::size_t i = 0;
  while (i < s.size() && is_digit(s[i])) ++i;
  std::size_t int_digits = i;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
    if (frac_digits == 0) return std::nullopt;
  }
  if (int_digits == 0 || int_digits > 15 || frac_digits > 9) return std::nullopt;
  std::string_view number = s.substr(0, i);
  int power = unit_power(trim(s.substr(i)));
  if (power < 0) return std::nullopt;
  // Integer arithmetic on the decimal digits: no rounding surprises.
  std::uint64_t whole = 0, frac = 0, scale = 1;
  for (std::size_t k = 0; k < int_digits; ++k) whole = whole * 10 + static_cast<unsigned>(number[k] - '0');
  for (std::size_t k = int_digits + 1; k < number.size(); ++k) {
    frac = frac * 10 + static_cast<unsigned>(number[k] - '0');
    scale *= 10;
  }
  const std::uint64_t factor = std::uint64_t{1} << (10 * power);
  if (whole > kMaxBytes / factor) return std::nullopt;
  std::uint64_t bytes = whole * factor;
  // frac / scale of factor, rounded up, without a product that could
  // overflow: factor = hi * scale + lo, and frac < scale.
  const std::uint64_t hi = factor / scale, lo = factor % scale;
  const std::uint64_t part = frac * hi + (frac * lo + scale - 1) / scale;
  if (part > kMaxBytes - bytes) return std::nullopt;
  bytes += part;
  if (bytes == 0) return std::nullopt;
  return bytes;
}

std::optional<std::uint64_t> parse_time(std::string_view text) {
  std::string_view s = trim(text);
  if (s.empty()) return std::nullopt;
  auto number = [&s](std::size_t& i, std::uint64_t& value) {
    std::size_t start = i;
    value = 0;
    while (i < s.size() && is_digit(s[i]) && i - start < 9) value = value * 10 + static_cast<unsigned>(s[i++] - '0');
    return i > start && (i == s.size() || !is_digit(s[i]));
  };
  std::uint64_t total = 0;
  if (s.find(':') != std::string_view::npos) {
    // HH:MM:SS, hours unbounded, minutes and seconds two digits below 60.
    std::size_t i = 0;
    std::uint64_t h, m, sec;
    if (!number(i, h) || i >= s.size() || s[i++] != ':') return std::nullopt;
    std::size_t m_at = i;
    if (!number(i, m) || i - m_at != 2 || m > 59 || i >= s.size() || s[i++] != ':') return std::nullopt;
    std::size_t s_at = i;
    if (!number(i, sec) || i - s_at != 2 || sec > 59 || i != s.size()) return std::nullopt;
    total = h * 3600 + m * 60 + sec;
  } else {
    static const std::array<std::pair<char, std::uint64_t>, 4> units = {
        {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}}};
    std::size_t i = 0, next_unit = 0;
    while (i < s.size()) {
      std::uint64_t v;
      if (!number(i, v) || i >= s.size()) return std::nullopt;
      char u = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i++])));
      std::size_t k = next_unit;
      while (k < units.size() && units[k].first != u) ++k;
      if (k == units.size()) return std::nullopt;  // unknown, repeated or out of order
      total += v * units[k].second;
      next_unit = k + 1;
    }
  }
  if (total == 0) return std::nullopt;
  return total;
}

std::optional<std::string> oom_limit(std::string_view stderr_text, std::string_view fallback) {
  std::size_t at = 0;
  while (at <= stderr_text.size()) {
    std::size_t end = stderr_text.find('\n', at);
    if (end == std::string_view::npos) end = stderr_text.size();
    std::string_view line = stderr_text.substr(at, end - at);
    if (line.substr(0, kOomPrefix.size()) == kOomPrefix) {
      std::size_t words = line.find(kLimitWords);
      if (words == std::string_view::npos) return std::string(fallback);
      return std::string(trim(line.substr(words + kLimitWords.size())));
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::string oom_note(std::string_view limit) {
  const std::string at = limit.empty() ? "its memory limit" : "its limit of " + std::string(limit);
  return "The tool ran out of memory at " + at + "; raise \"memory\" in its resources.";
}

std::string time_limit_note(std::string_view limit) {
  return "The job reached its time limit of " + std::string(limit) + " on the cluster; raise \"time\" in its resources.";
}

std::string failure_note(std::string_view stderr_text, const std::string& engine_note) {
  if (auto limit = oom_limit(stderr_text)) return oom_note(*limit);
  return engine_note;
}

}  // namespace tavro::rivo
