// Python-side glue shared by every extension module: exact argument type
// checks, the bridge to `logging`, error translation and small conversions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/process.hpp"
#include "pyglue/py_errors.hpp"
#include "pyglue/py_text.hpp"

namespace tavro::py {
namespace nb = nanobind;

enum Level : int { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

// Raises TypeError("Argument 'NAME' has incorrect type (expected str, got int)")
// unless type(obj) is exactly `expected` (or obj is None and `optional`).
void require_type(nb::handle obj, PyTypeObject* expected, const char* name, bool optional = false);
inline void require_str(nb::handle o, const char* name, bool optional = false) {
  require_type(o, &PyUnicode_Type, name, optional);
}
inline void require_dict(nb::handle o, const char* name, bool optional = false) {
  require_type(o, &PyDict_Type, name, optional);
}
inline void require_list(nb::handle o, const char* name, bool optional = false) {
  require_type(o, &PyList_Type, name, optional);
}

// TypeError("Expected %s, got %.200s") for declared return types.
void require_return(nb::handle obj, PyTypeObject* expected, bool allow_none = true);

// Logging through the `logger` attribute of the module named `logger` (so
// replacing that attribute redirects the module's records), or through
// logging.getLogger of that name when the module has no such attribute. The
// template and its arguments go to the logger unformatted, and nothing is
// built when the level is disabled.
bool log_enabled(const char* logger, int level);
void log_args(const char* logger, int level, const char* fmt, nb::tuple args);
template <class... A>
void log(const char* logger, int level, const char* fmt, A&&... a) {
  // An accessor (x.attr("y"), x[i]) that fails while the arguments are
  // converted leaves the Python error set for the next one: evaluate such
  // arguments into locals first.
  static_assert((!nb::detail::is_accessor_v<std::decay_t<A>> && ...),
                "evaluate accessors into nb::object locals before passing them");
  if (!log_enabled(logger, level)) return;
  log_args(logger, level, fmt, nb::make_tuple(std::forward<A>(a)...));
}

// float(obj) as a C++ double, with Python's own errors (TypeError,
// OverflowError for an int beyond the float range) instead of a C++ one.
inline double as_double(nb::handle obj) {
  double d = PyFloat_AsDouble(obj.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

// `key in container`, with Python semantics.
inline bool contains(nb::handle container, nb::handle key) {
  int r = PySequence_Contains(container.ptr(), key.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}
inline bool contains(nb::handle container, const char* key) { return contains(container, nb::str(key)); }

// Python truth value.
inline bool truthy(nb::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}

// isinstance(obj, cls), with Python semantics.
inline bool is_instance(nb::handle obj, nb::handle cls) {
  int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}

// A new dict with the items of `mapping` (Python's dict(mapping)); nb::dict(h)
// would only re-label the object, never copy it.
inline nb::dict new_dict(nb::handle mapping) {
  return nb::borrow<nb::dict>(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(mapping));
}

// Imports `module` and returns its attribute `name` at call time, so tests
// and hosts can monkeypatch module-level helpers.
nb::object module_attr(const char* module, const char* name);

// Converts a Python str (or path-like) to a file-system string the way
// os.fsencode does (surrogateescape), and back.
std::string fs_encode(nb::handle obj);
nb::str fs_decode(const std::string& s);
// The file-system spelling of a str that may name a file, or nothing when it
// cannot be a file name at all (no encoding, such as a lone surrogate, or a
// NUL inside): os.path.exists, isdir and isfile answer False for those.
std::optional<std::string> fs_path_or_none(nb::handle s);
// bytes -> str with UTF-8 + surrogateescape: every byte sequence decodes and
// re-encodes to the very same bytes.
nb::str decode_lossless(const std::string& s);
nb::bytes to_bytes(const std::string& s);

// Python argument sequence / environment mapping -> what the core takes.
// Elements go through os.fsencode, so str, bytes and path-likes all work and
// anything else raises the TypeError subprocess would (the executor checks
// the environment's names and values as subprocess does).
std::vector<std::string> to_argv(nb::handle seq);
std::vector<std::pair<std::string, std::string>> to_env_pairs(nb::handle mapping);

// Runs `work(abort)` with the GIL released. `abort` is a hook the core polls
// while it waits: it reports a pending Python signal (Ctrl-C), after which
// the core throws tavro::Aborted and the Python exception is raised here.
template <class F>
auto without_gil(F&& work) {
  std::optional<nb::python_error> pending;
  std::function<bool()> abort = [&pending]() {
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
      pending.emplace();
      return true;
    }
    return false;
  };
  try {
    nb::gil_scoped_release nogil;
    return work(abort);
  } catch (const Aborted&) {
    if (pending) throw std::move(*pending);
    throw;
  }
}

// Runs `work()` for a best-effort step. An ordinary failure (a Python
// Exception, or a core error: OsError, proc::TimedOut, InvalidArgument,
// Refused) comes back as the Python exception it stands for, to be logged;
// anything else (KeyboardInterrupt, SystemExit, a pending signal) goes on
// up. An invalid object: no failure.
template <class F>
nb::object failure_of(F&& work) {
  try {
    work();
    return nb::object();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::borrow(e.value());
  } catch (const OsError& e) {
    return exception_object(e);
  } catch (const proc::TimedOut& e) {
    return exception_object(e);
  } catch (const InvalidArgument& e) {
    return exception_object(e);
  } catch (const Refused& e) {
    return exception_object(e);
  }
}

// Gives the class `cls` a __signature__ built from the text signature of its
// __init__, so inspect.signature(cls) (IDEs, notebooks) shows the constructor's
// parameters. nanobind's function objects take no attributes, so their own
// signatures are readable only from their docstrings' first lines.
void expose_signature(nb::handle cls);

}  // namespace tavro::py
