// The translations of the core's own failures into Python exceptions.
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

nb::str unstageable_message(const Unstageable& e) {
  return nb::str("Input {!r} cannot be staged: {!r} is {}, not a regular file or directory (nothing was copied)")
      .format(py::fs_decode(e.slot), py::fs_decode(e.source), e.kind);
}

}  // namespace

nb::str bad_name_message(const std::string& subject, nb::handle shown, const std::string& rule) {
  return nb::str("Invalid {} {}: {}").format(subject.c_str(), shown, rule.c_str());
}

nb::object failure_object(const CommandFailed& failure) {
  if (std::exception_ptr origin = failure.origin()) {
    try {
      std::rethrow_exception(origin);
    } catch (nb::python_error& e) {
      return nb::borrow(e.value());
    } catch (...) {
    }
  }
  // Made now and kept, so the failure is always this very object. Restored
  // rather than raised: it takes its context when it is raised.
  nb::object exc = nb::handle(PyExc_RuntimeError)(py::decode_lossless(failure.text()));
  PyErr_Restore(nb::handle(PyExc_RuntimeError).inc_ref().ptr(), exc.inc_ref().ptr(), nullptr);
  failure.set_origin(std::make_exception_ptr(nb::python_error()));
  return exc;
}

void raise_failure(const CommandFailed& failure) {
  nb::object exc = failure_object(failure);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
  if (const CommandFailed* context = failure.context()) {
    nb::object ctx = failure_object(*context);
    Handling handling(ctx);
    PyErr_SetObject(type, exc.ptr());
  } else {
    PyErr_SetObject(type, exc.ptr());
  }
  if (failure.context_suppressed()) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyException_SetCause(v, nullptr);  // also sets __suppress_context__
    PyErr_Restore(t, v, tb);
  }
  throw nb::python_error();
}

void bind_errors(nb::module_&) {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const BadName& e) {
      PyErr_SetObject(PyExc_ValueError, bad_name_message(e.subject, nb::repr(py::fs_decode(e.name)), e.rule).ptr());
    } catch (const Unstageable& e) {
      PyErr_SetObject(PyExc_ValueError, unstageable_message(e).ptr());
    } catch (const CommandFailed& e) {
      try {
        raise_failure(e);
      } catch (nb::python_error& pe) {
        pe.restore();
      }
    }
  });
}

}  // namespace tavro::rivo
