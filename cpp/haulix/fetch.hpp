// The plain C++ side of the remote input fetcher: the Dropbox link rewrite,
// cache names that always stay inside the cache folder, and the file a
// download is streamed into before it is published under its cache name.
#pragma once

#include <cstdint>
#include <string>

namespace tavro::haulix {

// The direct-download form of a Dropbox share link: every "?dl=0" / "&dl=0"
// is deleted, then "&dl=1" is appended when a '?' remains, else "?dl=1".
// When the deleted "?dl=0" opened the query and other parameters follow, the
// first '&' after it becomes the new '?' so the query stays well formed.
std::string dropbox_download_link(const std::string& link);

// The cache file name for a link whose path ends in `segment`, given for the
// input `key`. An empty segment, "." or ".." name no file and give
// "download_" + key. '/' and NUL, which would leave the folder or cut the
// name short, are written as "%2F" and "%00"; every other name is kept as is.
std::string cache_name(const std::string& segment, const std::string& key);

// A download in progress for `final_path`, in the same folder.
//
// The bytes go to an unnamed file (O_TMPFILE) where the file system offers
// one, so a process killed mid-download leaves nothing behind; elsewhere to a
// hidden ".part#" file whose name no cache name can take (a link's path never
// holds '#', and names made from an input's key start with "download_").
// commit() makes the file durable and renames it onto `final_path` in one
// step: a reader sees the old state or the complete file, never a part.
// Destroying an uncommitted PartFile removes what it wrote.
class PartFile {
 public:
  explicit PartFile(std::string final_path);
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  void write(const char* data, std::size_t size);
  void commit();
  void discard() noexcept;
  std::uint64_t size() const noexcept { return written_; }

 private:
  void start_writeback();
  std::string random_part_path() const;

  std::string final_path_;
  std::string dir_;
  std::string part_path_;  // empty while the file has no name
  int fd_ = -1;
  std::uint64_t written_ = 0;
  std::uint64_t flushed_ = 0;
};

}  // namespace tavro::haulix
