"""Gradient descent with a Python line-search policy."""

import math

import pytest

import marlune
from conftest import Recorder, sumsq, twice

NON_FINITE = "line_search callback returned non-finite alpha"
FORM = "line_search callback must return float alpha, (accepted, alpha), or {'alpha': ..., 'accepted': ...}"
NO_ALPHA = "line_search callback dict result requires key 'alpha'"


# expected: a float is the accepted alpha, None a rejected step, a str the ValueError raised.
@pytest.mark.parametrize("result,expected", [
    (0.5, 0.5), (True, 1.0), (-1.0, -1.0), ((True, 0.1), 0.1), ({"alpha": 0.1, "accepted": 0}, 0.1),
    ({"accepted": True, "alpha": 1}, 1.0), ((False, 0.25), None), ({"alpha": 0.1, "accepted": False}, None),
    ((1, 0.25), FORM), ([True, 0.25], FORM), ({"accepted": True}, NO_ALPHA),
    (math.inf, NON_FINITE), ((True, math.nan), NON_FINITE),
])
def test_policy_results(quad, result, expected):
    f, g, log = quad
    accepted = type(expected) is float
    options = {"step_size": 0.25, "tol_grad": 0.0, "max_iters": 1 if accepted else 5,
               "line_search": Recorder(lambda ctx: result, "ls", log)}
    if type(expected) is str:
        with pytest.raises(ValueError) as ei:
            marlune.gd(f, g, [1.0], options=options)
        assert str(ei.value) == expected
    else:
        x1 = 1.0 - 2.0 * expected if accepted else 1.0
        # A rejected step ends the run at iteration 0 with x0 and a single record.
        res = marlune.gd(f, g, [1.0], options=options, debug={"history": True})
        assert res[:3] == ([x1], x1 * x1, False) and len(res[3]) == 1
    assert log == ["grad", "f", "ls"] + (["f", "f"] if accepted else [])


def test_line_search_none_fails_after_the_first_evaluations(quad):
    f, g, log = quad
    with pytest.raises(TypeError) as ei:
        marlune.gd(f, g, [1.0], options={"line_search": None})
    assert str(ei.value) == "'NoneType' object is not callable" and log == ["grad", "f"]


def test_context_dictionary(quad):
    f, g, _ = quad
    seen = []

    def policy(ctx):
        seen.append(dict(ctx))
        ctx.clear()
        return 0.05

    marlune.gd(f, g, [3.0, 4.0], options={"step_size": 0.1, "line_search": policy, "max_iters": 2})
    x1 = [v - 0.05 * (2.0 * v) for v in [3.0, 4.0]]
    gn1 = math.sqrt(sumsq(twice(x1)))
    assert seen == [
        {"iter": 0, "alpha0": 0.1, "cost0": 25.0, "dphi0": -100.0, "dx_norm": 10.0, "lambda": 0.0},
        {"iter": 1, "alpha0": 0.1, "cost0": sumsq(x1), "dphi0": -(gn1 * gn1), "dx_norm": gn1, "lambda": 0.0},
    ]
    assert list(seen[0]) == ["iter", "alpha0", "cost0", "dphi0", "dx_norm", "lambda"]
    assert type(seen[0]["iter"]) is int
