// Plain C++ core of a tool run: names, the argument-token filter, staging
// inputs into a sandbox and harvesting a sandbox into a node's output
// directory. No Python here: the binding converts its values to byte strings
// (file-system encoding) first and calls these with the GIL released.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_set>
#include <vector>

namespace tavro::rivo::core {

// Final path component as pathlib's PurePosixPath(p).name gives it: empty and
// "." segments are dropped, so "a/b/" -> "b", "a/." -> "a", "." and "/" -> "".
std::string final_component(std::string_view path);

// "a" + "/" + "b" with pathlib's spelling: "." as the base gives "b", a base
// ending in '/' (the root) gets no second slash.
std::string join(std::string_view base, std::string_view name);

// ---------------------------------------------------------------------------
// Argument tokens

// A whole token that is an unfilled placeholder ("{x}"), and a token that
// holds one anywhere ("--opt={x}").
bool is_placeholder(std::string_view tok);
bool has_placeholder(std::string_view tok);

struct FilteredArgs {
  std::vector<std::string> clean;
  std::optional<std::string> capture_slot;  // from "> slot"
};

// Drops shell redirections with their operand (a "> slot" naming an output
// slot marks that slot as the receiver of standard output), unfilled
// placeholders together with the option that precedes them, and tokens that
// carry an unfilled placeholder. Tokens come as substitute() left them:
// placeholders are looked for in the template's own text only, and the
// tokens kept are decoded (decode_token).
FilteredArgs filter_tokens(const std::vector<std::string>& tokens,
                           const std::unordered_set<std::string>& out_slots,
                           const std::vector<std::string>& paths = {});

// ---------------------------------------------------------------------------
// Substitution

// One placeholder's value. Paths (staged inputs, output slots) each end up as
// exactly one argument, whatever characters they hold; a name starting with
// '-' is given as "./name" so it cannot read as an option. Text (scalars) is
// split by the shell rules like the template around it.
struct Replacement {
  std::vector<std::string> paths;  // joined by single spaces
  std::optional<std::string> text;
};

// Replaces every "{key}" of the template in one pass, in table order at each
// position; a value is never scanned for placeholders again. Paths become
// opaque markers that the shell-style split keeps whole, and braces and NULs
// inside values are masked, so the split and the placeholder filter only see
// the template's own text. decode_token() turns a split token back into the
// argument.
std::string substitute(std::string_view tmpl,
                       const std::vector<std::pair<std::string, Replacement>>& table,
                       std::vector<std::string>& paths);
std::string decode_token(std::string_view token, const std::vector<std::string>& paths);

// The argument for a path given by itself: "./-x" for "-x".
std::string path_argument(std::string_view name);

// ---------------------------------------------------------------------------
// Staging

struct StageRequest {
  std::string slot;
  std::vector<std::string> sources;  // candidate paths; missing ones are skipped
};

// Staged paths per request, same order; an empty vector: nothing was staged.
using StageResult = std::vector<std::vector<std::string>>;

// Copies one input into the sandbox under its own final name, or under
// "<slot>_<name>" when that is taken; when both are taken nothing is copied
// and the prefixed path is returned. Directories are copied whole.
std::string stage_one(const std::string& sandbox, const std::string& src, const std::string& slot);

// Stages every existing source of every request in order.
StageResult stage_all(const std::string& sandbox, const std::vector<StageRequest>& requests);

// The first existing source that is not a regular file, a directory or a
// link to one: a device, socket or FIFO would be read forever or block, so
// the run refuses it before anything is copied.
struct Unstageable {
  std::string slot, source;
  const char* kind;  // "a character device", ...
};
std::optional<Unstageable> find_unstageable(const std::vector<StageRequest>& requests);

// The folder holding the sandboxes: created 0700 when missing; an existing
// one must be a real directory (not a link) owned by the current user, and
// is made private again when it is not. Returns the reason for refusing it,
// or an empty string.
std::string ensure_private_root(const std::string& root);

// ---------------------------------------------------------------------------
// Harvest

struct HarvestSlot {
  std::string name;
  bool is_dir = false;
  // File slots: the top-level sandbox names the slot's glob pattern matched,
  // in listing order (the binding applies Python's fnmatch).
  std::vector<std::string> matches;
};

struct HarvestPlan {
  std::string sandbox;
  std::string output;  // the node's output directory, spelled as pathlib does
  std::vector<HarvestSlot> slots;
  std::unordered_set<std::string> staged_names;  // final names of staged inputs
  // A sandbox file we wrote ourselves (the streamed standard output), known
  // by device and inode: it is moved into place rather than copied.
  std::optional<std::pair<unsigned long long, unsigned long long>> own_file;
};

// Delivered paths (spelled from `output`) per slot, in plan order.
using HarvestResult = std::vector<std::vector<std::string>>;

// Top-level names of the sandbox in listing order (for the glob matching).
std::vector<std::string> sandbox_names(const std::string& sandbox);

// Copies slot outputs to output/<slot>, everything else new to
// output/_extras. Never reads through a symlink that resolves outside the
// sandbox. Each file or folder is published whole (see common/publish.hpp);
// running out of descriptors or path length on the way throws.
HarvestResult harvest(const HarvestPlan& plan);

// Writes bytes to path. A symlink, FIFO, socket or device the tool left there
// is replaced, never written through.
void write_replacing(const std::string& path, std::string_view bytes);

// The sandbox's project-file names, never taken as outputs.
bool is_project_name(std::string_view name);

}  // namespace tavro::rivo::core
