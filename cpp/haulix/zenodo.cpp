#include "haulix/zenodo.hpp"

#include <regex>

namespace tavro::haulix {
std::optional<RecordFile> record_file(std::string_view path) {
  static const std::regex pattern("/(?:api/)?records?/([0-9]+)/files/([^/]+)(?:/content)?");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_match(path.begin(), path.end(), m, pattern)) return std::nullopt;
  return RecordFile{m[1].str(), m[2].str()};
}

std::string record_api_path(const RecordFile& f) { return "/api/records/" + f.record; }

std::optional<Checksum> record_checksum(const std::vector<ListedFile>& files, const std::string& name,
                                        std::string* why) {
  for (const ListedFile& f : files) {
    if (f.name != name) continue;
    if (!f.checksum) {
      *why = "the metadata gives no checksum for " + name;
      return std::nullopt;
    }
    std::optional<Checksum> c = parse_checksum(*f.checksum);
    if (!c) *why = "the metadata's checksum of " + name + " is not one this library can check";
    return c;
  }
  *why = "the metadata lists no file " + name;
  return std::nullopt;
}

}  // namespace tavro::haulix
