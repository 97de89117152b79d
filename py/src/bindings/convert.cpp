#include "bindings/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#include "common/memory.hpp"

namespace marlune::bindings {
namespace {

// Elements reserved up front at most, whatever length a sequence reports.
constexpr std::size_t kReserveCap = std::size_t{1} << 20;

PyErr str_refused() { return PyErr::type_error("Can't extract `str` to `Vec`"); }

// Name of collections.abc.Sequence for the "cannot be cast" message, looked
// up once, the first time such a message is built.
PyResult<std::string> sequence_type_name() {
  static PyObject* sequence_type = nullptr;  // process lifetime, never released
  if (sequence_type == nullptr) {
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return PyErr::fetch();
    PyRef seq = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!seq) return PyErr::fetch();
    sequence_type = seq.release();
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(sequence_type, "__name__"));
  if (!name) return PyErr::fetch();
  return utf8_of(name.get());
}

// The ndarray type once NumPy has been imported by someone; nothing before.
// An object can only be an array if NumPy is loaded, so NumPy itself is
// never imported here.
PyObject* loaded_ndarray_type() {
  static PyObject* ndarray = nullptr;  // process lifetime, never released
  if (ndarray != nullptr) return ndarray;
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  if (modules == nullptr) return nullptr;
  PyObject* numpy = nullptr;
  if (PyMapping_GetOptionalItemString(modules, "numpy", &numpy) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef np = PyRef::steal(numpy);
  PyRef type = PyRef::steal(PyObject_GetAttrString(np.get(), "ndarray"));
  if (!type || !PyType_Check(type.get())) {
    PyErr_Clear();  // NumPy still initialising: not an array yet
    return nullptr;
  }
  ndarray = type.release();
  return ndarray;
}

bool is_native_float64(const Py_buffer& view) {
  if (view.itemsize != 8 || view.format == nullptr) return false;
  std::string_view fmt(view.format);
  if (fmt == "d" || fmt == "@d" || fmt == "=d") return true;
  if constexpr (std::endian::native == std::endian::little) return fmt == "<d";
  return fmt == ">d";
}

}  // namespace

PyResult<std::string> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return PyErr::fetch();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string display(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (s) {
    auto text = utf8_of(s.get());
    if (text.ok()) return std::move(text).value();
  }
  PyErr_Clear();
  return "<unprintable object>";
}

std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (name) {
    auto text = utf8_of(name.get());
    if (text.ok()) return std::move(text).value();
  }
  PyErr_Clear();
  return "?";
}

PyResult<double> to_f64(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return PyErr::fetch();
  return v;
}

PyResult<std::optional<bool>> as_bool(PyObject* obj) {
  if (obj == Py_True) return std::optional<bool>(true);
  if (obj == Py_False) return std::optional<bool>(false);
  // NumPy's boolean scalar is numpy.bool (numpy.bool_ before NumPy 2). A
  // type's __module__ is whatever its author assigned (bytes, an int, an
  // object with a hostile __eq__), so it is compared only once it is known
  // to be an exact str; anything else simply is not NumPy's boolean.
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return std::optional<bool>{};
  }
  if (!PyUnicode_CheckExact(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) {
    return std::optional<bool>{};
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return std::optional<bool>{};
  }
  const bool numpy_bool = PyUnicode_CheckExact(name.get()) && (PyUnicode_EqualToUTF8(name.get(), "bool") ||
                                                              PyUnicode_EqualToUTF8(name.get(), "bool_"));
  if (!numpy_bool) return std::optional<bool>{};
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return PyErr::fetch();
  return std::optional<bool>(truth != 0);
}

PyStatus sequence_into(PyObject* obj, Vec& out) {
  if (PyUnicode_Check(obj)) return str_refused();
  if (!PySequence_Check(obj)) {
    MARLUNE_TRY(std::string target, sequence_type_name());
    return PyErr::type_error("'" + type_name(obj) + "' object cannot be cast as '" + target + "'");
  }
  try {
    out.clear();  // keeps its capacity: a buffer reused call after call allocates nothing
    // The reported length is a hint, not a promise: a length that no vector
    // on this machine could hold is refused at once (so range(10**15) fails
    // fast instead of exhausting memory item by item), and a plausible one
    // reserves no more than a modest first block.
    const Py_ssize_t len = PySequence_Size(obj);
    if (len < 0) {
      if (auto fatal = keep_fatal(PyErr::fetch())) return std::move(*fatal);
    } else {
      const auto hint = static_cast<std::size_t>(len);
      if (hint > kReserveCap) ensure_allocatable_doubles(hint);
      out.reserve(std::min(hint, kReserveCap));
    }
    PyRef it = PyRef::steal(PyObject_GetIter(obj));
    if (!it) return PyErr::fetch();
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
      MARLUNE_TRY(double v, to_f64(item.get()));
      if (out.size() == out.capacity() && out.size() >= kReserveCap) {
        // Growing past what memory can hold would get the process killed
        // (the kernel overcommits) rather than report the failure.
        ensure_allocatable_doubles(checked_mul(out.size(), 2));
      }
      out.push_back(v);
    }
    if (PyErr_Occurred()) return PyErr::fetch();
    return ok();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
}

PyResult<Vec> sequence_to_vec(PyObject* obj) {
  Vec out;
  MARLUNE_CHECK(sequence_into(obj, out));
  return out;
}

Float64Array::~Float64Array() {
  if (view_ && held_) PyBuffer_Release(view_.get());
}

