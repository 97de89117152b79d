"""Levenberg-Marquardt through lm: the worked run, damping, terminations and options."""

import math

import pytest

import marlune
from conftest import Recorder, check_records, run_python, shift

WORKED_RECORDS = [
    ("initial", 0, 2.0, 2.0, None, None, None),
    ("accepted", 0, 1.996005992009409e-06, 0.0019980019980017083, 1.9980019980019983, 1.0, 0.0005),
    ("accepted", 1, 4.985028705521108e-13, 9.98501748172842e-07, 0.0019970034962535814, 1.0, 0.00025),
]


def test_worked_run():
    p = shift([2.0])
    res = marlune.lm(p.residual, [0.0], jacobian=p.jacobian, debug={"history": True})
    assert res[:6] == ([1.9999990014982518], 4.985028705521108e-13, 2, 9.98501748172842e-07, 0.0, True)
    assert p.log == ["r", "r", "J", "r", "r", "J", "r", "r"]
    assert [p.residual.calls[i] for i in (2, 3)] == [([1.9980019980019983],)] * 2
    check_records(res[6], "lm")
    assert [(r["note"], r["iter"], r["cost"], r["r_norm"], r["dx_norm"], r["alpha"], r["lambda"])
            for r in res[6]] == WORKED_RECORDS


WORKED_CHILD = """
    import marlune
    res = marlune.lm(lambda x: [x[0] - 2.0], [0.0], jacobian=lambda x: [1.0], debug={"verbose": True})
    print(res)
"""


def test_worked_run_verbose_lines_on_the_process_stdout():
    assert run_python(WORKED_CHILD).splitlines() == [
        "[lm] iter      0 | cost    2.000000e0 | r    2.000000e0 | note initial",
        "[lm] iter      0 | cost   1.996006e-6 | r   1.998002e-3 | dx    1.998002e0 | alpha  1.000e0 | "
        "lambda  5.000e-4 | note accepted",
        "[lm] iter      1 | cost  4.985029e-13 | r   9.985017e-7 | dx   1.997003e-3 | alpha  1.000e0 | "
        "lambda  2.500e-4 | note accepted",
        "([1.9999990014982518], 4.985028705521108e-13, 2, 9.98501748172842e-07, 0.0, True)",
    ]


@pytest.mark.parametrize("target,options,expected,notes,log", [
    ([0.0], {"max_iters": 0}, ([0.0], 0.0, 0, 0.0, math.nan, False), ["initial"], ["r", "r"]),
    ([3.0], {"max_iters": 0}, ([0.0], 4.5, 0, 3.0, math.nan, False), ["initial"], ["r", "r"]),
    ([0.0], {}, ([0.0], 0.0, 0, 0.0, 0.0, True), ["initial"], ["r", "r"]),
    # Reaching tol_r on the last allowed iteration is noticed only at the next residual test.
    ([1.0], {"max_iters": 1, "tol_r": 0.01}, None, ["initial", "accepted"], ["r", "r", "J", "r", "r"]),
])
def test_endings(target, options, expected, notes, log):
    p = shift(target)
    res = marlune.lm(p.residual, [0.0], jacobian=p.jacobian, options=options, debug={"history": True})
    if expected is None:
        assert res[3] <= 0.01 and res[2] == 1 and res[5] is False and res[4] == res[6][-1]["dx_norm"]
    else:
        assert str(res[:6]) == str(expected)
    assert check_records(res[6], "lm") == notes and p.log == log


def policy_lambdas(decisions, **options):
    """λ of every context a Python policy sees, deciding from `decisions` (then accepting)."""
    seen, it = [], iter(decisions)

    def policy(ctx):
        seen.append(ctx["lambda"])
        return next(it, 1.0)

    # A constant residual never converges, and a Python policy's steps are taken as they come.
    res = marlune.lm(lambda x: [1.0], [0.0], jacobian=lambda x: [1.0],
                     options=dict({"line_search": policy, "tol_r": 0.0, "tol_dx": 0.0}, **options),
                     debug={"history": True})
    return seen, res


def test_damping_sequence():
    seen, res = policy_lambdas([(False, 1.0)] * 3, max_iters=60)
    assert seen[:5] == [1e-3, 1e-2, 1e-1, 1.0, 0.5]
    assert seen[-3:] == [1e-12] * 3 and res[6][-1]["lambda"] == 1e-12
    assert check_records(res[6], "lm")[1:4] == ["rejected"] * 3


