// The marlune extension module: module object, the three entry points and
// their call frames.

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "bindings/convert.hpp"
#include "bindings/frame.hpp"
#include "bindings/gd.hpp"
#include "bindings/gn.hpp"
#include "bindings/lm.hpp"

namespace marlune::bindings {
namespace {

PyObject* none_to_null(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

PyResult<Vec> convert_x0(PyObject* obj) {
  PyResult<Vec> x0 = sequence_to_vec(obj);
  if (!x0.ok()) return argument_error("x0", x0.take_error());
  return x0;
}

constexpr std::array<const char*, 5> kGdParams = {"f", "grad", "x0", "options", "debug"};
constexpr std::array<const char*, 7> kLsqParams = {"residual", "x0",      "jacobian", "jacobian_vec",
                                                   "project",  "options", "debug"};

PyObject* py_gd(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&]() -> PyResult<PyRef> {
    static constexpr Signature sig{"gd", kGdParams, 3, 3};
    std::array<PyObject*, kGdParams.size()> bound{};
    if (!bind_arguments(sig, args, nargs, kwnames, bound)) return PyErr::fetch();
    MARLUNE_TRY(Vec x0, convert_x0(bound[2]));
    return gd(GdArgs{
        .f = PyRef::borrow(bound[0]),
        .grad = PyRef::borrow(bound[1]),
        .x0 = std::move(x0),
        .options = none_to_null(bound[3]),
        .debug = none_to_null(bound[4]),
    });
  });
}

// gn and lm share their signature and call frame.
template <class Body>
PyObject* least_squares_entry(const char* name, Body body, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return run_entry([&]() -> PyResult<PyRef> {
    const Signature sig{name, kLsqParams, 2, 1};
    std::array<PyObject*, kLsqParams.size()> bound{};
    if (!bind_arguments(sig, args, nargs, kwnames, bound)) return PyErr::fetch();
    LsqArgs lsq{
        .residual = PyRef::borrow(bound[0]),
        .x0 = std::nullopt,
        .jacobian = PyRef::borrow(none_to_null(bound[2])),
        .jacobian_vec = PyRef::borrow(none_to_null(bound[3])),
        .project = PyRef::borrow(none_to_null(bound[4])),
        .options = none_to_null(bound[5]),
        .debug = none_to_null(bound[6]),
    };
    if (PyObject* x0 = none_to_null(bound[1])) {
      MARLUNE_TRY(lsq.x0, convert_x0(x0));
    }
    return body(std::move(lsq));
  });
}

PyObject* py_gn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return least_squares_entry("gn", gn, args, nargs, kwnames);
}

PyObject* py_lm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return least_squares_entry("lm", lm, args, nargs, kwnames);
}

#define MARLUNE_LSQ_DOC(fn, what)                                                                            \
  fn "(residual, x0=None, *, jacobian=None, jacobian_vec=None, project=None, options=None, debug=None)\n" \
     "--\n"                                                                                              \
     "\n" what "\n"                                                                                      \
     "\n"                                                                                                \
     "residual: callable(x: list[float]) -> list[float]           (len = m)\n"                           \
     "x0: initial point\n"                                                                               \
     "jacobian: optional callable(x: list[float]) -> list[float]  (len = m*n, row-major)\n"              \
     "jacobian_vec: optional callable(x, v) -> J(x) @ v           (len = m)\n"                           \
     "project: optional callable(x) -> projected x\n"                                                    \
     "options: optional dict for solver settings\n"                                                      \
     "debug: optional dict for trace and logging controls"

PyMethodDef kMethods[] = {
    {"gd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_gd)), METH_FASTCALL | METH_KEYWORDS,
     "gd(f, grad, x0, *, options=None, debug=None)\n"
     "--\n"
     "\n"
     "Gradient Descent optimizer exposed to Python.\n"
     "\n"
     "f:    callable(x: list[float]) -> float\n"
     "grad: callable(x: list[float]) -> list[float]\n"
     "x0: initial point\n"
     "options: optional dict for solver settings\n"
     "debug: optional dict for trace and logging controls"},
    {"gn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_gn)), METH_FASTCALL | METH_KEYWORDS,
     MARLUNE_LSQ_DOC("gn", "Nonlinear least squares solver exposed to Python.")},
    {"lm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_lm)), METH_FASTCALL | METH_KEYWORDS,
     MARLUNE_LSQ_DOC("lm", "Nonlinear least squares LM solver exposed to Python.")},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "marlune",
    "Python module definition",
    0,  // no per-module state; re-imports in another interpreter run PyInit again (and are refused)
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Written once per process: the module is created by the first interpreter
// that imports it and served to it alone from then on.
std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

PyResult<PyRef> create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return PyErr::fetch();
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return PyErr::fetch();
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return PyErr::fetch();
  for (PyMethodDef& def : kMethods) {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!fn) return PyErr::fetch();
    PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return PyErr::fetch();
    if (PyModule_AddObjectRef(module.get(), def.ml_name, fn.get()) < 0) return PyErr::fetch();
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return PyErr::fetch();
  PyObject* panic = panic_exception_type();
  if (panic == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) {
    return PyErr::fetch();
  }
  return module;
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "marlune does not support subinterpreters: it can only be imported by the interpreter "
                    "that first loaded it");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyResult<PyRef> module = create_module();
  if (!module.ok()) {
    module.take_error().restore();
    return nullptr;
  }
  g_module = Py_NewRef(module.value().get());
  return std::move(module).value().release();
}

}  // namespace
}  // namespace marlune::bindings

PyMODINIT_FUNC PyInit_marlune(void) {
  try {
    return marlune::bindings::init_module();
  } catch (...) {
    marlune::bindings::raise_panic("internal failure during module initialisation");
    return nullptr;
  }
}
