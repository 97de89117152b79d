#include "bindings/least_squares.hpp"

#include <memory>
#include <string>

#include "bindings/trace.hpp"
#include "bindings/validation.hpp"

namespace marlune::bindings {

PyErr x0_missing(const char* context) { return PyErr::value_error(std::string(context) + ": x0 must be provided"); }

PyResult<double> read_lambda(const PyOptions& options, const char* context) {
  MARLUNE_TRY(std::optional<double> lambda, options.f64("lambda"));
  MARLUNE_TRY(std::optional<double> alias, options.f64("lambda_"));
  if (lambda && alias) {
    // Even equal values: one of the two spellings is a mistake, and which
    // one the caller meant cannot be known.
    return PyErr::value_error(std::string(context) + ": options must not contain both 'lambda' and 'lambda_'");
  }
  const double value = lambda ? *lambda : alias.value_or(1e-3);
  return checked(validation::finite_nonnegative(std::string(context) + ": options.lambda", value));
}

PyResult<solvers::common::least_squares::LinearSystem> parse_linear_system(const std::optional<std::string>& text,
                                                                          const char* context) {
  using solvers::common::least_squares::LinearSystem;
  static constexpr std::pair<std::string_view, LinearSystem> kChoices[] = {{"left_jjt", LinearSystem::left_jjt},
                                                                          {"normal_jtj", LinearSystem::normal_jtj}};
  return parse_choice(text, "left_jjt", kChoices,
                      std::string(context) + ": linear_system must be 'left_jjt' or 'normal_jtj', got '");
}

namespace {

using solvers::common::least_squares::Scaling;
using solvers::common::least_squares::ScalingKind;

PyResult<Scaling> read_scaling(const PyOptions& options, const char* context, std::size_t n) {
  MARLUNE_TRY(PyRef value, options.py("scaling"));
  if (!value) return Scaling::none();
  const std::string name = std::string(context) + ": options.scaling";
  if (PyUnicode_Check(value.get())) {
    auto text = utf8_of(value.get());
    if (!text.ok()) {
      if (auto fatal = keep_fatal(text.take_error())) return std::move(*fatal);
      return options.invalid("scaling");
    }
    static constexpr std::pair<std::string_view, ScalingKind> kChoices[] = {{"none", ScalingKind::none},
                                                                           {"marquardt", ScalingKind::marquardt}};
    MARLUNE_TRY(ScalingKind kind,
                parse_choice(std::optional<std::string>(std::move(text).value()), "", kChoices,
                             name + " must be 'none', 'marquardt', or a sequence of positive scales, got '"));
    return Scaling{.kind = kind, .sizes = {}};
  }
  auto sizes = sequence_to_vec(value.get());
  if (!sizes.ok()) {
    if (auto fatal = keep_fatal(sizes.take_error())) return std::move(*fatal);
    return options.invalid("scaling");
  }
  Vec scales = std::move(sizes).value();
  if (scales.size() != n) {
    return PyErr::value_error(name + " must hold one scale per parameter: expected " + std::to_string(n) + ", got " +
                              std::to_string(scales.size()));
  }
  for (std::size_t k = 0; k < n; ++k) {
    MARLUNE_CHECK(checked(validation::finite_gt(name + "[" + std::to_string(k) + "]", scales[k], 0.0)));
  }
  return Scaling::fixed(std::move(scales));
}

}  // namespace

PyResult<AccuracyOptions> read_accuracy_options(const PyOptions& options, const char* context, std::size_t n) {
  AccuracyOptions out;
  MARLUNE_TRY(out.scaling, read_scaling(options, context, n));
  MARLUNE_TRY(out.tol_cost, read_checked_f64(options, "tol_cost", 0.0, context, validation::finite_nonnegative));
  MARLUNE_TRY(out.tol_dx_rel, read_checked_f64(options, "tol_dx_rel", 0.0, context, validation::finite_nonnegative));
  return out;
}

PyResult<std::optional<solvers::common::least_squares::DifferenceScheme>> take_difference_scheme(LsqArgs& args,
                                                                                                const char* context) {
  using solvers::common::least_squares::DifferenceScheme;
  using Scheme = std::optional<DifferenceScheme>;
  if (!args.jacobian || !PyUnicode_Check(args.jacobian.get())) return Scheme{};
  const std::string prefix = std::string(context) + ": jacobian must be a callable, \"2-point\" or \"3-point\", got '";
  auto text = utf8_of(args.jacobian.get());
  if (!text.ok()) {
    if (auto fatal = keep_fatal(text.take_error())) return std::move(*fatal);
    // A str that is not valid text has no readable name to quote.
    return PyErr::value_error(prefix + display(args.jacobian.get()) + "'");
  }
  static constexpr std::pair<std::string_view, DifferenceScheme> kChoices[] = {
      {"2-point", DifferenceScheme::forward}, {"3-point", DifferenceScheme::central}};
  MARLUNE_TRY(DifferenceScheme scheme, parse_choice(std::optional<std::string>(std::move(text).value()), "", kChoices,
                                                    prefix));
  args.jacobian = PyRef();
  return Scheme(scheme);
}

PyResult<LsqProblem> make_problem(LsqArgs& args,
                                  std::optional<solvers::common::least_squares::DifferenceScheme> differences) {
  auto err = std::make_shared<PyErrState>();
  LsqProblem problem{.err = err,
                     .callbacks = PyLeastSquaresCallbacks(std::move(args.residual), std::move(args.jacobian),
                                                          std::move(args.jacobian_vec), std::move(args.project), err),
                     .m = 0,
                     .differences = differences};
  MARLUNE_TRY(problem.m, problem.callbacks.infer_residual_dim(*args.x0));
  return problem;
}

std::optional<PyErr> take_run_error(PyErrState& callbacks, PyErrState& manifold) {
  if (auto e = callbacks.take()) return e;
  return manifold.take();
}

PyResult<PyRef> least_squares_result_to_python(const solvers::common::least_squares::LeastSquaresResult& result,
                                               bool history_first) {
  PyRef history;
  const auto convert_history = [&]() -> PyStatus {
    if (result.trace) {
      MARLUNE_TRY(history, trace_records_to_pylist(*result.trace));
    }
    return ok();
  };
  if (history_first) MARLUNE_CHECK(convert_history());
  MARLUNE_TRY(PyRef x, vec_to_list(result.x));
  PyRef cost = PyRef::steal(PyFloat_FromDouble(result.cost));
  PyRef iterations = PyRef::steal(PyLong_FromUnsignedLongLong(result.iterations));
  PyRef r_norm = PyRef::steal(PyFloat_FromDouble(result.r_norm));
  PyRef dx_norm = PyRef::steal(PyFloat_FromDouble(result.dx_norm));
  if (!cost || !iterations || !r_norm || !dx_norm) return PyErr::fetch();
  if (!history_first) MARLUNE_CHECK(convert_history());
  PyObject* converged = result.converged ? Py_True : Py_False;
  PyObject* tuple = history ? PyTuple_Pack(7, x.get(), cost.get(), iterations.get(), r_norm.get(), dx_norm.get(),
                                           converged, history.get())
                            : PyTuple_Pack(6, x.get(), cost.get(), iterations.get(), r_norm.get(), dx_norm.get(),
                                           converged);
  if (tuple == nullptr) return PyErr::fetch();
  return PyRef::steal(tuple);
}

}  // namespace marlune::bindings
