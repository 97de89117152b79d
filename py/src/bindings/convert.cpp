#include "bindings/convert.hpp"

#include <bit>
#include <cstring>
#include <string_view>

namespace marlune::bindings {
namespace {

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

// Reads a 1-D float64 array in element order (any stride). Returns nothing
// when obj is not such an array, so the caller takes the generic path.
PyResult<std::optional<Vec>> read_float64_array(PyObject* obj) {
  PyObject* ndarray = loaded_ndarray_type();
  if (ndarray == nullptr) return std::optional<Vec>{};
  const int is_array = PyObject_IsInstance(obj, ndarray);
  if (is_array < 0) return PyErr::fetch();
  if (is_array == 0) return std::optional<Vec>{};
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // dtypes without a buffer form go element by element
    return std::optional<Vec>{};
  }
  std::optional<Vec> out;
  if (view.ndim == 1 && is_native_float64(view)) {
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : 8;
    out.emplace(static_cast<std::size_t>(n));
    const char* base = static_cast<const char*>(view.buf);
    if (stride == 8) {
      std::memcpy(out->data(), base, static_cast<std::size_t>(n) * 8);
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(&(*out)[i], base + i * stride, 8);
    }
  }
  PyBuffer_Release(&view);
  return out;
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
  // NumPy's boolean scalar is numpy.bool (numpy.bool_ before NumPy 2).
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!module || !name) {
    PyErr_Clear();
    return std::optional<bool>{};
  }
  const bool numpy_bool = PyUnicode_EqualToUTF8(module.get(), "numpy") &&
                          (PyUnicode_EqualToUTF8(name.get(), "bool") ||
                           PyUnicode_EqualToUTF8(name.get(), "bool_"));
  if (!numpy_bool) return std::optional<bool>{};
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return PyErr::fetch();
  return std::optional<bool>(truth != 0);
}

PyResult<Vec> sequence_to_vec(PyObject* obj) {
  if (PyUnicode_Check(obj)) return str_refused();
  if (!PySequence_Check(obj)) {
    MARLUNE_TRY(std::string target, sequence_type_name());
    return PyErr::type_error("'" + type_name(obj) + "' object cannot be cast as '" + target + "'");
  }
  Vec out;
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) {
    PyErr_Clear();  // the length is only a size hint
  } else {
    out.reserve(static_cast<std::size_t>(len));
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return PyErr::fetch();
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    MARLUNE_TRY(double v, to_f64(item.get()));
    out.push_back(v);
  }
  if (PyErr_Occurred()) return PyErr::fetch();
  return out;
}

PyResult<Vec> extract_vec1(PyObject* obj) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return sequence_to_vec(obj);
  MARLUNE_TRY(std::optional<Vec> array, read_float64_array(obj));
  if (array) return std::move(*array);
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
