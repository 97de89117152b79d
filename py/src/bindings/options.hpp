#pragma once
// PyOptions: reads one options group ("options" or "debug") of one call.
// Unknown keys are refused up front; values are converted by typed getters,
// and a value of the wrong type fails with "{context}: invalid {group}.{key}".

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
  // "{context}: invalid {group}.{key}", for a value read with py() that
  // turns out to be of the wrong type.
  PyErr invalid(const char* key) const;

 private:
  PyOptions(const char* context, const char* group, PyRef dict)
      : context_(context), group_(group), dict_(std::move(dict)) {}

  // Looks the key up: the value, or a null handle when absent.
  PyResult<PyRef> lookup(const char* key) const;

  const char* context_;
  const char* group_;
  PyRef dict_;
};

// A text option among fixed choices, compared byte for byte: no case
// folding and no trimming, so "Adaptive" and " fixed" are refused. An absent
// text takes `fallback`; any other text fails with ValueError
// "{message_prefix}{text}'".
template <class E, std::size_t N>
PyResult<E> parse_choice(const std::optional<std::string>& text, std::string_view fallback,
                         const std::pair<std::string_view, E> (&choices)[N], std::string_view message_prefix) {
  const std::string_view value = text ? std::string_view(*text) : fallback;
  for (const auto& [name, e] : choices) {
    if (value == name) return e;
  }
  return PyErr::value_error(std::string(message_prefix) + std::string(value) + "'");
}

// A range check's verdict as a Python result: the value, or ValueError with
// the check's message.
template <class T>
PyResult<T> checked(const validation::Checked<T>& verdict) {
  if (verdict) return verdict.value();
  return PyErr::value_error(verdict.error());
}

}  // namespace marlune::bindings
