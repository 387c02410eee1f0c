// Raising Python exceptions from C++: one way for each kind. Each sets the
// Python error indicator and throws nb::python_error, so C++ callers can
// catch and inspect it like an error raised by Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <string>

#include "common/errors.hpp"

namespace tavro::py {
namespace nb = nanobind;

// raise type(message), the message a str object (or a UTF-8 C string).
[[noreturn]] void raise(PyObject* type, nb::handle message);
[[noreturn]] void raise(PyObject* type, const char* message);

// raise exc: an exception instance built in C++, raised as it is.
[[noreturn]] void raise_instance(nb::handle exc);

// The Python exception a failure of the core stands for, built as the
// registered translation raises it: OsError -> OSError(errno, strerror,
// filename[, None, filename2]) (so FileNotFoundError, PermissionError, ...),
// proc::TimedOut -> subprocess.TimeoutExpired(cmd, timeout),
// InvalidArgument -> ValueError, Refused -> PermissionError, a Python
// error -> its own exception, any other std::exception -> RuntimeError.
nb::object exception_object(const std::exception& e);

// Registers the translation of the core's typed errors (once per module).
void register_translators();

}  // namespace tavro::py
