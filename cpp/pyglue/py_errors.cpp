#include "pyglue/py_errors.hpp"

#include <cstring>

#include "common/process.hpp"

#include "pyglue/pyglue.hpp"

namespace tavro::py {

namespace {

nb::object os_error(int err, const std::string& filename, const std::string& filename2) {
  nb::object msg = nb::str(std::strerror(err));
  if (filename.empty()) return nb::handle(PyExc_OSError)(err, msg);
  if (filename2.empty()) return nb::handle(PyExc_OSError)(err, msg, fs_decode(filename));
  return nb::handle(PyExc_OSError)(err, msg, fs_decode(filename), nb::none(), fs_decode(filename2));
}

}  // namespace

void raise(PyObject* type, nb::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}

void raise_instance(nb::handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw nb::python_error();
}


nb::object exception_object(const std::exception& e) {
  if (auto* pe = dynamic_cast<const nb::python_error*>(&e)) return nb::borrow(pe->value());
  if (auto* oe = dynamic_cast<const OsError*>(&e)) return os_error(oe->err(), oe->path(), oe->path2());
  if (auto* t = dynamic_cast<const proc::TimedOut*>(&e)) {
    nb::list cmd;
    for (const auto& a : t->argv) cmd.append(fs_decode(a));
    // An integral limit reads "after 60 seconds", as subprocess says it.
    nb::object limit = t->timeout == static_cast<double>(static_cast<long long>(t->timeout))
                           ? nb::object(nb::int_(static_cast<long long>(t->timeout)))
                           : nb::object(nb::float_(t->timeout));
    return module_attr("subprocess", "TimeoutExpired")(cmd, limit);
  }
  PyObject* type = dynamic_cast<const InvalidArgument*>(&e) ? PyExc_ValueError
                   : dynamic_cast<const Refused*>(&e)       ? PyExc_PermissionError
                                                            : PyExc_RuntimeError;
  return nb::handle(type)(fs_decode(e.what()));
}

namespace {

void set_error(const std::exception& e) {
  nb::object exc = exception_object(e);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

}  // namespace

void register_translators() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    // Any other type goes on to nanobind's own translations.
    try {
      std::rethrow_exception(p);
    } catch (const OsError& e) {
      set_error(e);
    } catch (const proc::TimedOut& e) {
      set_error(e);
    } catch (const InvalidArgument& e) {
      set_error(e);
    } catch (const Refused& e) {
      set_error(e);
    }
  });
}

}  // namespace tavro::py