@pytest.mark.parametrize("options,first", [({"lambda": 0.0}, 1e-12), ({"lambda_": 1e-20}, 1e-12), ({"lambda": 2.0}, 2.0)])
def test_damping_starts_at_the_floor_or_above(options, first):
    assert policy_lambdas([], max_iters=1, **options)[0] == [first]


@pytest.mark.parametrize("options,seen", [({"lambda_up": 3.0, "lambda_down": 0.125}, [1e-3, 3e-3, 3e-3 * 0.125])])
def test_custom_factors(options, seen):
    assert policy_lambdas([(False, 1.0)], max_iters=3, **options)[0] == seen


def test_cost_decrease_rejects_an_equal_cost_and_never_falls_back():
    r = Recorder(lambda x: [1.0])  # constant, while the Jacobian claims a slope
    res = marlune.lm(r, [0.0], jacobian=lambda x: [1.0], options={"max_iters": 2}, debug={"history": True})
    assert check_records(res[6], "lm") == ["initial", "rejected", "rejected"] and r.n == 4
    # Where the solved direction underflows, CostDecrease takes it as it is (no slope test): it meets tol_dx.
    res = marlune.lm(lambda x: [1e150 * x[0] + 1e-150 * x[1] + 1e-160], [0.0, 0.0],
                     jacobian=lambda x: [1e150, 1e-150], options={"tol_r": 0.0, "tol_dx": 0.0},
                     debug={"history": True})
    assert check_records(res[6], "lm") == ["initial"] and res[4] == 0.0 and res[5] is True


def test_linear_solve_failure_raises_lambda():
    # λ = 1e12·... grows without bound: J = 1e200 makes J·Jᵀ infinite, so every solve fails.
    res = marlune.lm(lambda x: [1e200 * x[0] - 1.0], [0.0], jacobian=lambda x: [1e200],
                     options={"max_iters": 3}, debug={"history": True})
    assert check_records(res[6], "lm") == ["initial"] + ["linear_solve_failed"] * 3
    assert [r["lambda"] for r in res[6][1:]] == [1e-2, 1e-1, 1e-1 * 10] and math.isnan(res[4])


def validator(key, value, text):
    return {key: value}, f"lm: options.{key} {text}"


@pytest.mark.parametrize("options,message", [
    validator("lambda_up", 1.0, "must be finite and > 1, got 1"),
    validator("lambda_up", math.inf, "must be finite and > 1, got inf"),
    validator("lambda_down", 1.0, "must be finite and in (0,1), got 1"),
    validator("lambda_down", 0.0, "must be finite and in (0,1), got 0"),
    validator("step_scale", 0.0, "must be finite and in (0,1], got 0"),
    validator("step_scale", 1.5, "must be finite and in (0,1], got 1.5"),
    validator("tol_r", -1e-300, "must be finite and >= 0, got -" + "0." + "0" * 299 + "1"),
    validator("tol_dx", math.nan, "must be finite and >= 0, got NaN"),
    ({"lambda_": -1.0}, "lm: options.lambda must be finite and >= 0, got -1"),
    ({"lambda": 1.0, "lambda_": 1.0}, "lm: options must not contain both 'lambda' and 'lambda_'"),
    ({"history": True}, "lm: unknown options key 'history'"),
    ({"ls_beta": 0.5}, "lm: unknown options key 'ls_beta'"),
    ({"max_iters": 1.5}, "lm: invalid options.max_iters"),
    ({"lambda_down": "0.5"}, "lm: invalid options.lambda_down"),
    # Reading order: the damping, then the factors, then the rest.
    ({"tol_dx": -1.0, "lambda_down": 2.0, "lambda_up": 0.5}, "lm: options.lambda_up must be finite and > 1, got 0.5"),
    ({"max_iters": -1, "manifold": type("M", (), {"retract": 1})()}, "manifold.retract must be callable"),
    ({"max_iters": -1, "tol_dx": -1.0}, "lm: options.tol_dx must be finite and >= 0, got -1"),
])
def test_option_errors(options, message):
    p = shift([1.0])
    with pytest.raises(ValueError) as ei:
        marlune.lm(p.residual, [0.0], jacobian=p.jacobian, options=options)
    assert str(ei.value) == message and p.log == []


def test_argument_errors():
    r = Recorder(lambda x: [1.0])
    with pytest.raises(ValueError, match="^lm: x0 must be provided$"):
        marlune.lm(r, options="not a dict")
    with pytest.raises(ValueError, match="^lm: debug must be a dict$"):
        marlune.lm(r, [1.0], debug=1)
    assert r.n == 0
    with pytest.raises(marlune.PanicException, match=r"^assertion failed: m > 0 && n > 0$"):
        marlune.lm(r, [], jacobian=r)
    assert r.n == 1
