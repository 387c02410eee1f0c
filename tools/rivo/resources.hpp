// What a tool needs of the machine: the [resources] table of its definition
//
//     [resources]
//     cpus = 2            # a number, may be fractional
//     memory = "4 GiB"    # integer or decimal and a unit: B, KiB, MiB, GiB, TiB
//                         # (K, M, G, T, KB, MB, GB, TB too: all powers of 1024)
//     time = "2h"         # "90s", "30m", "2h", "1d", "1h30m" or "HH:MM:SS"
//
// and the RIVO_CPUS, RIVO_MEMORY and RIVO_TIME overrides of one `rivo exec`
// (same text forms), which win over the definition.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace rivo {

struct Resources {
  std::optional<double> cpus;
  bool cpus_integer = false;   // written as an integer (shown as one)
  std::string memory;          // as written, e.g. "4 GiB"; empty: none
  std::uint64_t memory_bytes = 0;
  std::string time;            // as written, e.g. "1h30m"; empty: none
  std::uint64_t time_seconds = 0;

  bool any() const { return cpus || !memory.empty() || !time.empty(); }
  // "cpus 2, memory 4 GiB, time 2h": the declared values, for messages.
  std::string summary() const;
  // The `show --format json` object: the values as written, then
  // "memory_bytes" and "time_seconds".
  nlohmann::ordered_json to_json() const;
};

// The value grammars; each throws std::invalid_argument with a sentence
// saying what is wrong (the caller adds the file and key, or the variable).
double parse_cpus(double value);
double parse_cpus_text(std::string_view text);
std::uint64_t parse_memory(std::string_view text);
std::uint64_t parse_time(std::string_view text);

// `base` with RIVO_CPUS / RIVO_MEMORY / RIVO_TIME applied (an empty variable
// counts as unset). Throws Failure (exit status 2) naming a bad variable.
Resources with_overrides(Resources base);

// `value` in its shortest form: 2, 0.5, 1.25.
std::string number_text(double value);

// The --cpus value for a container: `cpus` in its shortest form, at most
// the CPUs this machine has (Docker refuses more), with `clamped` set then.
std::string container_cpus(double cpus, bool& clamped);

}  // namespace rivo
