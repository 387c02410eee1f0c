// Which file of the cache folder holds a link's download. Two different
// links whose paths end in the same name must never share a file, so every
// cache entry records the link it was downloaded from, in a hidden file
// beside it: ".#" + the entry's name (a sidecar rather than an extended
// attribute, which network and container file systems do not all keep). No
// cache name can take such a name: a link's path never holds '#', and names
// made from an input's key start with "download_".
//
// The first link to use a name gets the plain path <folder>/<name>; a later,
// different link with that name goes to <folder>/#<hash>/<name>, where <hash>
// is a short hash of the link. Plain C++, no Python.
#pragma once

#include <string>

namespace tavro::haulix {

struct Placement {
  std::string path;  // where the download of this link lives
  bool cached;       // something is there already: a cache hit
};

// Picks (and, on a miss, claims by writing the record) the cache path of
// `link` for the file name `name`; `link_hash` names its own subfolder.
// Claims are made under an exclusive flock on "<folder>/.#lock", so two
// links racing for one name cannot both take it. An entry without a record
// (made before links were recorded, or by hand) is taken as it is, as a hit
// for any link. Throws OsError.
Placement place(const std::string& folder, const std::string& name, const std::string& link,
                const std::string& link_hash);

}  // namespace tavro::haulix
