#include "rivo/core/names.hpp"

#include "common/path.hpp"
#include "rivo/core/errors.hpp"

namespace tavro::rivo {

void require_single_component(const std::string& name, const char* subject) {
  if (!fs::is_single_component(name))
    throw BadName(subject, name,
                  "it must be a single path component (not empty, '.' or '..', and without '/' or NUL)");
}

bool is_project_name(std::string_view name) {
  return name == "rivo.toml" || name == "rivo.lock" || name == ".rivo";
}

bool is_reserved_slot_name(std::string_view name) { return is_project_name(name) || name == "_extras"; }

}  // namespace tavro::rivo
