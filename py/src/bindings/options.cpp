#include "bindings/options.hpp"

#include <algorithm>

#include "bindings/convert.hpp"

namespace marlune::bindings {

PyResult<PyOptions> PyOptions::from_python(const char* context, const char* group, PyObject* value,
                                           std::initializer_list<std::string_view> allowed_keys) {
  if (value == nullptr) return PyOptions(context, group, PyRef());
  if (!PyDict_Check(value)) {
    return PyErr::value_error(std::string(context) + ": " + group + " must be a dict");
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(value, &pos, &key, &item)) {
    if (!PyUnicode_Check(key)) {
      return PyErr::type_error("'" + type_name(key) + "' object cannot be cast as 'str'");
    }
    MARLUNE_TRY(std::string name, utf8_of(key));
    if (std::ranges::find(allowed_keys, name) == allowed_keys.end()) {
      return PyErr::value_error(std::string(context) + ": unknown " + group + " key '" + name + "'");
    }
  }
  return PyOptions(context, group, PyRef::borrow(value));
}

PyResult<PyRef> PyOptions::lookup(const char* key) const {
  if (!dict_) return PyRef();
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  if (!name) return PyErr::fetch();
  PyObject* found = nullptr;
  const int status = PyDict_GetItemRef(dict_.get(), name.get(), &found);
  if (status < 0) return PyErr::fetch();
  return PyRef::steal(found);  // null when missing
}

PyErr PyOptions::invalid(const char* key) const {
  return PyErr::value_error(std::string(context_) + ": invalid " + group_ + "." + key);
}

PyResult<PyRef> PyOptions::py(const char* key) const { return lookup(key); }

PyResult<std::optional<double>> PyOptions::f64(const char* key) const {
  MARLUNE_TRY(PyRef value, lookup(key));
  if (!value) return std::optional<double>{};
  auto converted = to_f64(value.get());
  if (!converted.ok()) {
    if (auto fatal = keep_fatal(converted.take_error())) return std::move(*fatal);
    return invalid(key);  // the conversion's own error is dropped
  }
  return std::optional<double>(converted.value());
}

PyResult<std::optional<bool>> PyOptions::boolean(const char* key) const {
  MARLUNE_TRY(PyRef value, lookup(key));
  if (!value) return std::optional<bool>{};
  auto converted = as_bool(value.get());
  if (!converted.ok()) {
    if (auto fatal = keep_fatal(converted.take_error())) return std::move(*fatal);
    return invalid(key);
  }
  if (!converted.value()) return invalid(key);
  return converted.value();
}

PyResult<std::optional<std::uint64_t>> PyOptions::usize(const char* key) const {
  MARLUNE_TRY(PyRef value, lookup(key));
  if (!value) return std::optional<std::uint64_t>{};
  // Integers and objects with __index__ only: floats are refused even when
  // integral, so 10.0 is as invalid as -1.
  if (!PyLong_Check(value.get()) && !PyIndex_Check(value.get())) return invalid(key);
  PyRef index = PyRef::steal(PyNumber_Index(value.get()));
  if (!index) {
    if (auto fatal = keep_fatal(PyErr::fetch())) return std::move(*fatal);
    return invalid(key);
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return invalid(key);
  }
  return std::optional<std::uint64_t>(static_cast<std::uint64_t>(n));
}

PyResult<std::optional<std::string>> PyOptions::string(const char* key) const {
  MARLUNE_TRY(PyRef value, lookup(key));
  if (!value) return std::optional<std::string>{};
  if (!PyUnicode_Check(value.get())) return invalid(key);
  auto text = utf8_of(value.get());
  if (!text.ok()) return invalid(key);
  return std::optional<std::string>(std::move(text).value());
}

}  // namespace marlune::bindings
