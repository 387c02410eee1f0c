// Text that `show` prints. Readers parse it line by line: a line that begins
// "Image:", "Entrypoint:" or "Args template:" (after white space) sets that
// value, and any other line mentioning "gpu" together with "required" or
// "true", in any letter case, marks the tool as needing a GPU. Free text (a
// description, slot names, a version) must never look like either, and a
// value must stay on its one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rivo {

// `text` split at every line boundary Python's str.splitlines knows
// (\n, \r, \r\n, \v, \f, \x1c-\x1e, U+0085, U+2028, U+2029).
std::vector<std::string> show_split_lines(std::string_view text);

// A value on one line: every line boundary becomes a space.
std::string show_value(std::string_view text);

// An argument template on one line: a backslash before a line boundary is a
// line continuation (both removed, as the shell does), every other boundary
// becomes a space, which splitting into arguments treats alike.
std::string show_template(std::string_view text);

// A line of free text made inert: an invisible word joiner (U+2060) goes
// before a label at its start and after the "g" of each "gpu" when the line
// would otherwise read as a GPU line. Other text is unchanged.
std::string show_free(std::string_view line);

}  // namespace rivo
