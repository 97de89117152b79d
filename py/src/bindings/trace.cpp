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
  MARLUNE_CHECK(set("f", float_or_none(r.f)));
  MARLUNE_CHECK(set("cost", float_or_none(r.cost)));
  MARLUNE_CHECK(set("r_norm", float_or_none(r.r_norm)));
  MARLUNE_CHECK(set("grad_norm", float_or_none(r.grad_norm)));
  MARLUNE_CHECK(set("dx_norm", float_or_none(r.dx_norm)));
  MARLUNE_CHECK(set("step_size", float_or_none(r.step_size)));
  MARLUNE_CHECK(set("alpha", float_or_none(r.alpha)));
  MARLUNE_CHECK(set("lambda", float_or_none(r.lambda)));
  MARLUNE_CHECK(set("dphi0", float_or_none(r.dphi0)));
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
