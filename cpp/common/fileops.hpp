// File operations shared by every module: copying files and trees with their
// metadata, removing trees without following symlinks, and directory walks in
// the order Python's own os.scandir / os.walk produce. Plain C++, no Python:
// every function may run without the GIL, from several threads at once (no
// state is shared between calls), and retries EINTR itself.
//
// Failures throw tavro::OsError(errno, syscall, path[, path2]) where `path`
// (and `path2`) are the names Python's shutil / os would attach to the
// OSError, so the glue can raise FileNotFoundError, PermissionError, ... with
// the filename a Python caller expects. A path holding a NUL byte throws
// tavro::InvalidArgument (ValueError in Python); the predicates just say false.
//
// One header per job; this one includes them all.
#pragma once

#include "common/copy.hpp"
#include "common/errors.hpp"
#include "common/fd.hpp"
#include "common/path.hpp"
#include "common/publish.hpp"
#include "common/remove.hpp"
#include "common/walk.hpp"
