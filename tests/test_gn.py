"""Gauss-Newton through gn: options, runs, records and terminations."""

import math
import traceback

import numpy as np
import pytest

import marlune
from conftest import Linear, Recorder, check_records, shift

NAN = math.nan


def run(problem, x0, options=None, **kwargs):
    return marlune.gn(problem.residual, x0, options=options, debug={"history": True}, **problem.kwargs(**kwargs))


# --- options -----------------------------------------------------------------

def opt_error(options, message, debug=None):
    return options, debug, message


OPTION_ERRORS = [
    opt_error({"lambda": 1.0, "lambda_": 1.0}, "gn: options must not contain both 'lambda' and 'lambda_'"),
    opt_error({"lambda_": -1.0}, "gn: options.lambda must be finite and >= 0, got -1"),
    opt_error({"lambda": NAN}, "gn: options.lambda must be finite and >= 0, got NaN"),
    opt_error({"lambda": "x"}, "gn: invalid options.lambda"),
    opt_error({"ls_beta": 1.0, "line_search_method": "none"}, "gn: options.ls_beta must be finite and in (0,1), got 1"),
    opt_error({"ls_beta": -0.0}, "gn: options.ls_beta must be finite and in (0,1), got -0"),
    opt_error({"ls_min_step": 0.0}, "gn: options.ls_min_step must be finite and > 0, got 0"),
    opt_error({"ls_min_step": math.inf}, "gn: options.ls_min_step must be finite and > 0, got inf"),
    opt_error({"ls_max_steps": 0}, "gn: options.ls_max_steps must be > 0"),
    opt_error({"ls_max_steps": 1.0}, "gn: invalid options.ls_max_steps"),
    opt_error({"c_armijo": NAN}, "gn: options.c_armijo must be finite, got NaN"),
    opt_error({"damping_update": "Adaptive"}, "gn: damping_update must be 'adaptive' or 'fixed', got 'Adaptive'"),
    opt_error({"linear_system": " left_jjt"}, "gn: linear_system must be 'left_jjt' or 'normal_jtj', got ' left_jjt'"),
    opt_error({"line_search_method": "wolfe"},
              "gn: line_search_method must be 'armijo', 'strict_decrease', or 'none', got 'wolfe'"),
    opt_error({"damping_update": 1}, "gn: invalid options.damping_update"),
    opt_error({"manifold": type("M", (), {"add": 3})()}, "manifold.add must be callable"),
    opt_error({"step_scale": "1"}, "gn: invalid options.step_scale"),
    opt_error({"max_iters": -1}, "gn: invalid options.max_iters"),
    opt_error({"tol_r": None}, "gn: invalid options.tol_r"),
    opt_error({"tol_dx": []}, "gn: invalid options.tol_dx"),
    opt_error({"tolerance": 1}, "gn: unknown options key 'tolerance'"),
    opt_error([], "gn: options must be a dict"),
    opt_error({}, "gn: unknown debug key 'step_scale'", {"step_scale": 1.0}),
    opt_error({}, "gn: invalid debug.verbose", {"verbose": 1}),
    # Several at once: the reading order decides.
    opt_error({"tol_r": None, "c_armijo": NAN, "ls_beta": 2.0}, "gn: options.ls_beta must be finite and in (0,1), got 2"),
    opt_error({"linear_system": "x", "ls_max_steps": 0}, "gn: options.ls_max_steps must be > 0"),
    opt_error({"manifold": type("M", (), {"scale": None})(), "line_search_method": "x"},
              "gn: line_search_method must be 'armijo', 'strict_decrease', or 'none', got 'x'"),
    opt_error({"max_iters": -1, "manifold": type("M", (), {"scale": None})()}, "manifold.scale must be callable"),
]


@pytest.mark.parametrize("options,debug,message", OPTION_ERRORS)
def test_option_errors_come_before_any_callable(options, debug, message):
    p = shift([1.0])
    with pytest.raises(ValueError) as ei:
        marlune.gn(p.residual, [0.0], jacobian=p.jacobian, options=options, debug=debug)
    assert str(ei.value) == message and p.log == []


def test_missing_x0_is_reported_first():
    p = shift([1.0])
    for x0 in ({}, {"x0": None}):
        with pytest.raises(ValueError, match="^gn: x0 must be provided$"):
            marlune.gn(p.residual, options={"bogus": 1, "lambda": -1}, **x0)
    assert p.log == []


@pytest.mark.parametrize("options,lam", [({"lambda_": 0.1}, 0.1), ({"lambda": 0}, 0.0), ({}, 1e-3)])
def test_damping_comes_from_either_spelling(options, lam):
    res = run(shift([1.0]), [0.0], dict(options, line_search=lambda ctx: (False, 1.0), max_iters=1,
                                        damping_update="fixed"))
    assert res[6][-1]["note"] == "rejected_fixed" and res[6][0]["cost"] == 0.5
    seen = []
    run(shift([1.0]), [0.0], dict(options, line_search=lambda ctx: seen.append(ctx["lambda"]) or 1.0, max_iters=1))
    assert seen == [lam]


