"""Gradient descent with a Python line-search policy."""

import collections
import math

import numpy as np
import pytest

import marlune
from conftest import FloatRaises, Floaty, Recorder, float_error, rec, sumsq, twice

NON_FINITE = "line_search callback returned non-finite alpha"
FORM = "line_search callback must return float alpha, (accepted, alpha), or {'alpha': ..., 'accepted': ...}"
NO_ALPHA = "line_search callback dict result requires key 'alpha'"


class PolicyError(Exception):
    pass


def run(result, max_iters):
    """gd from x0 = [1.0] with a policy returning result (raising it if it is an exception)."""
    log = []

    def policy(ctx):
        if isinstance(result, BaseException):
            raise result
        return result

    f, g, ls = Recorder(sumsq, "f", log), Recorder(twice, "grad", log), Recorder(policy, "ls", log)
    options = {"step_size": 0.25, "tol_grad": 0.0, "max_iters": max_iters, "line_search": ls}
    return (lambda: marlune.gd(f, g, [1.0], options=options)), log


@pytest.mark.parametrize("result,alpha", [
    (0.5, 0.5), (True, 1.0), (2, 2.0), (-1.0, -1.0), (0.0, 0.0), (np.float64(0.1), 0.1),
    (np.float32(0.5), 0.5), (Floaty(0.1), 0.1), ((True, 0.1), 0.1), ((np.bool_(True), 0.1), 0.1),
    ((True, 1), 1.0), ({"alpha": 0.1}, 0.1), ({"alpha": 0.1, "accepted": 0}, 0.1),
    ({"alpha": 0.1, "accepted": None}, 0.1), ({"accepted": True, "alpha": 1}, 1.0),
    (collections.OrderedDict(alpha=0.1), 0.1),
])
def test_accepted_results_move_by_alpha(result, alpha):
    call, log = run(result, max_iters=1)
    x1 = 1.0 + alpha * -2.0
    assert call() == ([x1], x1 * x1, False)
    assert log == ["grad", "f", "ls", "f", "f"]


@pytest.mark.parametrize("result", [
    (False, 0.25), (np.bool_(False), 0.1), (False, -3),
    {"alpha": 0.1, "accepted": False}, {"alpha": 0.1, "accepted": np.bool_(False)},
])
def test_rejected_results_stop_the_run(result):
    call, log = run(result, max_iters=5)
    assert call() == ([1.0], 1.0, False) and log == ["grad", "f", "ls"]


@pytest.mark.parametrize("result,exc,message", [
    *[(v, ValueError, NON_FINITE) for v in (math.inf, -math.inf, math.nan, (True, math.nan),
                                            (False, math.inf), {"alpha": math.nan})],
    *[(v, ValueError, FORM) for v in ((1, 0.25), [True, 0.25], (True, 0.25, 0), (True,), "0.5", None,
                                      (True, "x"), FloatRaises(KeyError("k")))],
    ({"accepted": True}, ValueError, NO_ALPHA), ({}, ValueError, NO_ALPHA),
    ({"alpha": "x"}, TypeError, float_error("x")), ({"alpha": None}, TypeError, float_error(None)),
    (PolicyError("mine"), PolicyError, "mine"),
])
def test_policy_errors_reject_the_step_and_are_raised(result, exc, message):
    call, log = run(result, max_iters=5)
    with pytest.raises(exc) as ei:
        call()
    assert type(ei.value) is exc and str(ei.value) == message
    assert ei.value is result or not isinstance(result, BaseException)
    assert log == ["grad", "f", "ls"]


@pytest.mark.parametrize("policy,message", [(None, "'NoneType' object is not callable"),
                                            (5, "'int' object is not callable")])
def test_non_callable_policy(quad, policy, message):
    f, g, log = quad
    with pytest.raises(TypeError, match=f"^{message}$"):
        marlune.gd(f, g, [1.0], options={"line_search": policy})
    assert log == ["grad", "f"]


def test_rejecting_policy_keeps_x0_and_one_record(quad):
    f, g, log = quad
    ls = Recorder(lambda ctx: (False, 0.25), "ls", log)
    res = marlune.gd(f, g, [3.0, 4.0], options={"step_size": 0.1, "line_search": ls}, debug={"history": True})
    assert res == ([3.0, 4.0], 25.0, False, [rec(0, 25.0, 10.0, 0.1)]) and log == ["grad", "f", "ls"]


def test_context_dictionary(quad):
    f, g, _ = quad
    seen = []

    def policy(ctx):
        seen.append(dict(ctx))
        ctx.clear()
        return 0.05

    marlune.gd(f, g, [3.0, 4.0], options={"step_size": 0.1, "line_search": policy, "max_iters": 2})
    x1 = [v + 0.05 * (-1.0 * (2.0 * v)) for v in [3.0, 4.0]]
    gn1 = math.sqrt(sumsq(twice(x1)))
    assert seen == [
        {"iter": 0, "alpha0": 0.1, "cost0": 25.0, "dphi0": -100.0, "dx_norm": 10.0, "lambda": 0.0},
        {"iter": 1, "alpha0": 0.1, "cost0": sumsq(x1), "dphi0": -(gn1 * gn1), "dx_norm": gn1, "lambda": 0.0},
    ]
    assert [type(v) for v in seen[0].values()] == [int, float, float, float, float, float]
    assert list(seen[0]) == ["iter", "alpha0", "cost0", "dphi0", "dx_norm", "lambda"] and g.calls[1][0] == x1


@pytest.mark.parametrize("options,result,log", [
    ({"step_size": 0.1, "tol_grad": 0.001},
     ([0.5 ** 11], 0.25 ** 11, True, [rec(k, 0.25 ** k, 2 * 0.5 ** k, 0.1) for k in range(12)]
      + [rec(11, 0.25 ** 11, 2 * 0.5 ** 11, note="converged")]),
     ["grad", "f", "ls", "f"] * 11 + ["grad", "f"]),
    ({"max_iters": 2}, ([0.25], 0.0625, False, [rec(0, 1.0, 2.0, 0.001), rec(1, 0.25, 1.0, 0.001)]),
     ["grad", "f", "ls", "f"] * 2 + ["f"]),
])
def test_line_search_run_records_every_iteration_with_the_configured_step(quad, options, result, log):
    f, g, calls = quad
    ls = Recorder(lambda ctx: 0.25, "ls", calls)
    assert marlune.gd(f, g, [1.0], options=dict(options, line_search=ls), debug={"history": True}) == result
    assert calls == log
