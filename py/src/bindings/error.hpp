#pragma once
// PyErr: an owned Python exception taken off (or destined for) the
// interpreter's error indicator. PyResult<T>: a value or a PyErr.

#include <Python.h>

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "bindings/handle.hpp"

namespace marlune::bindings {

class PyErr {
 public:
  // Takes the currently raised exception off the indicator. If nothing is
  // raised (a C API contract broken somewhere), a SystemError stands in.
  static PyErr fetch() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
      exc = PyErr_GetRaisedException();
    }
    return PyErr(PyRef::steal(exc));
  }

  // A new exception of `type` with `message`.
  static PyErr new_err(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return fetch();
  }
  static PyErr value_error(std::string_view message) { return new_err(PyExc_ValueError, message); }
  static PyErr type_error(std::string_view message) { return new_err(PyExc_TypeError, message); }

  // Puts the exception back on the indicator (the caller then returns null).
  void restore() && { PyErr_SetRaisedException(exc_.release()); }

  PyObject* exception() const { return exc_.get(); }

  // True for the exceptions a conversion must never swallow. Where a failed
  // conversion is discarded by design (an option of the wrong type, a policy
  // result tried in several forms, a length hint), these are passed on
  // instead: the exceptions that are not Exceptions (KeyboardInterrupt,
  // SystemExit, GeneratorExit: swallowing one would lose a Ctrl-C or an exit
  // request), MemoryError and RecursionError (the interpreter is in trouble,
  // not the value), and StopIteration (outside an iterator's own __next__ it
  // is a bug in the caller's code, never the answer "not a number").
  bool is_fatal() const {
    PyObject* e = exc_.get();
    return !PyErr_GivenExceptionMatches(e, PyExc_Exception) || PyErr_GivenExceptionMatches(e, PyExc_MemoryError) ||
           PyErr_GivenExceptionMatches(e, PyExc_RecursionError) ||
           PyErr_GivenExceptionMatches(e, PyExc_StopIteration);
  }

 private:
  explicit PyErr(PyRef exc) : exc_(std::move(exc)) {}
  PyRef exc_;
};

// The error when it must not be discarded (see PyErr::is_fatal), or nothing
// when the caller may drop it.
inline std::optional<PyErr> keep_fatal(PyErr err) {
  if (err.is_fatal()) return std::optional<PyErr>(std::move(err));
  return std::nullopt;
}

template <class T>
class [[nodiscard]] PyResult {
 public:
  PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  PyResult(PyErr err) : v_(std::in_place_index<1>, std::move(err)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  PyErr take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, PyErr> v_;
};

struct Unit {};
using PyStatus = PyResult<Unit>;
inline PyStatus ok() { return Unit{}; }

// Early return of the error of an expression yielding a PyResult; binds the
// value otherwise: MARLUNE_TRY(auto v, expr);
#define MARLUNE_CONCAT_INNER(a, b) a##b
#define MARLUNE_CONCAT(a, b) MARLUNE_CONCAT_INNER(a, b)
#define MARLUNE_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                      \
  if (!tmp.ok()) return tmp.take_error(); \
  decl = std::move(tmp).value()
#define MARLUNE_TRY(decl, expr) MARLUNE_TRY_IMPL(MARLUNE_CONCAT(marlune_try_, __LINE__), decl, expr)
// Same, for a PyStatus whose value is not needed.
#define MARLUNE_CHECK(expr)                                            \
  do {                                                                 \
    auto marlune_status_ = (expr);                                     \
    if (!marlune_status_.ok()) return marlune_status_.take_error();    \
  } while (0)

}  // namespace marlune::bindings