PyResult<std::optional<Float64Array>> Float64Array::from(PyObject* obj) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return std::optional<Float64Array>{};
  PyObject* ndarray = loaded_ndarray_type();
  if (ndarray == nullptr) return std::optional<Float64Array>{};
  const int is_array = PyObject_IsInstance(obj, ndarray);
  if (is_array < 0) return PyErr::fetch();
  if (is_array == 0) return std::optional<Float64Array>{};
  Float64Array out;
  out.view_ = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(obj, out.view_.get(), PyBUF_RECORDS_RO) != 0) {
    // Dtypes without a buffer form go element by element.
    if (auto fatal = keep_fatal(PyErr::fetch())) return std::move(*fatal);
    return std::optional<Float64Array>{};
  }
  out.held_ = true;
  if (out.view_->ndim > 2 || !is_native_float64(*out.view_)) return std::optional<Float64Array>{};
  return std::optional<Float64Array>(std::move(out));
}

std::size_t Float64Array::size() const {
  std::size_t count = 1;
  for (int d = 0; d < view_->ndim; ++d) count *= static_cast<std::size_t>(view_->shape[d]);
  return count;
}

std::size_t Float64Array::extent(int d) const { return static_cast<std::size_t>(view_->shape[d]); }

void Float64Array::copy_to(std::span<double> out) const {
  const char* base = static_cast<const char*>(view_->buf);
  // Exporters may leave out the strides of a C-contiguous array.
  const auto stride = [&](int d) {
    if (view_->strides) return view_->strides[d];
    return d + 1 < view_->ndim ? view_->shape[d + 1] * Py_ssize_t{8} : Py_ssize_t{8};
  };
  if (view_->ndim == 0) {
    std::memcpy(out.data(), base, 8);
  } else if (view_->ndim == 1) {
    const Py_ssize_t n = view_->shape[0], s = stride(0);
    if (s == 8) {
      std::memcpy(out.data(), base, static_cast<std::size_t>(n) * 8);
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(&out[static_cast<std::size_t>(i)], base + i * s, 8);
    }
  } else {
    // Two dimensions: row-major order of the array's own indices, whatever
    // its memory layout (a transposed view is read as the matrix it shows).
    const Py_ssize_t rows = view_->shape[0], cols = view_->shape[1], s0 = stride(0), s1 = stride(1);
    std::size_t k = 0;
    for (Py_ssize_t r = 0; r < rows; ++r) {
      const char* row = base + r * s0;
      if (s1 == 8) {
        std::memcpy(&out[k], row, static_cast<std::size_t>(cols) * 8);
        k += static_cast<std::size_t>(cols);
      } else {
        for (Py_ssize_t c = 0; c < cols; ++c) std::memcpy(&out[k++], row + c * s1, 8);
      }
    }
  }
}

namespace {

// One item of an exact list or tuple. A float needs no reference of its own
// (converting it runs no Python code); anything else is held while its
// __float__ or __index__ runs, since that code may remove it from the list.
PyResult<double> item_to_f64(PyObject* item) {
  if (PyFloat_CheckExact(item)) return PyFloat_AsDouble(item);
  PyRef held = PyRef::borrow(item);
  return to_f64(held.get());
}

// The items of an exact list or tuple, by index, as the sequence iterator
// would give them (a list that shrinks while it is read ends early, as its
// iterator would). Values go to out[i] while i < out.size(); the rest are
// converted and dropped, so a conversion error still comes before a length
// mismatch. Returns the number of items.
PyResult<std::size_t> read_list_or_tuple(PyObject* obj, std::span<double> out) {
  const bool is_list = PyList_CheckExact(obj);
  const auto size_of = [&] { return static_cast<std::size_t>(is_list ? PyList_Size(obj) : PyTuple_Size(obj)); };
  const auto item_at = [&](std::size_t i) {
    return is_list ? PyList_GetItem(obj, static_cast<Py_ssize_t>(i)) : PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i));
  };
  std::size_t size = size_of();
  std::size_t i = 0;
  // The common case: exact floats, whose conversion runs no Python code, so
  // the size cannot change while they are read.
  for (const std::size_t fast = std::min(size, out.size()); i < fast; ++i) {
    PyObject* item = item_at(i);
    if (!PyFloat_CheckExact(item)) break;
    out[i] = PyFloat_AsDouble(item);
  }
  for (; i < size; ++i, size = size_of()) {
    PyObject* item = item_at(i);
    if (item == nullptr) return PyErr::fetch();
    MARLUNE_TRY(double v, item_to_f64(item));
    if (i < out.size()) out[i] = v;
  }
  return i;
}

}  // namespace

PyResult<std::size_t> extract_vec1_into(PyObject* obj, std::span<double> out, Vec& spill) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return read_list_or_tuple(obj, out);
  MARLUNE_TRY(std::optional<Float64Array> array, Float64Array::from(obj));
  if (array && array->ndim() == 1) {
    const std::size_t k = array->size();
    if (k == out.size()) array->copy_to(out);
    return k;
  }
  MARLUNE_CHECK(sequence_into(obj, spill));
  if (spill.size() == out.size()) std::copy(spill.begin(), spill.end(), out.begin());
  return spill.size();
}

PyResult<Vec> extract_vec1(PyObject* obj) {
  MARLUNE_TRY(std::optional<Float64Array> array, Float64Array::from(obj));
  if (array && array->ndim() == 1) {
    Vec out(array->size());
    array->copy_to(out);
    return out;
  }
  return sequence_to_vec(obj);
}

PyStatus dict_set_steal(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned || PyDict_SetItemString(dict, key, owned.get()) < 0) return PyErr::fetch();
  return ok();
}

PyResult<PyRef> vec_to_list(std::span<const double> v) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return PyErr::fetch();
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(v[i]);
    if (item == nullptr) return PyErr::fetch();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

}  // namespace marlune::bindings
