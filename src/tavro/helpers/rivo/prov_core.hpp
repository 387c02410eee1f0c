// Plain C++ pieces of tool provisioning: the built-in TOML writer, the Docker
// wrapper script, crash-safe file replacement and the tool-name check. No
// Python headers here; the binding layer converts Python values first.
#pragma once

#include <optional>
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

// True when `name` can name a file inside a directory without leaving it:
// not empty, not "." or "..", no '/' and no NUL.
bool is_single_path_component(std::string_view name);

// Replaces the file at `path` with `data` as a whole: a temporary file in
// the same directory is written, synced and renamed over the target, so
// readers see the old or the new content, never a mix. A symbolic link at
// `path` is followed (its target is replaced) unless `replace_link`, which
// replaces the link itself. The file keeps the old file's mode and owner,
// or gets `mode` when given (else the default creation mode). Throws
// OsError naming `path`.
void write_file_atomic(const std::string& path, std::string_view data,
                       std::optional<unsigned> mode = std::nullopt, bool replace_link = false);

// Moves a file like rename(2); across file systems it copies (mode and times
// kept) into a temporary file beside `dst`, renames that into place and only
// then removes `src`, so `dst` never exists half-written. Throws OsError.
void move_file(const std::string& src, const std::string& dst);

// Puts a finished file in place: its data is flushed to disk first, then it
// is renamed over `dst` (replacing it in one step). A crash afterwards can
// therefore never leave a truncated `dst`. Throws OsError.
void publish_file(const std::string& tmp, const std::string& dst);

}  // namespace tavro::rivo::prov
