#pragma once
// PyOptions: reads one options group ("options" or "debug") of one call.
// Unknown keys are refused up front; values are converted by typed getters,
// and a value of the wrong type fails with "{context}: invalid {group}.{key}".

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"
#include "bindings/validation.hpp"

namespace marlune::bindings {

class PyOptions {
 public:
  // `value` is the argument as received: null when absent (None counts as
  // absent and is mapped to null by the caller).
  static PyResult<PyOptions> from_python(const char* context, const char* group, PyObject* value,
                                         std::initializer_list<std::string_view> allowed_keys);

  // Each getter returns nothing when there is no dict or the key is missing.
  PyResult<std::optional<double>> f64(const char* key) const;
  PyResult<std::optional<bool>> boolean(const char* key) const;
  PyResult<std::optional<std::uint64_t>> usize(const char* key) const;
  PyResult<std::optional<std::string>> string(const char* key) const;
  // The raw value, None included; a null handle when absent.
  PyResult<PyRef> py(const char* key) const;

 private:
  PyOptions(const char* context, const char* group, PyRef dict)
      : context_(context), group_(group), dict_(std::move(dict)) {}

  // Looks the key up: the value, or a null handle when absent.
  PyResult<PyRef> lookup(const char* key) const;
  PyErr invalid(const char* key) const;

  const char* context_;
  const char* group_;
  PyRef dict_;
};

// A range check's verdict as a Python result: the value, or ValueError with
// the check's message.
template <class T>
PyResult<T> checked(const validation::Checked<T>& verdict) {
  if (verdict) return verdict.value();
  return PyErr::value_error(verdict.error());
}

}  // namespace marlune::bindings
