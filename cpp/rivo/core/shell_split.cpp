#include "rivo/core/shell_split.hpp"

#include "common/errors.hpp"

namespace tavro::rivo {
namespace {

bool white(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool quote(char c) { return c == '\'' || c == '"'; }

// The states of shlex's reader: between words, in a word, inside one of
// the two quotes, after a backslash.
enum class State { Between, Word, Single, Double, Escape, End };

State quote_state(char c) { return c == '\'' ? State::Single : State::Double; }

}  // namespace

std::vector<std::string> shell_split(std::string_view text) {
  std::vector<std::string> words;
  State state = State::Between;
  std::size_t i = 0;
  while (state != State::End) {
    // One word, as shlex.read_token reads it.
    std::string word;
    bool quoted = false;
    State escaped_from = State::Between;
    for (;;) {
      const bool eof = i >= text.size();
      const char c = eof ? '\0' : text[i++];
      if (state == State::Between) {
        if (eof) {
          state = State::End;
          break;
        }
        if (white(c)) continue;
        if (c == '\\') {
          escaped_from = State::Word;
          state = State::Escape;
        } else if (quote(c)) {
          state = quote_state(c);
        } else {
          word = c;
          state = State::Word;
        }
      } else if (state == State::Single || state == State::Double) {
        quoted = true;
        if (eof) throw InvalidArgument("No closing quotation");
        if (c == (state == State::Single ? '\'' : '"')) {
          state = State::Word;
        } else if (c == '\\' && state == State::Double) {
          escaped_from = state;
          state = State::Escape;
        } else {
          word += c;
        }
      } else if (state == State::Escape) {
        if (eof) throw InvalidArgument("No escaped character");
        // Inside double quotes only the quote and the backslash are escaped.
        if (escaped_from == State::Double && c != '\\' && c != '"') word += '\\';
        word += c;
        state = escaped_from;
      } else {  // State::Word
        if (eof) {
          state = State::End;
          break;
        }
        if (white(c)) {
          state = State::Between;
          break;
        }
        if (quote(c)) {
          state = quote_state(c);
        } else if (c == '\\') {
          escaped_from = State::Word;
          state = State::Escape;
        } else {
          word += c;
        }
      }
    }
    if (quoted || !word.empty()) words.push_back(std::move(word));
  }
  return words;
}

}  // namespace tavro::rivo
