#include "haulix/resume.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>

namespace tavro::haulix {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> number(std::string_view s) {
  std::uint64_t v = 0;
  if (s.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

bool weak(const std::string& etag) { return etag.rfind("W/", 0) == 0; }

struct ContentRange {
  std::uint64_t first, last;
  std::optional<std::uint64_t> total;  // "*": unknown
};

// "bytes <first>-<last>/<total|*>"
std::optional<ContentRange> parse_content_range(std::string_view s) {
  s = trim(s);
  if (s.substr(0, 6) != "bytes ") return std::nullopt;
  s = trim(s.substr(6));
  auto dash = s.find('-'), slash = s.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return std::nullopt;
  auto first = number(s.substr(0, dash)), last = number(s.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  std::string_view t = s.substr(slash + 1);
  ContentRange r{*first, *last, std::nullopt};
  if (t != "*") {
    r.total = number(t);
    if (!r.total || *r.total <= *last) return std::nullopt;
  }
  return r;
}

}  // namespace

std::string if_range_value(const Validator& v) {
  if (!v.etag.empty() && !weak(v.etag)) return v.etag;
  return v.last_modified;
}

std::string refuse_resume(const RangeAnswer& a, std::uint64_t offset, std::optional<std::uint64_t> total,
                          const Validator& ours, std::optional<std::uint64_t>* answer_total) {
  if (a.status != 206) return "the server sent the whole body (status " + std::to_string(a.status) + ")";
  auto range = parse_content_range(a.content_range);
  if (!range) return "the partial answer has no usable Content-Range ('" + a.content_range + "')";
  if (range->first != offset)
    return "the partial answer starts at byte " + std::to_string(range->first) + ", not " +
           std::to_string(offset);
  if (!range->total) return "the partial answer gives no total length";
  if (total && *range->total != *total)
    return "the body is now " + std::to_string(*range->total) + " bytes long, not " + std::to_string(*total);
  if (range->last + 1 != *range->total) return "the partial answer stops before the end";
  if (a.length && *a.length != range->last - range->first + 1)
    return "the partial answer's Content-Length does not match its Content-Range";
  // A server that ignores If-Range must not splice another body onto ours:
  // the answer has to name the very body the bytes on disk came from.
  const bool same = !ours.etag.empty() ? a.validator.etag == ours.etag
                                       : a.validator.etag.empty() &&
                                             a.validator.last_modified == ours.last_modified;
  if (!same) return "the body changed on the server";
  *answer_total = range->total;
  return {};
}

double retry_wait(const RetryPolicy& p, int retry, std::optional<double> retry_after) {
  const double cap = std::max(0.0, p.max_wait);
  if (retry_after) return std::clamp(*retry_after, 0.0, cap);
  thread_local std::mt19937_64 gen{std::random_device{}()};
  const double scale = std::uniform_real_distribution<double>(0.5, 1.0)(gen);
  const double base = std::max(0.0, p.backoff) * std::ldexp(1.0, std::clamp(retry - 1, 0, 60));
  return std::min(base, cap) * scale;
}

std::optional<double> retry_after_seconds(std::string_view header) {
  auto n = number(trim(header));
  if (!n) return std::nullopt;
  return static_cast<double>(*n);
}

}  // namespace tavro::haulix
