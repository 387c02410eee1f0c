// The plain values of one tool run (RIVO.run): what the binding makes of the
// Python arguments once (RunPlan), what the stages hand on to each other
// (Sandbox, Staged, Arguments, Executed) and what comes back (RunResult,
// and what the harvest published).
// Every string is in file-system spelling (os.fsencode: UTF-8, undecodable
// bytes kept as they are), so names reach the disk and the tool unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavro::rivo {

// One entry of `inputs`, in the order the dict gave them ("output_dir" is
// left out).
struct InputSlot {
  enum class Kind {
    Text,     // a str: staged when it names an existing file or folder, else substituted as it is
    List,     // a list: its str elements that name existing paths are staged
    Scalar,   // an int, float or bool, substituted as Python's str() writes it
    Ignored,  // anything else (None, dicts, path objects ...)
  };
  std::string slot;
  Kind kind = Kind::Ignored;
  std::string text;                  // Text: the value; Scalar: its str()
  std::vector<std::string> sources;  // Text, List: the candidate paths, in list order
};

struct OutputSlot {
  std::string name;     // one path component, never a reserved name
  bool is_dir = false;  // the slot's "type" is "dir"
};

struct RunPlan {
  std::string tool;                    // the tool's name: one path component
  std::string entrypoint;              // the manifest's entrypoint, else the tool name
  std::string args_template;           // empty: the tool has none
  std::string image;                   // the manifest's image reference, for a run cache; may be empty
  std::vector<OutputSlot> outputs;     // in manifest order
  std::vector<InputSlot> inputs;       // in `inputs` order
  std::string output_dir;              // the node's folder as pathlib spells it ("" for ".")
  std::string temp_dir;                // tempfile.gettempdir(): sandboxes and temporary projects go there
  std::string volume;                  // PIPELINE_VOLUME_PATH; empty: the local setting
  std::vector<std::pair<std::string, std::string>> env;  // the run's environment (the host's, copied)
};

// The run's own folder and the files around it.
struct Sandbox {
  std::string root;         // <temp>/tavro_sandboxes
  std::string path;         // <root>/run-<tool>-<12 hex digits>
  std::string project;      // the rivo project whose files were copied in
  bool project_is_temp = false;
  std::string stdout_file;  // <path>.stdout: the tool's standard output while it runs
  int dir_fd = -1;          // the sandbox, open: the tool is started in it by this descriptor
  int stdout_fd = -1;       // stdout_file, open (read-write)
  int project_lock = -1;    // a temporary project's lock (see reap.hpp)
};

// Staged inputs, per input slot that staged anything, in `inputs` order.
struct StagedSlot {
  std::string slot;
  bool is_list = false;
  std::vector<std::string> paths;  // inside the sandbox
};
using Staged = std::vector<StagedSlot>;

// The tool's argument list and where its standard output goes.
struct Arguments {
  std::vector<std::string> clean;
  std::optional<std::string> capture_slot;  // the output slot a "> {slot}" in the template named
};

// What the successful `rivo exec` left: its standard output, written by the tool into
// Sandbox::stdout_file, or held in memory (a replaced _run returns text).
struct Executed {
  bool streamed = false;
  std::uint64_t out_bytes = 0;  // streamed: how many bytes the tool wrote
  std::string out;              // in memory: all of it; streamed: a bounded view
  bool has_out = false;         // in memory: the run gave a standard output at all
  // Streamed: the file's device and inode, so the harvest knows it for ours
  // wherever it is found (it is moved into place rather than copied).
  std::uint64_t file_dev = 0, file_ino = 0;
};

// The tool result map: every output slot in manifest order, then "stdout"
// when the standard-output fallback applied.
struct ResultEntry {
  enum class Kind { None, Path, List };
  std::string key;
  Kind kind = Kind::None;
  std::vector<std::string> paths;  // Path: one; List: all, in delivery order
};
using RunResult = std::vector<ResultEntry>;

// One file or folder the harvest put into the output folder whole, by its
// path below it ("out", "_extras/run.log", "stdout/<tool>_stdout.txt"), in
// the order they were published: what a run cache keeps of a run.
struct PublishedUnit {
  std::string rel;
  bool is_dir = false;
};
using Published = std::vector<PublishedUnit>;

}  // namespace tavro::rivo
