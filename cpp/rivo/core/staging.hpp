// The first stages of a run: the plan checked, the sandbox made, the inputs
// copied in.
#pragma once

#include <string>

#include "common/fd.hpp"
#include "rivo/core/plan.hpp"

namespace tavro::rivo {

// Everything about a plan that must hold before anything is made: the tool
// and slot names (BadName; an output slot can have no name the harvest
// cannot deliver), and no input that is a device, socket or FIFO
// (Unstageable).
void check_plan(const RunPlan& plan);

// The run's sandbox <temp>/tavro_sandboxes/run-<tool>-<12 hex digits>,
// made (with its standard output file beside it) relative to the opened,
// checked root, after <temp> and every folder above it were found to be
// changeable by no one but us or root (Refused otherwise);
// open to every user (a container may run as another), holding copies of
// the project's rivo.toml and rivo.lock and a link to its shim folder .rivo
// (a copy where links cannot be made). The project is <volume>/.rivo_home,
// or without a volume a fresh temporary folder "rivo_*" that the caller
// removes when the run ends.
Sandbox make_sandbox(const RunPlan& plan);

// The folder holding the sandboxes: created 0700 when missing; an existing
// one must be a real directory (not a link) owned by the current user, and
// is made private again when it is not. Throws Refused with the reason.
// Returns the folder, opened.
fs::Fd ensure_private_root(const std::string& root);

// Refused unless `dir` and every folder above it (as spelled and as
// resolved) belong to us or root and can be written by others only with
// the sticky bit: what we make there cannot be swapped by another user.
void require_safe_temp_dir(const std::string& dir);

// Closes the descriptors make_sandbox opened (the caller owns them).
void close_sandbox(Sandbox& sandbox);

// Copies every input into the sandbox (reflink clones where the file
// system offers them, never hard links, so a tool cannot alter its inputs)
// and makes the folders of the directory slots.
Staged stage_inputs(const RunPlan& plan, const Sandbox& sandbox);

// One input under its own final name, else "<slot>_<name>" when that is
// taken, else "<slot>_<k>_<name>" with the first free k from 2 (a gather of
// N files of one name gives the tool N files, in list order). Directories
// are copied whole.
std::string stage_one(const std::string& sandbox, const std::string& src, const std::string& slot);

}  // namespace tavro::rivo
