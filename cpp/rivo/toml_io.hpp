// Reading and writing the project's TOML files (rivo.toml, rivo.lock).
#pragma once

#include "rivo/rivo.hpp"

namespace tavro::rivo {

// RIVO._write_toml(path, data): tomli_w when installed, else our own writer;
// the file is replaced as a whole, never left half-written.
void write_toml(nb::handle path, nb::handle data);

// tomllib, else tomli; None when neither is installed.
nb::object toml_reader();

// reader.load() of the file at path.
nb::object load_toml(nb::handle reader, nb::handle path);

}  // namespace tavro::rivo
