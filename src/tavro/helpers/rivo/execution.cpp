#include "rivo/rivo.hpp"

namespace tavro::rivo {

void bind_execution(nb::module_&, Class&) {}

}  // namespace tavro::rivo
