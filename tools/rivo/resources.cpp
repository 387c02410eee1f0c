#include "resources.hpp"

#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "util.hpp"

namespace rivo {
namespace {

constexpr std::uint64_t kMaxBytes = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits at `pos` as a number; false on overflow or when there are none.
bool read_uint(std::string_view text, size_t& pos, std::uint64_t& out) {
  size_t start = pos;
  out = 0;
  while (pos < text.size() && is_digit(text[pos])) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - '0');
    if (out > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    out = out * 10 + digit;
    ++pos;
  }
  return pos > start;
}

void skip_spaces(std::string_view text, size_t& pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
}

std::uint64_t unit_factor(const std::string& unit) {
  static const std::pair<const char*, std::uint64_t> kUnits[] = {
      {"b", 1},
      {"k", 1ULL << 10}, {"kb", 1ULL << 10}, {"kib", 1ULL << 10},
      {"m", 1ULL << 20}, {"mb", 1ULL << 20}, {"mib", 1ULL << 20},
      {"g", 1ULL << 30}, {"gb", 1ULL << 30}, {"gib", 1ULL << 30},
      {"t", 1ULL << 40}, {"tb", 1ULL << 40}, {"tib", 1ULL << 40},
  };
  for (const auto& [name, factor] : kUnits)
    if (unit == name) return factor;
  return 0;
}

[[noreturn]] void bad(const std::string& why) { throw std::invalid_argument(why); }

}  // namespace

std::string number_text(double value) {
  std::array<char, 64> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  return std::string(buf.data(), res.ptr);
}

double parse_cpus(double value) {
  if (!std::isfinite(value) || value <= 0) bad("must be a number of CPUs above 0, such as 2 or 0.5");
  return value;
}

double parse_cpus_text(std::string_view text) {
  std::string t = trim(text);
  double value = 0;
  auto res = std::from_chars(t.data(), t.data() + t.size(), value);
  if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size())
    bad("must be a number of CPUs above 0, such as 2 or 0.5");
  return parse_cpus(value);
}

std::uint64_t parse_memory(std::string_view text) {
  static const char* kForm = "a size with a unit, such as \"4 GiB\" or \"512 MiB\" (B, KiB, MiB, GiB, TiB)";
  const std::string t = trim(text);
  size_t pos = 0;
  std::uint64_t whole = 0;
  if (!read_uint(t, pos, whole)) bad("must be " + std::string(kForm));
  std::string frac_digits;
  if (pos < t.size() && t[pos] == '.') {
    ++pos;
    while (pos < t.size() && is_digit(t[pos])) frac_digits += t[pos++];
    if (frac_digits.empty()) bad("must be " + std::string(kForm));
  }
  skip_spaces(t, pos);
  std::string unit = lower(t.substr(pos));
  if (unit.empty()) bad("needs a unit, such as \"4 GiB\" or \"512 MiB\" (B, KiB, MiB, GiB, TiB)");
  std::uint64_t factor = unit_factor(unit);
  if (!factor) bad("has an unknown unit '" + t.substr(pos) + "' (B, KiB, MiB, GiB, TiB)");
  if (whole > kMaxBytes / factor) bad("is too large");
  std::uint64_t bytes = whole * factor;
  if (!frac_digits.empty()) {
    long double frac = std::stold("0." + frac_digits);
    bytes += static_cast<std::uint64_t>(std::floor(frac * static_cast<long double>(factor)));
  }
  if (bytes > kMaxBytes) bad("is too large");
  if (bytes == 0) bad("must be more than 0 bytes");
  return bytes;
}

