// Plain C++ core of a tool run: names, the argument-token filter, staging
// inputs into a sandbox and harvesting a sandbox into a node's output
// directory. No Python here: the binding converts its values to byte strings
// (file-system encoding) first and calls these with the GIL released.
#pragma once

#include <optional>
#include <string>
#include <string_view>
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
// carry an unfilled placeholder.
FilteredArgs filter_tokens(const std::vector<std::string>& tokens,
                           const std::unordered_set<std::string>& out_slots);

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
};

// Delivered paths (spelled from `output`) per slot, in plan order.
using HarvestResult = std::vector<std::vector<std::string>>;

// Top-level names of the sandbox in listing order (for the glob matching).
std::vector<std::string> sandbox_names(const std::string& sandbox);

// Copies slot outputs to output/<slot>, everything else new to
// output/_extras. Never reads through a symlink that resolves outside the
// sandbox.
HarvestResult harvest(const HarvestPlan& plan);

// Writes bytes to path. A symlink, FIFO, socket or device the tool left there
// is replaced, never written through.
void write_replacing(const std::string& path, std::string_view bytes);

// The sandbox's project-file names, never taken as outputs.
bool is_project_name(std::string_view name);

}  // namespace tavro::rivo::core
