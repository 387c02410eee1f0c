#include "linkwell/store.hpp"

#include <sys/stat.h>

#include "common/fileops.hpp"

namespace tavro::linkwell::store {

std::optional<std::string> read_if_exists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return read(path);
}

std::string read(const std::string& path) { return fs::read_file(path); }

void write(const std::string& path, const std::string& data) { fs::write_file(path, data); }

void replace(const std::string& path, const std::string& data) { fs::replace_file(path, data); }

std::string universal_newlines(std::string s) {
  if (s.find('\r') == std::string::npos) return s;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace tavro::linkwell::store
