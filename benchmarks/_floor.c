/* The floor for the boundary benchmark: only the work every iteration must
   do, on the same stable ABI as marlune. Fixed-step gradient descent: a fresh
   list of fresh floats, one call, the result read with PyList_GetItem and
   PyFloat_AsDouble, the norm, the update. And the callback traffic of one
   Gauss-Newton iteration with NoLineSearch: jacobian(x), residual(x_trial)
   twice, every result read the same way. */
#define Py_LIMITED_API 0x030D0000
#include <Python.h>
#include <math.h>
#include <stdlib.h>

static PyObject* new_list(const double* v, Py_ssize_t n) {
  PyObject* list = PyList_New(n);
  if (!list) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) { Py_DECREF(list); return NULL; }
    PyList_SetItem(list, i, f);
  }
  return list;
}

/* Calls fn(list(x)) and reads a list of `want` floats into out. */
static int call_read(PyObject* fn, const double* x, Py_ssize_t n, double* out, Py_ssize_t want) {
  PyObject* arg = new_list(x, n);
  if (!arg) return -1;
  PyObject* args[2] = {NULL, arg};
  PyObject* res = PyObject_Vectorcall(fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
  Py_DECREF(arg);
  if (!res) return -1;
  if (!PyList_Check(res) || PyList_Size(res) != want) { Py_DECREF(res); PyErr_SetString(PyExc_ValueError, "length"); return -1; }
  for (Py_ssize_t i = 0; i < want; ++i) {
    out[i] = PyFloat_AsDouble(PyList_GetItem(res, i));
    if (out[i] == -1.0 && PyErr_Occurred()) { Py_DECREF(res); return -1; }
  }
  Py_DECREF(res);
  return 0;
}

static int read_vector(PyObject* seq, double** out, Py_ssize_t* n) {
  *n = PyList_Size(seq);
  *out = malloc(sizeof(double) * (size_t)(*n ? *n : 1));
  for (Py_ssize_t i = 0; i < *n; ++i) (*out)[i] = PyFloat_AsDouble(PyList_GetItem(seq, i));
  return PyErr_Occurred() ? -1 : 0;
}

/* gd(grad, x0, step, iters) -> final x */
static PyObject* gd(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self; (void)nargs;
  double *x, *g;
  Py_ssize_t n;
  if (read_vector(args[1], &x, &n) < 0) return NULL;
  const double step = PyFloat_AsDouble(args[2]);
  const long iters = PyLong_AsLong(args[3]);
  g = malloc(sizeof(double) * (size_t)(n ? n : 1));
  double norm = 0.0;
  for (long k = 0; k < iters; ++k) {
    if (call_read(args[0], x, n, g, n) < 0) { free(x); free(g); return NULL; }
    double s = -0.0;
    for (Py_ssize_t i = 0; i < n; ++i) s = s + g[i] * g[i];
    norm = sqrt(s);
    for (Py_ssize_t i = 0; i < n; ++i) { const double d = step * -g[i]; x[i] = x[i] + d; }
  }
  (void)norm;
  PyObject* out = new_list(x, n);
  free(x); free(g);
  return out;
}

/* gn(residual, jacobian, x0, m, iters, lambda): undamped-policy Gauss-Newton
   on one parameter with the normal equations and fixed damping, as
   marlune.gn runs it with line_search False: per iteration jacobian(x), the
   1 by 1 system, the trial point and its residual, the re-evaluation, the
   commit. Returns the final x. */
static double sum_sq(const double* v, Py_ssize_t n) {
  double s = -0.0;
  for (Py_ssize_t i = 0; i < n; ++i) s = s + v[i] * v[i];
  return s;
}

static PyObject* gn(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self; (void)nargs;
  double x = PyFloat_AsDouble(PyList_GetItem(args[2], 0));
  const Py_ssize_t m = PyLong_AsSsize_t(args[3]);
  const long iters = PyLong_AsLong(args[4]);
  const double lambda = PyFloat_AsDouble(args[5]);
  double* r = malloc(sizeof(double) * (size_t)m);
  double* rt = malloc(sizeof(double) * (size_t)m);
  double* J = malloc(sizeof(double) * (size_t)m);
  PyObject* result = NULL;
  if (call_read(args[0], &x, 1, r, m) < 0 || call_read(args[0], &x, 1, r, m) < 0) goto done;
  for (long k = 0; k < iters; ++k) {
    if (call_read(args[1], &x, 1, J, m) < 0) goto done;
    double a = 0.0, g = 0.0;
    for (Py_ssize_t i = 0; i < m; ++i) a = a + J[i] * J[i];
    a = a + lambda;
    for (Py_ssize_t i = 0; i < m; ++i) g = g + r[i] * J[i];
    const double dx = -g / a;
    const double dx_norm = sqrt(-0.0 + dx * dx);
    (void)dx_norm;
    const double step = 1.0 * dx, xt = x + step;
    if (call_read(args[0], &xt, 1, rt, m) < 0) goto done;
    if (!isfinite(sum_sq(rt, m) * 0.5)) break;
    if (call_read(args[0], &xt, 1, rt, m) < 0) goto done;
    const double cost = sum_sq(rt, m) * 0.5;
    (void)cost;
    x = xt;
    for (Py_ssize_t i = 0; i < m; ++i) r[i] = rt[i];
    (void)sqrt(sum_sq(r, m));
  }
  result = PyFloat_FromDouble(x);
done:
  free(r); free(rt); free(J);
  return result;
}

static PyMethodDef methods[] = {
    {"gd", (PyCFunction)(void (*)(void))gd, METH_FASTCALL, NULL},
    {"gn", (PyCFunction)(void (*)(void))gn, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&def); }
