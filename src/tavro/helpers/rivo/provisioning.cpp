#include "rivo/rivo.hpp"

namespace tavro::rivo {

void bind_provisioning(nb::module_&, Class&) {}

}  // namespace tavro::rivo
