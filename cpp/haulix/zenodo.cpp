#include "haulix/zenodo.hpp"

#include <nlohmann/json.hpp>

#include <regex>

namespace tavro::haulix {
namespace {

using json = nlohmann::json;

// The entry of `name` among the record's files: a list of entries named by
// "key" or "filename", or a mapping from names to entries.
const json* entry_named(const json& files, const std::string& name) {
  const json& entries = files.is_object() && files.contains("entries") ? files["entries"] : files;
  if (entries.is_array()) {
    for (const json& e : entries) {
      if (!e.is_object()) continue;
      for (const char* field : {"key", "filename"}) {
        auto it = e.find(field);
        if (it != e.end() && it->is_string() && it->get_ref<const std::string&>() == name) return &e;
      }
    }
  } else if (entries.is_object()) {
    auto it = entries.find(name);
    if (it != entries.end() && it->is_object()) return &*it;
  }
  return nullptr;
}

}  // namespace

std::optional<RecordFile> record_file(std::string_view path) {
  static const std::regex pattern("/(?:api/)?records?/([0-9]+)/files/([^/]+)(?:/content)?");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_match(path.begin(), path.end(), m, pattern)) return std::nullopt;
  return RecordFile{m[1].str(), m[2].str()};
}

std::string record_api_path(const RecordFile& f) { return "/api/records/" + f.record; }

std::optional<Checksum> record_checksum(std::string_view text, const std::string& name, std::string* why) {
  json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    *why = "the metadata is not a JSON object";
    return std::nullopt;
  }
  auto files = doc.find("files");
  const json* entry = files == doc.end() ? nullptr : entry_named(*files, name);
  if (!entry) {
    *why = "the metadata lists no file " + name;
    return std::nullopt;
  }
  auto sum = entry->find("checksum");
  if (sum == entry->end()) {
    *why = "the metadata gives no checksum for " + name;
    return std::nullopt;
  }
  std::optional<Checksum> c = sum->is_string() ? parse_checksum(sum->get_ref<const std::string&>())
                                               : std::nullopt;
  if (!c) *why = "the metadata's checksum of " + name + " is not one this library can check";
  return c;
}

}  // namespace tavro::haulix
