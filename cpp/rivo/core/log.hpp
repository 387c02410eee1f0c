// Log records of the tool runner's core. The core never formats a record:
// it hands the printf-style template and plain arguments to a Log, which the
// Python binding forwards to the module's `logger` (so handlers and filters
// see the real record) and a C++ caller may print or ignore.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace tavro::rivo {

enum class Level : int { Debug = 10, Info = 20, Warning = 30 };

// One argument of a record: a text (a path, a name) or a list of them (an
// argument vector), in file-system spelling.
using LogArg = std::variant<std::string, std::vector<std::string>>;

class Log {
 public:
  virtual ~Log() = default;
  // Asked first, so that nothing is built for a disabled level.
  virtual bool enabled(Level level) = 0;
  virtual void write(Level level, const char* fmt, const std::vector<LogArg>& args) = 0;

  // The arguments are copied only when the level is enabled.
  template <class... A>
  void debug(const char* fmt, const A&... a) { emit(Level::Debug, fmt, a...); }
  template <class... A>
  void info(const char* fmt, const A&... a) { emit(Level::Info, fmt, a...); }
  template <class... A>
  void warning(const char* fmt, const A&... a) { emit(Level::Warning, fmt, a...); }

 private:
  template <class... A>
  void emit(Level level, const char* fmt, const A&... a) {
    if (enabled(level)) write(level, fmt, std::vector<LogArg>{LogArg(a)...});
  }
};

// A Log that keeps nothing.
class NoLog final : public Log {
 public:
  bool enabled(Level) override { return false; }
  void write(Level, const char*, const std::vector<LogArg>&) override {}
};

}  // namespace tavro::rivo
