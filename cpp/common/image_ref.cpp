#include "common/image_ref.hpp"

#include <sstream>

namespace tavro::image {

std::string repository_of(const std::string& ref) {
  std::string repo = ref.substr(0, ref.find('@'));
  size_t slash = repo.rfind('/');
  size_t colon = repo.rfind(':');
  if (colon != std::string::npos && (slash == std::string::npos || colon > slash)) repo.resize(colon);
  return repo;
}

std::string identity_from_inspect(const std::string& image, const std::string& text) {
  std::istringstream words(text);
  std::string id, word, any;
  words >> id;
  const std::string repo = repository_of(image);
  while (words >> word) {
    size_t at = word.find('@');
    if (at == std::string::npos) continue;
    if (word.compare(0, at, repo) == 0 && at == repo.size()) return word.substr(at + 1);
    if (any.empty()) any = word.substr(at + 1);
  }
  return any.empty() ? id : any;
}

}  // namespace tavro::image
