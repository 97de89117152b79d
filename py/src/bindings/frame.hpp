#pragma once
// The call frame shared by the entry points: argument binding with the
// interpreter's own messages, and the conversion of internal failures into
// PanicException so that no C++ exception ever reaches the interpreter.

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <span>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

// A signature of the shape f(p0, ..., p{positional-1}, *, kw...): the first
// `positional` names may be given by position, the first `required` of them
// have no default, the rest are keyword-only with default None.
struct Signature {
  const char* name;                  // function name, as in "gd()"
  std::span<const char* const> params;
  std::size_t positional;
  std::size_t required;
};

// Binds fast-call arguments to `bound` (one borrowed pointer per parameter,
// null when not given). On a binding error, returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);

// x0 conversion errors: a plain TypeError is re-raised as
// "argument 'x0': <message>" keeping its cause; other errors pass unchanged.
PyErr argument_error(const char* arg_name, PyErr err);

// The process-wide PanicException class (derived from BaseException).
PyObject* panic_exception_type();

// Sets PanicException(message) as the current exception. If even that fails
// the process cannot continue safely and is terminated.
void raise_panic(const char* message);

// Runs body() (returning PyResult<PyRef>) and turns its outcome into what the
// interpreter expects: a new reference, or null with an exception set.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  try {
    PyResult<PyRef> result = body();
    if (!result.ok()) {
      result.take_error().restore();
      return nullptr;
    }
    return std::move(result).value().release();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // running out of memory is not a bug in marlune
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal failure");
  }
  return nullptr;
}

}  // namespace marlune::bindings
