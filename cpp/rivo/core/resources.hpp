// What a tool needs (CPUs, memory, a time limit) as a manifest's "resources"
// entry or a tool definition gives it, and the note added to a failed run's
// error when the tool was killed for memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro::rivo {

// "4 GiB", "512MiB", "1.5 G", "64 mb" -> bytes, rounded up. The number is an
// integer or a decimal; the unit (any case) is one of B, K/KB/KiB, M/MB/MiB,
// G/GB/GiB, T/TB/TiB, all powers of 1024 as SLURM and Docker read them.
// A bare number is refused: SLURM would read it as MiB and Docker as bytes.
// Nothing, zero, or beyond 2^62 bytes: nullopt.
std::optional<std::uint64_t> parse_memory(std::string_view text);

// "90s", "30m", "2h", "1d", "1h30m" (units d, h, m, s, each at most once, in
// that order) or "HH:MM:SS" -> seconds. Zero or malformed: nullopt.
std::optional<std::uint64_t> parse_time(std::string_view text);

// The resources of one run, each as written and as a number.
struct Resources {
  std::optional<double> cpus;
  std::string cpus_text;  // "2", "1.5": as Python's str() spells the number
  std::string memory;     // "" when not given
  std::uint64_t memory_bytes = 0;
  std::string time;
  std::uint64_t time_seconds = 0;
  bool empty() const { return !cpus && memory.empty() && time.empty(); }
};

// The limit named by rivo's out-of-memory line ("rivo: out of memory: the
// tool was killed at its memory limit of 64 MiB") in a run's standard error,
// or nullopt when there is no such line. A line without the limit's wording
// gives `fallback`.
std::optional<std::string> oom_limit(std::string_view stderr_text, std::string_view fallback = {});

// The line added to a run's error text when the tool was killed for memory
// (`limit` as written; "" when nothing names it).
std::string oom_note(std::string_view limit);

// The line added when the scheduler ended the job at its time limit.
std::string time_limit_note(std::string_view limit);

// The line a failed command's error text gains: the out-of-memory note when
// its standard error holds rivo's out-of-memory line, else what the engine
// that ran it said (ExecResult::note), else "".
std::string failure_note(std::string_view stderr_text, const std::string& engine_note);

}  // namespace tavro::rivo
