// Fixed wording of the connector prompt. The model reads these texts exactly
// as they stand (em dashes, arrows, blanks and line breaks included), and the
// connectors it writes depend on them: change them only on purpose.
#pragma once

#include <string_view>

namespace tavro::linkwell::text {

inline constexpr std::string_view kDownInputHead =
    "DOWNSTREAM is an InputNode. Its current keys and values are:\n";

inline constexpr std::string_view kDownInputTail =
    "\n"
    "Apply the same STEP 1-4 reasoning — match by entity, convert format if needed. Do NOT "
    "passthrough everything blindly.\n"
    "\n";

inline constexpr std::string_view kDownToolHead =
    "DOWNSTREAM tool '";

inline constexpr std::string_view kDownToolTail =
    "' inputs (from MANIFEST):\n";

inline constexpr std::string_view kUpHead =
    "--- UPSTREAM '";

inline constexpr std::string_view kUpFnName =
    "' (function name: ";

inline constexpr std::string_view kUpExtraKeys =
    "\n"
    "Additional keys available at runtime (pass through if name matches a downstream field): ";

inline constexpr std::string_view kUpInputManifest =
    ") ---\n"
    "Inputs (from MANIFEST — these are the values that just flowed into this node):\n";

inline constexpr std::string_view kUpInputPlain =
    ") ---\n"
    "InputNode with these key-value pairs (user-provided, all available):\n";

inline constexpr std::string_view kUpInputPlainTail =
    "\n"
    "For every key whose name matches a downstream field name, pass it through directly. Do "
    "not omit any key that appears in the downstream inputs — if the name matches, always "
    "include it.\n"
    "\n";

inline constexpr std::string_view kUpToolOutputs =
    ") ---\n"
    "Outputs (from MANIFEST):\n";

inline constexpr std::string_view kPriorityHead =
    "PRIORITY: InputNode upstreams (";

inline constexpr std::string_view kPriorityMid =
    ") supply user-provided values and take precedence. For any downstream field that an "
    "InputNode can supply, the InputNode connector owns it — regular tool connectors (";

inline constexpr std::string_view kPriorityTail =
    ") must NOT also return that same key. Regular tool connectors only fill fields the "
    "InputNode(s) cannot cover.\n"
    "\n";

inline constexpr std::string_view kAllInputs =
    "All upstreams are InputNodes (user-provided data). Pass through or rename keys to match "
    "downstream input names.\n"
    "\n";

inline constexpr std::string_view kCachedHead =
    "ALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n";

inline constexpr std::string_view kCachedTail =
    "\n"
    "Treat any field these connectors cover as already supplied — your new functions must "
    "not return those same keys (except InputNode fields can always override regular-node "
    "fields).\n"
    "\n";

inline constexpr std::string_view kSplitKeyHead =
    " The upstream key '";

inline constexpr std::string_view kSplitKeyTail =
    "' holds the collection to fan out.";

inline constexpr std::string_view kScatterHead =
    "STEP 3b — SCATTER / MAP DOWNSTREAM (applies ONLY to function '";

inline constexpr std::string_view kScatterMid =
    "')\n"
    "The downstream runs ONCE PER ITEM of the upstream collection.";

inline constexpr std::string_view kScatterSo =
    " So '";

inline constexpr std::string_view kScatterTail =
    "' must return a LIST of dicts — one downstream-input dict per independent item — not a "
    "single dict. (Every OTHER function in this batch still returns a single dict.)\n"
    "  - The collection value can take THREE shapes; you MUST check its type before any path "
    "operation (never call os.path.isdir/isfile on a value without first confirming it is a "
    "str):\n"
    "      (a) a LIST  — e.g. when an upstream map-node already fanned out and gathered. "
    "Treat EACH element as a sub-collection: expand every element into its own items and "
    "FLATTEN them all into one combined item list. (An element may itself be a directory or "
    "a multi-record file — apply (b)/(c) to it.)\n"
    "      (b) a DIRECTORY path (str) — enumerate its items; if several files share an item "
    "(same naming prefix), group them as ONE item.\n"
    "      (c) a single FILE path (str) holding multiple records — each record is one item.\n"
    "    Count only genuine primary outputs — leave out intermediate, per-step, checkpoint, "
    "log, and temporary artifacts. Infer which shape applies from the ACTUAL CONTEXT shown "
    "below.\n"
    "  - For EACH leaf item, build its downstream-input dict with the SAME STEP 1-3 logic as "
    "for a single item: pick the one value matching each downstream field's type/format (a "
    "scalar, not the whole collection or a list), converting format if required.\n"
    "  - Return the items in a deterministic order. Each dict must be a genuinely DIFFERENT "
    "item — never repeat one N times, and never return a length-1 list when the context "
    "shows N>1 items.\n"
    "\n";

inline constexpr std::string_view kIntro =
    "You are a Python coding agent. Write syntactically valid Python only — no prose, no "
    "markdown.\n"
    "\n"
    "YOUR JOB: Write ";

inline constexpr std::string_view kTask =
    " connector function(s).\n"
    "A connector receives `output` (the return dict of ONE upstream tool) and returns the "
    "keys the downstream tool needs. Normally it returns a single dict; for a SCATTER "
    "downstream (see STEP 3b below, if present) it returns a LIST of dicts (one per item). "
    "The runtime merges/uses the connector's result and passes it to downstream.run(). The "
    "downstream tool runs elsewhere — never call it or import it.\n"
    "\n"
    "STEP 1 — DECIDE WHAT THIS EDGE OWNS\n"
    "For each downstream input field, ask: does this upstream's output contain the same "
    "semantic data?\n"
    "Use the `entity` tag as the ground truth for 'same data' — matching entity means same thing.\n"
    "Mismatched entity means never map, even if types look identical.\n"
    "When multiple upstream outputs share the same entity, prefer the one whose TYPE matches "
    "the downstream field's type. Specifically: if the downstream field is a list and the "
    "upstream has both a list output and a scalar output with the same entity, always choose "
    "the list output. A scalar with role='scalar_summary' is a derived convenience value — "
    "never use it to satisfy a list-typed downstream field even if the entity matches.\n"
    "Also check types: if the downstream field is a list (e.g. list[dir_path]) but the only "
    "upstream match is a scalar (e.g. dir_path), that scalar cannot directly satisfy the "
    "list field — you must look for another upstream output that lets you derive multiple "
    "distinct items.\n"
    "Each field must be owned by exactly one connector. If a sibling edge covers a field, "
    "omit it here.\n"
    "\n"
    "STEP 2 — DECIDE IF CONVERSION IS NEEDED\n"
    "Once you've confirmed same entity, check the `format` tag.\n"
    "Same format → pass the value through (rename key if needed).\n"
    "Different format → convert. The downstream field's `format` tag is the contract — it "
    "tells you exactly what format the file or value must be in. Pick the simplest format "
    "listed in that tag and produce exactly that. Never invent a format not listed in the "
    "downstream tag.\n"
    "  - In-memory value → file path: write to a tempfile. The file's content and extension "
    "must     conform to the downstream format tag (e.g. if tag says 'fasta', write FASTA "
    "with '>'     headers and use suffix matching that format).\n"
    "  - File path → in-memory value: open and parse the file. For fasta→one_letter_code: "
    "read all lines, concatenate sequence lines (non-'>' lines) for each record. If the "
    "downstream expects a single str (not a list), return the first record's sequence only.\n"
    "  - Directory → specific file: use glob.glob(..., recursive=True).\n"
    "\n"
    "STEP 3 — HANDLE CARDINALITY CORRECTLY\n"
    "FIRST check the downstream field's `cardinality` tag.\n"
    "If cardinality='one' (the field wants exactly ONE item) but the upstream is a directory "
    "or list containing MANY matching files, you must select the SINGLE primary file and "
    "return it as a scalar string — never a list, never the whole directory.\n"
    "  - Pick the primary output, not intermediate/auxiliary files. Exclude trajectory, "
    "per-timestep, checkpoint, log, and temp files: skip basenames containing 'traj', "
    "'_pX0', '_Xt', '_xt', 'trajectory', '.tmp', or living under a 'traj/' subdirectory.\n"
    "  - Among the remaining candidates, prefer the lowest-indexed primary file (e.g. the "
    "one matching '<prefix>_0.<ext>' or the shortest basename) so selection is "
    "deterministic.\n"
    "  - Return it as output[field] = '<that one path>' (a str), not [path].\n"
    "If cardinality='one' and the upstream already gives exactly one matching file, pass it "
    "through as a scalar.\n"
    "Check the `cardinality_with` tag on downstream fields. If field A has "
    "cardinality_with='B', then len(A) must equal len(B) — they are parallel lists.\n"
    "If the upstream type is a scalar (e.g. dir_path) but downstream type is a list (e.g. "
    "list[dir_path]), you cannot wrap the scalar in a list — that produces a list of 1 which "
    "is wrong when N>1. Instead, derive N distinct items by partitioning the upstream value. "
    "For example: if the upstream is a single output directory containing files for multiple "
    "sequences, identify the N unique query names by examining the actual filenames shown in "
    "ADDITIONAL CONTEXT. Find the set of distinct per-sequence prefixes — the prefix is the "
    "part of the filename before the first separator that distinguishes rank/model/seed "
    "(e.g. '_unrelaxed_', '_relaxed_', '_rank_', '_scores_'). For each query prefix, create "
    "a subdirectory and symlink all files whose basename starts with that prefix into it. "
    "Return the list of subdirectories in the same order as the prefixes. This makes "
    "len(output_dirs) == N sequences exactly. Never repeat the same value N times — each "
    "item in the output list must be genuinely different.\n"
    "Never summarise a list into a scalar. Never return a list of length 1 when N>1 is required.\n"
    "\n"
    "STEP 4 — OMIT RATHER THAN GUESS\n"
    "If you cannot cleanly supply a field (no matching entity, no clean source, field has "
    "`fallback`), simply omit it — return an empty dict or partial dict. Never raise to "
    "signal absence.\n"
    "Never return write_mode='append' fields from upstream outputs — they are cumulative "
    "logs, not data.\n"
    "role='tool_internal_state' on a DOWNSTREAM input means the downstream tool manages it "
    "internally — but if the upstream has a matching entity, still pass it through.\n"
    "role='output_destination' on a DOWNSTREAM input means it is a write location managed by "
    "the runtime — never fabricate or create a new temp directory for it. Exception: if the "
    "upstream is an InputNode and the key is already present in its output, pass it through "
    "as-is — the user explicitly set it.\n"
    "\n";

inline constexpr std::string_view kDownstreamTool =
    "DOWNSTREAM TOOL '";

inline constexpr std::string_view kDownstreamToolTail =
    "' — fields it needs:\n";

inline constexpr std::string_view kUpstreamsHead =
    "UPSTREAMS TO GENERATE CONNECTORS FOR:\n";

inline constexpr std::string_view kExtraHead =
    "\n"
    "ADDITIONAL CONTEXT:\n";

inline constexpr std::string_view kConstraintsHead =
    "\n"
    "CODING CONSTRAINTS:\n";

inline constexpr std::string_view kSigScatterHead =
    "  - Signature: def <name>(output: dict) -> dict, EXCEPT function '";

inline constexpr std::string_view kSigScatterTail =
    "' which returns list[dict] (SCATTER edge — see STEP 3b).\n";

inline constexpr std::string_view kSigPlain =
    "  - Signature: def <name>(output: dict) -> dict\n";

inline constexpr std::string_view kConstraints =
    "  - Always guard against None before calling os.path.exists, os.path.isfile, "
    "os.path.isdir, or any path operation. Use `if output.get('key') and "
    "os.path.exists(output['key'])` not `os.path.exists(output['key'])`.\n"
    "  - `os`, `json`, `glob`, `tempfile` are pre-imported at module level. All other "
    "imports MUST be inside the function body — never at module level.\n"
    "  - To create symlinks use `os.symlink(src, dst)` — `shutil` does NOT have a symlink "
    "method. Always check `not os.path.exists(dst)` before calling os.symlink to avoid "
    "FileExistsError.\n"
    "  - Use glob.glob(..., recursive=True) for file discovery.\n"
    "  - No markdown, no prose. Python function definitions only.\n"
    "  - BATCH-AGNOSTIC: This connector will be called repeatedly across loop iterations "
    "with varying batch sizes. Never hardcode or assume a fixed list length. If the upstream "
    "value is already a list, pass it through as-is — do not index into it, slice it, or "
    "wrap it. The downstream tool handles any per-element logic itself.\n"
    "\n"
    "Write all ";

inline constexpr std::string_view kNamesHead =
    " function(s) with these exact names: ";

}  // namespace tavro::linkwell::text
