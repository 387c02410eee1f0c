// Zenodo record links and the checksums their record's metadata publishes.
// Plain C++, no Python.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "haulix/digest.hpp"

namespace tavro::haulix {

struct RecordFile {
  std::string record;  // the record's number
  std::string name;    // the file's name as the link spells it (percent escapes kept)
};

// The record and file a link path names: "/records/<n>/files/<name>",
// "/record/<n>/files/<name>" or "/api/records/<n>/files/<name>/content".
std::optional<RecordFile> record_file(std::string_view path);

// The path of the record's metadata on the same host.
std::string record_api_path(const RecordFile& f);

// The checksum of the file `name` in the metadata `json` of its record, in
// either shape Zenodo serves: {"files": [{"key": name, "checksum":
// "md5:<hex>"}, ...]} (also with the list under "files"."entries", or a
// mapping of names there), or entries named by "filename" with a bare hex
// digest. Without one, `*why` says what was missing.
std::optional<Checksum> record_checksum(std::string_view json, const std::string& name, std::string* why);

}  // namespace tavro::haulix