# --- runs ----------------------------------------------------------------------

def test_max_iters_zero_evaluates_the_residual_twice_and_nothing_else():
    p = shift([0.0])
    res = run(p, [0.0], {"max_iters": 0})
    assert res[:4] == ([0.0], 0.0, 0, 0.0) and math.isnan(res[4]) and res[5] is False
    assert check_records(res[6], "gn") == ["initial", "max_iters"] and p.log == ["r", "r"]


def test_zero_residual_at_x0_converges_without_a_jacobian():
    p = shift([2.0])
    res = run(p, [2.0])
    assert res[:6] == ([2.0], 0.0, 0, 0.0, 0.0, True) and p.log == ["r", "r"]
    assert check_records(res[6], "gn") == ["initial", "converged_r"]


@pytest.mark.parametrize("scale,ends", [(0.0, "zero_step_scale"), (-3.0, "zero_step_scale"), (5.0, "converged_r")])
def test_step_scale_is_clamped(scale, ends):
    p = shift([1.0])
    res = run(p, [0.0], {"step_scale": scale, "lambda": 0.0})
    notes = check_records(res[6], "gn")
    assert notes[-1] == ends and res[5] is (ends == "converged_r")
    if ends == "zero_step_scale":
        assert res[4] == res[6][-1]["dx_norm"] == 1.0 and p.log == ["r", "r", "J"]
    else:
        assert res[0] == [1.0] and notes == ["initial", "accepted", "converged_r"]  # a full step of length 1


def fixed_case(note, problem, options):
    return pytest.param(problem, options, note, id=note)


@pytest.mark.parametrize("problem,options,note", [
    fixed_case("rejected_fixed", shift([1.0]), {"line_search": lambda c: (False, 0.5)}),
    fixed_case("linear_solve_failed_fixed", Linear([[0.0]], [1.0]), {"lambda": 0.0}),
    fixed_case("accepted_step_invalid_fixed", shift([1.0]), {"line_search": lambda c: 1e308, "lambda": 0.0}),
    fixed_case("accepted_step_invalid_fixed", shift([1.0]), {"line_search": False, "poison": 4}),
])
def test_fixed_damping_ends_on_the_first_failure(problem, options, note):
    if "poison" in options:  # the re-evaluation of the accepted trial point is not finite
        poison, plain = options.pop("poison"), problem.residual.fn
        problem.residual.fn = lambda x: [math.inf] if problem.residual.n == poison else plain(x)
    res = run(problem, [0.0], dict(options, damping_update="fixed"))
    assert check_records(res[6], "gn") == ["initial", note]
    assert res[:6] == ([0.0], res[1], 0, res[3], 0.0, False)
    assert res[6][1]["lambda"] is None


def test_adaptive_damping_sequence():
    decisions = iter([(False, 1.0)] * 3 + [1.0] * 20)
    res = run(shift([1e6]), [0.0], {"line_search": lambda c: next(decisions), "tol_r": -1.0, "tol_dx": -1.0,
                                    "max_iters": 16})
    notes = check_records(res[6], "gn")
    assert notes == ["initial"] + ["rejected"] * 3 + ["accepted"] * 13 + ["max_iters"]
    lams = [r["lambda"] for r in res[6][1:-1]]
    assert lams[:4] == [0.01, 0.1, 1.0, 0.5] and lams[12:] == [1e-3] * 4 and lams[11] > 1e-3


