#include "bindings/trace.hpp"

#include <optional>
#include <string_view>

#include "bindings/convert.hpp"

namespace marlune::bindings {
namespace {

using solvers::common::trace::TraceRecord;

PyObject* text_or_none(std::optional<std::string_view> s) {
  if (!s) return Py_NewRef(Py_None);
  return PyUnicode_FromStringAndSize(s->data(), static_cast<Py_ssize_t>(s->size()));
}

PyObject* float_or_none(const std::optional<double>& v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}

PyResult<PyRef> record_to_dict(const TraceRecord& r) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyErr::fetch();
  const auto set = [&](const char* key, PyObject* value) { return dict_set_steal(dict.get(), key, value); };
  MARLUNE_CHECK(set("solver", text_or_none(r.solver)));
  MARLUNE_CHECK(set("iter", PyLong_FromUnsignedLongLong(r.iter)));
  for (const auto& field : solvers::common::trace::kNumericFields) {
    MARLUNE_CHECK(set(field.key, float_or_none(r.*field.member)));
  }
  MARLUNE_CHECK(set("note", text_or_none(r.note)));
  return dict;
}

}  // namespace

PyResult<PyRef> trace_records_to_pylist(std::span<const TraceRecord> records) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return PyErr::fetch();
  for (const TraceRecord& r : records) {
    MARLUNE_TRY(PyRef dict, record_to_dict(r));
    if (PyList_Append(list.get(), dict.get()) < 0) return PyErr::fetch();
  }
  return list;
}

}  // namespace marlune::bindings
