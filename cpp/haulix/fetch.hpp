// The plain C++ side of the remote input fetcher: the Dropbox link rewrite,
// cache names that always stay inside the cache folder, and the file a
// download is streamed into before it is published under its cache name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

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
// The bytes go to the entry's part file (`part_path`, a hidden name no
// cache name can take), which outlives a crash of the process so that the
// next download of the same link can go on from where it stopped. A part
// file is held under an exclusive flock while it is written; when another
// download holds it, or when a symbolic link sits at its name, the bytes go
// to an unnamed file (O_TMPFILE) instead, or where the file system has none
// to a hidden ".part#" file with a random suffix, which a crash would leave
// behind. commit() makes the file durable and renames it onto `final_path`
// in one step: a reader sees the old state or the complete file, never a
// part. Destroying an uncommitted PartFile keeps a part file with bytes in
// it (discard() removes it) and removes any other.
class PartFile {
 public:
  PartFile(std::string final_path, const std::string& part_path);
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // The part file of the entry is ours: its bytes survive a crash.
  bool resumable() const noexcept { return resumable_; }
  // Bytes in the file, those found in a kept part file included.
  std::uint64_t size() const noexcept { return written_; }
  int fd() const noexcept { return fd_; }
  const std::string& final_path() const noexcept { return final_path_; }

  void write(const char* data, std::size_t size);
  // Empties the file, for a body fetched again from its start.
  void restart();
  // Publishes the file; returns its size and modification time (ns).
  std::pair<std::uint64_t, std::int64_t> commit();
  void discard() noexcept;

 private:
  bool open_part(const std::string& part_path);
  void open_unnamed();
  void start_writeback();
  std::string random_part_path() const;

  std::string final_path_;
  std::string dir_;
  std::string part_path_;  // empty while the file has no name
  int fd_ = -1;
  bool resumable_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t flushed_ = 0;
};

}  // namespace tavro::haulix
