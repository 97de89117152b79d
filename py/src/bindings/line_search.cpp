#include "bindings/line_search.hpp"

#include <cmath>

#include "bindings/convert.hpp"

namespace marlune::bindings {
namespace {

PyErr non_finite_alpha() { return PyErr::value_error("line_search callback returned non-finite alpha"); }

PyResult<std::pair<bool, double>> finite_alpha(bool accepted, double alpha) {
  if (!std::isfinite(alpha)) return non_finite_alpha();
  return std::pair<bool, double>(accepted, alpha);
}

using Decision = std::optional<std::pair<bool, double>>;

// (bool, number) as a 2-tuple; nothing when the result has another shape.
PyResult<Decision> as_pair(PyObject* result) {
  if (!PyTuple_Check(result) || PyTuple_Size(result) != 2) return Decision{};
  auto flag = as_bool(PyTuple_GetItem(result, 0));
  if (!flag.ok()) {
    if (auto fatal = keep_fatal(flag.take_error())) return std::move(*fatal);
    return Decision{};
  }
  if (!flag.value()) return Decision{};
  auto alpha = to_f64(PyTuple_GetItem(result, 1));
  if (!alpha.ok()) {
    if (auto fatal = keep_fatal(alpha.take_error())) return std::move(*fatal);
    return Decision{};
  }
  return Decision(std::pair<bool, double>(*flag.value(), alpha.value()));
}

// dict[key], or a null handle when missing.
PyResult<PyRef> dict_get(PyObject* dict, const char* key) {
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &found) < 0) return PyErr::fetch();
  return PyRef::steal(found);
}

PyResult<PyRef> context_dict(const PyLineSearchPolicy::LineSearchContext& ctx) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyErr::fetch();
  const auto set = [&](const char* key, PyObject* value) { return dict_set_steal(dict.get(), key, value); };
  MARLUNE_CHECK(set("iter", PyLong_FromUnsignedLongLong(ctx.iter)));
  MARLUNE_CHECK(set("alpha0", PyFloat_FromDouble(ctx.alpha0)));
  MARLUNE_CHECK(set("cost0", PyFloat_FromDouble(ctx.cost0)));
  MARLUNE_CHECK(set("dphi0", ctx.dphi0 ? PyFloat_FromDouble(*ctx.dphi0) : Py_NewRef(Py_None)));
  MARLUNE_CHECK(set("dx_norm", PyFloat_FromDouble(ctx.dx_norm)));
  MARLUNE_CHECK(set("lambda", PyFloat_FromDouble(ctx.lambda)));
  return dict;
}

}  // namespace

PyResult<std::pair<bool, double>> PyLineSearchPolicy::parse_result(PyObject* result) {
  // Forms are tried in order; the errors of the failed attempts are dropped.
  if (auto alpha = to_f64(result); alpha.ok()) {
    return finite_alpha(true, alpha.value());
  } else if (auto fatal = keep_fatal(alpha.take_error())) {
    return std::move(*fatal);
  }
  MARLUNE_TRY(Decision pair, as_pair(result));
  if (pair) return finite_alpha(pair->first, pair->second);
  if (!PyDict_Check(result)) {
    return PyErr::value_error(
        "line_search callback must return float alpha, (accepted, alpha), or "
        "{'alpha': ..., 'accepted': ...}");
  }
  MARLUNE_TRY(PyRef accepted_value, dict_get(result, "accepted"));
  bool accepted = true;  // a missing or non-boolean "accepted" accepts
  if (accepted_value) {
    auto flag = as_bool(accepted_value.get());
    if (!flag.ok()) {
      if (auto fatal = keep_fatal(flag.take_error())) return std::move(*fatal);
    } else if (flag.value()) {
      accepted = *flag.value();
    }
  }
  MARLUNE_TRY(PyRef alpha_value, dict_get(result, "alpha"));
  if (!alpha_value) return PyErr::value_error("line_search callback dict result requires key 'alpha'");
  MARLUNE_TRY(double alpha, to_f64(alpha_value.get()));
  return finite_alpha(accepted, alpha);
}

PyResult<std::pair<bool, double>> PyLineSearchPolicy::call(const LineSearchContext& ctx) {
  MARLUNE_TRY(PyRef dict, context_dict(ctx));
  PyRef result = PyRef::steal(call1(callable_.get(), dict.get()));
  if (!result) return PyErr::fetch();
  return parse_result(result.get());
}

PyLineSearchPolicy::LineSearchResult PyLineSearchPolicy::search_py(const LineSearchContext& ctx) {
  const LineSearchResult rejected{.accepted = false, .alpha = ctx.alpha0};
  if (err_->halted()) return rejected;
  auto decided = call(ctx);
  if (!decided.ok()) {
    err_->set_once(decided.take_error());
    return rejected;
  }
  return {.accepted = decided.value().first, .alpha = decided.value().second};
}

}  // namespace marlune::bindings