def test_linear_solve_failures_raise_lambda_at_the_same_point():
    p = Linear([[1.0, 1.0], [1.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0])  # rank 1, m > n
    res = run(p, [0.0, 0.0], {"lambda": 0.0, "max_iters": 3})
    assert check_records(res[6], "gn") == ["initial"] + ["linear_solve_failed"] * 3 + ["max_iters"]
    assert [r["lambda"] for r in res[6][1:4]] == [0.0] * 3 and res[0] == [0.0, 0.0]


@pytest.mark.parametrize("line_search", [None, False])
def test_strict_decrease_never_converges_by_step(line_search):
    options = {"line_search_method": "strict_decrease", "tol_dx": 1e300, "tol_r": -1.0, "max_iters": 3}
    if line_search is not None:
        options["line_search"] = line_search
    assert check_records(run(shift([1.0]), [0.0], options)[6], "gn")[-1] == "max_iters"
    options["line_search_method"] = "armijo"
    assert check_records(run(shift([1.0]), [0.0], options)[6], "gn")[-1] == "converged_dx"


@pytest.mark.parametrize("line_search,calls", [
    (False, ["r", "r", "J", "r", "r"]),  # NoLineSearch: the trial, then its re-evaluation
    (True, ["r", "r", "J", "r", "r"]),  # Armijo accepts its first trial: the same two
    (lambda c: 1.0, ["r", "r", "J", "r"]),  # a Python policy evaluates nothing itself
])
def test_evaluations_per_accepted_iteration(line_search, calls):
    p = shift([1.0, 2.0])
    res = run(p, [0.0, 0.0], {"line_search": line_search, "max_iters": 1, "lambda": 0.0})
    assert p.log == calls and res[6][1]["note"] == "accepted"
    assert p.residual.calls[2] == p.residual.calls[-1] == ([1.0, 2.0],)


@pytest.mark.parametrize("A", [[[1.0, 2.0], [0.5, -1.0], [3.0, 1.0]], [[1.0, 2.0, 0.0], [0.5, -1.0, 3.0]]],
                         ids=["m3n2", "m2n3"])
def test_left_and_normal_forms_agree(A):
    p = Linear(A, [1.0, -2.0, 0.5][:len(A)])
    n = len(A[0])
    opts = {"lambda": 0.1, "damping_update": "fixed", "tol_r": -1.0, "tol_dx": -1.0, "max_iters": 4,
            "line_search": False}
    left = run(p, [0.0] * n, opts)
    normal = run(p, [0.0] * n, dict(opts, linear_system="normal_jtj"))
    assert left[0] != [0.0] * n
    np.testing.assert_allclose(left[0], normal[0], rtol=1e-12, atol=1e-14)
    assert check_records(left[6], "gn") == check_records(normal[6], "gn")


def test_an_accepted_step_on_the_last_iteration_still_ends_by_the_limit():
    res = run(shift([1.0]), [0.0], {"max_iters": 1, "lambda": 0.0})
    assert res[3] == 0.0 and res[5] is False and check_records(res[6], "gn")[-1] == "max_iters"


def test_a_residual_failing_on_its_third_call_is_raised_with_its_traceback():
    exc = RuntimeError("third")
    p = shift([1.0])

    def residual(x):
        if p.residual.n == 3:
            raise exc
        return [x[0] - 1.0]

    p.residual.fn = residual
    with pytest.raises(RuntimeError) as ei:
        run(p, [0.0], {"max_iters": 10**9, "tol_r": -1.0, "tol_dx": -1.0})
    assert ei.value is exc and p.residual.n == 3 and p.log == ["r", "r", "J", "r"]
    assert residual.__code__ in [f.f_code for f, _ in traceback.walk_tb(exc.__traceback__)]


def test_no_jacobian_is_an_error_only_once_one_is_needed():
    p = shift([1.0])
    with pytest.raises(ValueError, match="^jacobian or jacobian_vec must be provided$"):
        marlune.gn(p.residual, [0.0])
    assert p.log == ["r", "r"]
    assert marlune.gn(p.residual, [1.0])[5] is True
    assert marlune.gn(p.residual, [0.0], options={"max_iters": 0})[2] == 0


def test_empty_x0_is_an_internal_failure_after_the_inference():
    r = Recorder(lambda x: [1.0])
    with pytest.raises(marlune.PanicException, match=r"^assertion failed: m > 0 && n > 0$"):
        marlune.gn(r, [], jacobian=r)
    assert r.n == 1


def test_verbose_lines(capfd):
    marlune.gn(shift([1.0]).residual, [0.0], jacobian=lambda x: [1.0], options={"max_iters": 1},
               debug={"verbose": True})
    assert capfd.readouterr().out.splitlines() == [
        "[gn] iter      0 | cost   5.000000e-1 | r    1.000000e0 | note initial",
        "[gn] iter      0 | cost   4.990015e-7 | r   9.990010e-4 | dx   9.990010e-1 | alpha  1.000e0 | "
        "lambda  1.000e-3 | note accepted",
        "[gn] iter      1 | cost   4.990015e-7 | r   9.990010e-4 | note max_iters",
    ]


def test_tall_problem_with_normal_equations_needs_no_m_by_m_matrix():
    m = 10**6
    t = np.linspace(0.0, 1.0, m)
    A = np.column_stack([np.ones(m), t, t * t])
    b = A @ np.array([1.0, -2.0, 0.5])
    res = marlune.gn(lambda x: A @ np.asarray(x) - b, [0.0, 0.0, 0.0], jacobian=lambda x: A,
                     options={"linear_system": "normal_jtj", "lambda": 0.0, "tol_r": 1e-8, "max_iters": 5})
    np.testing.assert_allclose(res[0], [1.0, -2.0, 0.5], rtol=1e-9)
