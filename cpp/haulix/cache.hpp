// Which file of the cache folder holds a link's download, and what is known
// about it. Two different links whose paths end in the same name must never
// share a file, so every cache entry has a record in a hidden file beside it:
// ".#" + the entry's name (a sidecar rather than an extended attribute, which
// network and container file systems do not all keep). The record names the
// link; once the download is complete also the entry's size and time and,
// when it was verified, its checksum; while a download is under way the
// validator and length of the body its part file (".part#" + the name) holds.
//
// Hidden names cannot collide with cache names: a link's path never holds
// '#', and names made from an input's key start with "download_". The folder
// lock is ".lock#", which no record takes (records made by earlier versions
// hold only the link, as text; they are read as before).
//
// The first link to use a name gets the plain path <folder>/<name>; a later,
// different link with that name goes to <folder>/#<hash>/<name>, where <hash>
// is a short hash of the link. Records, part files and the lock are never
// opened through a symbolic link: a link planted at a record's name is no
// record (and is replaced by one), and one at the lock's name is an error.
// Plain C++, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "haulix/digest.hpp"
#include "haulix/resume.hpp"

namespace tavro::haulix {

// A download under way: what the bytes in the part file belong to.
struct PartInfo {
  Validator validator;
  std::optional<std::uint64_t> total;
};

struct Record {
  std::string link;
  std::optional<Checksum> checksum;     // verified content
  std::optional<std::uint64_t> size;    // the entry as it was published
  std::optional<std::int64_t> mtime_ns;
  std::optional<PartInfo> part;
};

struct Placement {
  std::string path;         // where the download of this link lives
  std::string record_path;  // its record
  std::string part_path;    // its resumable part file
  bool cached;              // something is there already: a cache hit
  std::optional<Record> record;  // this link's record, when it has one
};

// Picks (and, on a miss, claims by writing the record) the cache path of
// `link` for the file name `name`; `link_hash` names its own subfolder.
// Claims are made under an exclusive flock on "<folder>/.lock#", so two
// links racing for one name cannot both take it. An entry without a record
// (made by hand, or with a record that cannot be read) is taken as it is,
// as a hit for any link. Throws OsError.
Placement place(const std::string& folder, const std::string& name, const std::string& link,
                const std::string& link_hash);

// Replaces the record at `path` (never through a symbolic link). Throws OsError.
void write_record(const std::string& path, const Record& r);

}  // namespace tavro::haulix
