// Raising Python exceptions from C++: one way for each kind. Each sets the
// Python error indicator and throws nb::python_error, so C++ callers can
// catch and inspect it like an error raised by Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/errors.hpp"

namespace tavro::py {
namespace nb = nanobind;

// raise type(message), the message a str object (or a UTF-8 C string).
[[noreturn]] void raise(PyObject* type, nb::handle message);
[[noreturn]] void raise(PyObject* type, const char* message);

// raise exc: an exception instance built in C++, raised as it is.
[[noreturn]] void raise_instance(nb::handle exc);

// Raise OSError(errno, strerror(errno), filename[, None, filename2]).
[[noreturn]] void raise_os_error(int err, const std::string& filename = {},
                                 const std::string& filename2 = {});
// The same for a failure of the core.
[[noreturn]] void raise_os_error(const OsError& e);

// subprocess.TimeoutExpired(cmd, timeout), as subprocess.run raises it.
[[noreturn]] void raise_timeout_expired(nb::handle cmd, nb::handle timeout);

}  // namespace tavro::py
