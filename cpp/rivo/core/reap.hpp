// What a run leaves when its process dies mid-way (a SIGKILL, a lost host):
// the standard output file beside its sandbox, a temporary rivo project
// "rivo_*", publishing temporaries ".<name>.tmp-*" in the node's folder. A
// later run on the same folders removes them, but only once a lock says
// their owner is gone, never because they are old: each owner holds an
// advisory lock (flock) on a folder of its run while it runs, and the
// kernel drops it when the owner dies. Sandboxes themselves stay, for
// inspection.
#pragma once

#include <string>

#include "common/fd.hpp"

namespace tavro::rivo {

// The sandbox root, open: every "run-*.stdout" whose sandbox is gone or
// not locked by a live run is removed.
void reap_stdout_files(int root_fd);

// A fresh temporary project "rivo_*" in temp_dir, locked for as long as
// the returned descriptor stays open (the marker ".tavro-owner" inside says
// it is ours and locked). Leftovers of dead owners in temp_dir go first.
struct LockedFolder {
  std::string path;
  fs::Fd lock;
};
LockedFolder make_temp_project(const std::string& temp_dir);

// The node's folder (made when missing), locked shared for a harvest;
// when no other harvest holds it, the publishing temporaries a dead one left
// in it, its "_extras" and its "stdout" are removed first.
fs::Fd lock_output_dir(const std::string& output_dir);

}  // namespace tavro::rivo
