// Pieces shared by copy_file.cpp, copy_meta.cpp and copy_tree.cpp.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/fd.hpp"
#include "common/fs_internal.hpp"

namespace tavro::fs::detail {

struct CopyCtx {
  std::unique_ptr<char[]> buf;
  size_t buf_size = 0;
  // (source device, destination device) pairs that already said "cannot":
  // a tree copy then skips the doomed syscall for every further file. Local
  // to one call, so nothing is shared between threads.
  std::vector<std::pair<dev_t, dev_t>> no_clone, no_range;

  char* buffer(size_t want) {
    if (buf_size < want) {
      buf = std::make_unique_for_overwrite<char[]>(want);
      buf_size = want;
    }
    return buf.get();
  }
  static bool known(const std::vector<std::pair<dev_t, dev_t>>& v, dev_t s,
                    std::optional<dev_t> d) {
    return d && std::find(v.begin(), v.end(), std::make_pair(s, *d)) != v.end();
  }
  static void remember(std::vector<std::pair<dev_t, dev_t>>& v, dev_t s, std::optional<dev_t> d) {
    if (d) v.emplace_back(s, *d);
  }
};

enum class OnSpecial { Throw, Skip };

// Copies the already opened source (opened O_NONBLOCK, see callers) to
// ddir/dname. Returns false when the source was skipped as a special file.
bool copy_opened(CopyCtx& ctx, Fd& in, const Where& sw, int ddir, const char* dname,
                 const Where& dw, std::optional<dev_t> dst_dev, OnSpecial on_special);

// Source flags: O_NONBLOCK keeps a FIFO (possibly swapped in after readdir)
// from blocking the open; regular files ignore the flag.
constexpr int kSrcFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// shutil.copystat between two open descriptors: xattrs, mode, times.
void copy_stat_fd(int in, int out, const struct stat& sst, const Where& sw, const Where& dw);

// copy_file(follow_symlinks=false) for a symlink `src` pointing at `target`.
void copy_symlink(const std::string& src, const std::string& target, const std::string& dst);

}  // namespace tavro::fs::detail