std::uint64_t parse_time(std::string_view text) {
  static const char* kForm = "a duration such as \"90s\", \"30m\", \"2h\", \"1d\", \"1h30m\" or \"HH:MM:SS\"";
  const std::string t = trim(text);
  std::uint64_t total = 0;
  auto add = [&total](std::uint64_t amount, std::uint64_t unit) {
    if (amount > (std::numeric_limits<std::uint32_t>::max() - total) / unit) bad("is too long");
    total += amount * unit;
  };
  size_t pos = 0;
  if (t.find(':') != std::string::npos) {
    std::uint64_t part[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
      if (i > 0) {
        if (pos >= t.size() || t[pos] != ':') bad("must be " + std::string(kForm));
        ++pos;
      }
      size_t start = pos;
      if (!read_uint(t, pos, part[i]) || (i > 0 && pos - start != 2)) bad("must be " + std::string(kForm));
    }
    if (pos != t.size() || part[1] >= 60 || part[2] >= 60) bad("must be " + std::string(kForm));
    add(part[0], 3600);
    add(part[1], 60);
    add(part[2], 1);
  } else {
    // Groups of a number and a unit, largest unit first, each at most once.
    static const std::pair<char, std::uint64_t> kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
    size_t next_unit = 0;
    bool any = false;
    while (true) {
      skip_spaces(t, pos);
      if (pos == t.size()) break;
      std::uint64_t amount = 0;
      if (!read_uint(t, pos, amount)) bad("must be " + std::string(kForm));
      if (pos == t.size()) bad("needs a unit: " + std::string(kForm));
      char u = static_cast<char>(std::tolower(static_cast<unsigned char>(t[pos++])));
      size_t k = next_unit;
      while (k < std::size(kUnits) && kUnits[k].first != u) ++k;
      if (k == std::size(kUnits)) bad("must be " + std::string(kForm));
      add(amount, kUnits[k].second);
      next_unit = k + 1;
      any = true;
    }
    if (!any) bad("must be " + std::string(kForm));
  }
  if (total == 0) bad("must be longer than 0 seconds");
  return total;
}

std::string Resources::summary() const {
  std::vector<std::string> parts;
  if (cpus) parts.push_back("cpus " + number_text(*cpus));
  if (!memory.empty()) parts.push_back("memory " + memory);
  if (!time.empty()) parts.push_back("time " + time);
  return join(parts, ", ");
}

nlohmann::ordered_json Resources::to_json() const {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (cpus) {
    if (cpus_integer) j["cpus"] = static_cast<std::int64_t>(*cpus);
    else j["cpus"] = *cpus;
  }
  if (!memory.empty()) j["memory"] = memory;
  if (!time.empty()) j["time"] = time;
  if (!memory.empty()) j["memory_bytes"] = memory_bytes;
  if (!time.empty()) j["time_seconds"] = time_seconds;
  return j;
}

Resources with_overrides(Resources base) {
  auto value_of = [](const char* name) -> std::optional<std::string> {
    auto v = env_value(name);
    if (!v || trim(*v).empty()) return std::nullopt;
    return v;
  };
  try {
    if (auto v = value_of("RIVO_CPUS")) {
      base.cpus = parse_cpus_text(*v);
      base.cpus_integer = std::floor(*base.cpus) == *base.cpus;
    }
  } catch (const std::invalid_argument& e) {
    throw Failure("RIVO_CPUS=" + *env_value("RIVO_CPUS") + ": " + e.what(), kExitUsage);
  }
  try {
    if (auto v = value_of("RIVO_MEMORY")) {
      base.memory_bytes = parse_memory(*v);
      base.memory = trim(*v);
    }
  } catch (const std::invalid_argument& e) {
    throw Failure("RIVO_MEMORY=" + *env_value("RIVO_MEMORY") + ": " + e.what(), kExitUsage);
  }
  try {
    if (auto v = value_of("RIVO_TIME")) {
      base.time_seconds = parse_time(*v);
      base.time = trim(*v);
    }
  } catch (const std::invalid_argument& e) {
    throw Failure("RIVO_TIME=" + *env_value("RIVO_TIME") + ": " + e.what(), kExitUsage);
  }
  return base;
}

std::string container_cpus(double cpus, bool& clamped) {
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  clamped = online > 0 && cpus > static_cast<double>(online);
  return number_text(clamped ? static_cast<double>(online) : cpus);
}

}  // namespace rivo
