// Registries kept in Git: a shallow clone in the user's cache folder, made
// once per URL with the `git` command and refreshed by `add` and `sync`.
//
// Cache: $RIVO_CACHE_DIR, else $XDG_CACHE_HOME/rivo, else ~/.cache/rivo;
// each URL gets registries/<name>-<hash of the URL> there, with a lock file
// beside it so that several rivo processes clone and refresh it one at a time
// and never read it half-updated.
#pragma once

#include <string>

#include "common/flock.hpp"
#include "util.hpp"

namespace rivo::git {

// True for a registry to be read through Git: a URL with a network scheme
// (https, http, ssh, git), scp-like user@host:path, or a bare repository
// (file:// URL or path). A folder of definitions, even one under Git
// version control, is read directly.
bool is_git_location(const std::string& location);

// The checkout of `url` in the cache (it may not exist yet).
fs::path checkout_dir(const std::string& url);

// Makes sure a checkout exists, cloning it (shallow) when it does not. With
// `update`, also fetches the newest commit; when that fails (no network),
// the cached copy is used and a warning printed on stderr. Throws Failure
// (exit status 2) when there is no copy and none can be made.
void prepare(const std::string& url, bool update);

// Shared lock on the checkout while it is read (a refresh waits for it).
tavro::lock::FileLock read_lock(const std::string& url);

}  // namespace rivo::git
