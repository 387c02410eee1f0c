// The tool's argument list from its template: placeholders filled, the text
// split by the shell rules, redirections and unfilled placeholders dropped.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rivo/core/plan.hpp"

namespace tavro::rivo {

// The arguments of the run: the template substituted, split and filtered;
// without a usable template the staged names in input order; a leading
// entrypoint dropped.
Arguments build_arguments(const RunPlan& plan, const Staged& staged);

// The staged file names in input order, the arguments of a tool without a
// template (a name starting with '-' as "./name").
std::vector<std::string> positional_arguments(const Staged& staged);

// The argument for a file name given by itself: "./-x" for "-x", so the
// tool cannot take it for an option.
std::string path_argument(std::string_view name);

// ---------------------------------------------------------------------------
// The pieces, in the order build_arguments applies them.

// One placeholder's value. Paths (staged inputs, output slots) each end up as
// exactly one argument, whatever characters they hold. Text (scalars) is
// split by the shell rules like the template around it.
struct Replacement {
  std::vector<std::string> paths;  // joined by single spaces
  std::optional<std::string> text;
};
using Placeholders = std::vector<std::pair<std::string, Replacement>>;

// Staged inputs, then output slots (an output slot overrides an input of the
// same name in its place), then scalars.
Placeholders placeholders(const RunPlan& plan, const Staged& staged);

// Replaces every "{key}" of the template in one pass, in table order at each
// position; a value is never scanned for placeholders again. Paths become
// opaque markers that the shell-style split keeps whole, and braces and NULs
// inside values are masked, so the split and the placeholder filter only see
// the template's own text. decode_token() turns a split token back into the
// argument.
std::string substitute(std::string_view tmpl, const Placeholders& table, std::vector<std::string>& paths);
std::string decode_token(std::string_view token, const std::vector<std::string>& paths);

// A whole token that is an unfilled placeholder ("{x}"), and a token that
// holds one anywhere ("--opt={x}").
bool is_placeholder(std::string_view tok);
bool has_placeholder(std::string_view tok);

// Drops shell redirections with their operand (a "> slot" naming an output
// slot marks that slot as the receiver of standard output), unfilled
// placeholders together with the option that precedes them, and tokens that
// carry an unfilled placeholder. Tokens come as substitute() left them; the
// tokens kept are decoded.
Arguments filter_tokens(const std::vector<std::string>& tokens, const std::unordered_set<std::string>& out_slots,
                        const std::vector<std::string>& paths);

}  // namespace tavro::rivo
