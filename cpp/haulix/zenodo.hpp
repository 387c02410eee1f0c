// Zenodo record links and the checksums their record's metadata publishes.
// Plain C++, no Python.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A file a record's metadata lists: its name ("key", or "filename" in the
// older deposit form) and the text of its checksum, when it has one.
struct ListedFile {
  std::string name;
  std::optional<std::string> checksum;
};

// The checksum of the file `name` among the record's files, in either form
// Zenodo serves: "md5:<hex>" or a bare hex digest. Without one, `*why` says
// what was missing.
std::optional<Checksum> record_checksum(const std::vector<ListedFile>& files, const std::string& name,
                                        std::string* why);

}  // namespace tavro::haulix
