// Small helpers shared by every part of the local rivo command: the error type
// that carries an exit status, file reading, text helpers.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rivo {

namespace fs = std::filesystem;

// Exit statuses of the command.
inline constexpr int kExitFailure = 1;  // the operation failed (unknown tool, stale lock, ...)
inline constexpr int kExitUsage = 2;    // bad command line or unusable registry

// A failure reported as "rivo: <message>" on stderr, ending the command with `status`.
struct Failure : std::runtime_error {
  int status;
  explicit Failure(const std::string& message, int exit_status = kExitFailure)
      : std::runtime_error(message), status(exit_status) {}
};

// Whole file as bytes; throws Failure naming the path when it cannot be read.
std::string read_file(const fs::path& path);

std::string lower(std::string_view text);
std::string trim(std::string_view text);
bool starts_with(std::string_view text, std::string_view prefix);
std::vector<std::string> split_lines(std::string_view text);
std::string join(const std::vector<std::string>& parts, std::string_view sep);

// Value of an environment variable, nullopt when unset (an empty value counts as set).
std::optional<std::string> env_value(const char* name);

// Absolute path of the running rivo executable (from /proc/self/exe).
std::string self_executable();

// Text quoted for a POSIX shell with single quotes.
std::string shell_quote(std::string_view text);

// Tool and binary names become file names: letters, digits and ._+- only,
// not starting with a dot.
bool is_safe_name(std::string_view name);

// Last path component of a command or path ("/usr/bin/samtools" -> "samtools").
std::string base_name(std::string_view path);

// Message for an errno value.
std::string errno_text(int err);

}  // namespace rivo
