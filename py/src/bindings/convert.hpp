#pragma once
// Conversions of values crossing the module boundary. Vectors cross only by
// copy: lists handed to callables are new, results are copied out.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

using Vec = std::vector<double>;

// Any sequence of numbers (items through the interpreter's float
// conversion); text is refused. Used for x0.
PyResult<Vec> sequence_to_vec(PyObject* obj);

// A callable's vector result. A 1-D float64 NumPy array is read in one pass
// through the buffer protocol (so no NumPy build is linked against and the
// module works without NumPy); everything else goes through sequence_to_vec.
PyResult<Vec> extract_vec1(PyObject* obj);

// A new list of floats.
PyResult<PyRef> vec_to_list(std::span<const double> v);

// The interpreter's float conversion (float, int, __float__, __index__).
PyResult<double> to_f64(PyObject* obj);

// A Python bool or a NumPy boolean scalar gives its value; anything else
// gives nothing (ints are not booleans here).
PyResult<std::optional<bool>> as_bool(PyObject* obj);

// callable(arg); null with the error raised on failure.
inline PyObject* call1(PyObject* callable, PyObject* arg) {
  PyObject* args[2] = {nullptr, arg};
  return PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// dict[key] = value, taking ownership of `value` (which may be null after a
// failed creation: the pending error is then returned).
PyStatus dict_set_steal(PyObject* dict, const char* key, PyObject* value);

// UTF-8 text of a str object; fails like the interpreter's own conversion.
PyResult<std::string> utf8_of(PyObject* str);

// str(obj) as UTF-8 text; an unprintable object gives a placeholder.
std::string display(PyObject* obj);

// The __name__ of obj's type.
std::string type_name(PyObject* obj);

}  // namespace marlune::bindings
