// Plain C++ pieces of tool provisioning: the built-in TOML writer, the Docker
// wrapper script and the tool-name check. No
// Python headers here; the binding layer converts Python values first.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavro::rivo::prov {

// A TOML value, already reduced to what the writer needs: literals (numbers,
// booleans, dates) carry their final text, strings their raw UTF-8 content.
struct TomlValue {
  enum class Kind { Literal, String, Array, Table };
  Kind kind = Kind::Literal;
  std::string text;                // Literal: written as is; String: content
  std::vector<TomlValue> items;    // Array elements, or Table values
  std::vector<std::string> keys;   // Table keys (raw UTF-8), parallel to items

  static TomlValue literal(std::string t) { return {Kind::Literal, std::move(t), {}, {}}; }
  static TomlValue string(std::string t) { return {Kind::String, std::move(t), {}, {}}; }
  static TomlValue array() { return {Kind::Array, {}, {}, {}}; }
  static TomlValue table() { return {Kind::Table, {}, {}, {}}; }
};

// A basic string with the escapes TOML requires (backslash, double quote and
// every control character except tab).
std::string toml_string(std::string_view s);
// A key: bare when made of ASCII letters, digits, '-' and '_', else quoted.
std::string toml_key(std::string_view k);
// A value on one line: arrays as [a, b], tables as inline tables.
std::string toml_inline(const TomlValue& v);
// A whole document from a root table: scalars of each table first, then its
// sub-tables under full dotted headers; the top level has no header.
std::string toml_document(const TomlValue& root);

// The bash wrapper that forces host networking on `docker run` and hands
// every other command to the real executable at `real_docker`.
std::string docker_wrapper_script(const std::string& real_docker);

// ------------------------------------------------------------ image cache

// A temporary name for one save of the archive `tar`, unique to the call:
// "<tar>.<12 random hex digits>.tmp", so concurrent saves (threads,
// processes, machines sharing the volume) never write into one file.
std::string archive_temp_path(const std::string& tar);

// Puts a finished temporary archive in place: its data synced, then renamed
// onto `tar` unless an archive is already there (another save finished
// first: the temporary file is removed and false returned; a finished
// archive is never replaced, as a reader may be loading it). Throws OsError.
bool publish_archive(const std::string& tmp, const std::string& tar);

// Removes temporary archives of `tar` ("<tar>.*.tmp" beside it) left by
// saves that died: those not modified for `max_age` seconds, longer than a
// save may run. Best effort; returns the paths removed.
std::vector<std::string> remove_stale_archive_temps(const std::string& tar, double max_age);

}  // namespace tavro::rivo::prov
