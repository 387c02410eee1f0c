// The rules by which a download goes on after a failure: which answer to a
// range request may be appended to what is already on disk, and how long to
// wait before the next attempt. Plain C++, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro::haulix {

// What identifies the body the bytes on disk came from: the first answer's
// ETag and Last-Modified header (either may be empty).
struct Validator {
  std::string etag;
  std::string last_modified;

  bool operator==(const Validator&) const = default;
};

// The If-Range value that asks for the rest of the same body: the ETag when
// it is a strong one (a weak ETag may not be used there), else the
// Last-Modified date; empty when the body cannot be asked for again safely.
std::string if_range_value(const Validator& v);

// The headers of an answer to "Range: bytes=<offset>-" that matter here.
struct RangeAnswer {
  int status = 0;
  std::string content_range;             // empty when absent
  Validator validator;                   // of the answer
  std::optional<std::uint64_t> length;   // its Content-Length
};

// Why the answer cannot be appended at `offset` to a body of `total` bytes
// (unknown when the first answer announced no length) with validator
// `ours`, or an empty string when it can. A 206 is appended only when its
// Content-Range starts at `offset`, runs to the end and has the same total,
// and it carries the same validator (the same ETag, or without ETags the
// same Last-Modified); anything else means the body is fetched again from
// the start. `*answer_total` receives the
// total the answer announced.
std::string refuse_resume(const RangeAnswer& a, std::uint64_t offset, std::optional<std::uint64_t> total,
                          const Validator& ours, std::optional<std::uint64_t>* answer_total);

// When to try again.
struct RetryPolicy {
  int retries = 5;         // attempts after the first
  double backoff = 1.0;    // the first wait, doubled for each further retry
  double max_wait = 60.0;  // cap of every wait, Retry-After included
};

// Seconds before retry number `retry` (1 for the first): backoff * 2^(retry-1)
// capped at max_wait, scaled by a random factor in [0.5, 1) so that callers
// that failed together do not come back together. `retry_after`, the wait a
// server asked for, replaces it (still capped).
double retry_wait(const RetryPolicy& p, int retry, std::optional<double> retry_after);

// A Retry-After header given in seconds ("120"); an HTTP date or anything
// else yields nothing here.
std::optional<double> retry_after_seconds(std::string_view header);

}  // namespace tavro::haulix
