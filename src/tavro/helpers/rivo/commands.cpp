#include "rivo/rivo.hpp"

namespace tavro::rivo {

void bind_commands(nb::module_&, Class&) {}

}  // namespace tavro::rivo
