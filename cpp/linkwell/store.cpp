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

void replace(const std::string& path, const std::string& data) { fs::publish_bytes(path, data); }

}  // namespace tavro::linkwell::store
