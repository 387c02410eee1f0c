// The last stage of a run: the tool's standard output into its slot, the
// sandbox's outputs into the node's output folder, the standard-output
// fallback and the tool result map.
#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rivo/core/plan.hpp"

namespace tavro::rivo {

// Harvests the sandbox of a successful run. A file slot gets the entry named
// exactly after it, else the first match of "<slot>*" in name order; a
// directory slot its folder (or the only new folder); every other new file
// or folder goes to "_extras" (an entry delivered under a name of its own is
// there too), so nothing the tool wrote is lost. Staged inputs and the
// project's files are never outputs. Each file or folder is published whole
// (see common/publish.hpp); a symbolic link that leads out of the sandbox is
// never read. Throws OsError for a file-system failure,
// leaving the sandbox in place.
RunResult harvest(const RunPlan& plan, const Sandbox& sandbox, const Staged& staged, const Arguments& args,
                  const Executed& run);

// Writes bytes to path. A symlink, FIFO, socket or device the tool left there
// is replaced, never written through.
void write_replacing(const std::string& path, std::string_view bytes);

}  // namespace tavro::rivo
