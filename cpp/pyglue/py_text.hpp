// str <-> UTF-8 bytes for the text algorithms of the C++ core. surrogatepass
// keeps every str (lone surrogates from undecodable file names included) and
// turns the bytes back into the very same str.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace tavro::py {
namespace nb = nanobind;

std::string text_bytes(nb::handle str);
nb::str bytes_text(const std::string& bytes);

// Strict UTF-8 both ways, for text that must be valid (files we write and
// read back, TOML): UnicodeEncodeError / UnicodeDecodeError otherwise.
std::string utf8_bytes(nb::handle str);
nb::str utf8_text(const std::string& bytes);

}  // namespace tavro::py
