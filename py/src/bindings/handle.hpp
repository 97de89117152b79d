#pragma once
// PyRef: the one owning handle for PyObject*. Whether a pointer is a new or a
// borrowed reference is stated at the point it enters a PyRef (steal/borrow),
// so every path releases exactly what it owns.

#include <Python.h>

#include <utility>

namespace marlune::bindings {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  // Takes ownership of a new reference (may be null).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  // Takes a new reference to a borrowed pointer (may be null).
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up ownership; the caller now owns the reference.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace marlune::bindings
