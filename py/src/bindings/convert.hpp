#pragma once
// Conversions of values crossing the module boundary. Vectors cross only by
// copy: lists handed to callables are new, results are copied out.

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

using Vec = std::vector<double>;

// Any sequence of numbers (items through the interpreter's float
// conversion); text is refused. Used for x0.
PyResult<Vec> sequence_to_vec(PyObject* obj);
// The same into `out` (cleared first, its capacity kept).
PyStatus sequence_into(PyObject* obj, Vec& out);

// A callable's vector result. A 1-D float64 NumPy array is read in one pass
// through the buffer protocol (so no NumPy build is linked against and the
// module works without NumPy); everything else goes through sequence_to_vec.
PyResult<Vec> extract_vec1(PyObject* obj);

// A NumPy array of native float64 held through the buffer protocol (no NumPy
// build is linked against, so the module works without NumPy). Only arrays
// of at most two dimensions are read.
class Float64Array {
 public:
  // The array view when obj is a native-float64 NumPy array (NumPy must
  // already be imported by someone: an object cannot be an array otherwise),
  // nothing for every other object.
  static PyResult<std::optional<Float64Array>> from(PyObject* obj);

  Float64Array(Float64Array&&) noexcept = default;
  Float64Array& operator=(Float64Array&&) noexcept = default;
  ~Float64Array();

  int ndim() const { return view_->ndim; }
  std::size_t extent(int d) const;
  std::size_t size() const;  // number of elements
  // Copies every element (0 to 2 dimensions) into out[0..size()), in the
  // row-major order of the array's indices.
  void copy_to(std::span<double> out) const;

 private:
  Float64Array() = default;
  // Held by pointer: an exporter may point shape or strides into the
  // Py_buffer itself, so the struct must never move while it is held.
  std::unique_ptr<Py_buffer> view_;
  bool held_ = false;
};

// extract_vec1 into a caller-owned buffer: converts obj exactly as
// extract_vec1 does (same conversions, same errors, in the same order) and
// returns the number of values k it holds. When k == out.size() the values
// are in `out`; otherwise `out` holds garbage and the caller reports the
// length mismatch. Exact lists and tuples and float64 arrays are read
// straight into `out`; other sequences go through `spill`, a buffer the
// caller keeps for the whole run so that nothing is allocated per call.
PyResult<std::size_t> extract_vec1_into(PyObject* obj, std::span<double> out, Vec& spill);

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
