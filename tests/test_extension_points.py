"""Manifold objects and Python line-search policies in gd, gn and lm."""

import math

import numpy as np
import pytest

import marlune
from conftest import Recorder, check_records, shift, sumsq, twice

NON_FINITE = "line_search callback returned non-finite alpha"
FORM = "line_search callback must return float alpha, (accepted, alpha), or {'alpha': ..., 'accepted': ...}"
NO_ALPHA = "line_search callback dict result requires key 'alpha'"


def solve(name, options, debug=None):
    """One of the three solvers on a 2-D problem whose minimum is at (1, 2)."""
    if name == "gd":
        f = lambda x: (x[0] - 1.0) ** 2 + (x[1] - 2.0) ** 2
        g = lambda x: [2.0 * (x[0] - 1.0), 2.0 * (x[1] - 2.0)]
        return marlune.gd(f, g, [0.0, 0.0], options=dict({"step_size": 0.25}, **options), debug=debug)
    p = shift([1.0, 2.0])
    return getattr(marlune, name)(p.residual, [0.0, 0.0], jacobian=p.jacobian, options=options, debug=debug)


ALL = pytest.mark.parametrize("name", ["gd", "gn", "lm"])


class Obj:
    """A manifold object with the given attributes."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def euclidean_retract(log):
    def retract(x, d, alpha):
        log.append("retract")
        return [xi + alpha * di for xi, di in zip(x, d)]
    return retract


# --- the manifold adapter --------------------------------------------------------

@ALL
def test_python_operations_replace_euclidean_ones(name):
    log = []
    plain = solve(name, {})
    m = Obj(retract=euclidean_retract(log))
    assert solve(name, {"manifold": m}) == plain and log  # same arithmetic, through Python
    log.clear()
    norm = Recorder(lambda v: math.sqrt(sum(e * e for e in v)), "norm", log)
    scale = Recorder(lambda v, a: [a * e for e in v], "scale", log)
    assert solve(name, {"manifold": Obj(tangent_norm=norm, scale=scale)}) == plain
    assert norm.n > 0 and (scale.n > 0) == (name == "gd")  # only gd scales
    assert all(type(a) is list and all(type(e) is float for e in a) for a in norm.calls[0])


@ALL
@pytest.mark.parametrize("attrs,message", [
    ({"add": 3}, "manifold.add must be callable"), ({"scale": None}, "manifold.scale must be callable"),
    ({"retract": "r", "scale": None}, "manifold.retract must be callable"),  # the first one stops the checks
])
def test_non_callable_attributes_are_refused_before_anything_runs(name, attrs, message):
    with pytest.raises(ValueError) as ei:
        solve(name, {"manifold": Obj(**attrs), "max_iters": Recorder(None)})  # max_iters would fail later
    assert str(ei.value) == message


def test_attribute_lookups():
    looked = []

    class M:
        @property
        def retract(self):
            looked.append("retract")
            return lambda x, d, a: [xi + a * di for xi, di in zip(x, d)]

        @property
        def scale(self):
            looked.append("scale")
            raise AttributeError("absent")  # AttributeError means absent, subclasses too

        @property
        def add(self):
            looked.append("add")
            raise KeyError("not an attribute error")

    with pytest.raises(KeyError):
        solve("gd", {"manifold": M()})
    assert looked == ["retract", "retract", "scale", "add"]  # present: looked up twice; difference never
    assert solve("lm", {"manifold": None}) == solve("lm", {})  # None has none of the attributes


@ALL
def test_a_retract_one_element_short_falls_back_to_euclidean(name):
    retract = Recorder(lambda x, d, a: [0.0])
    with pytest.raises(ValueError, match=r"^manifold\.retract length mismatch: expected 2, got 1$"):
        solve(name, {"manifold": Obj(retract=retract)})
    assert retract.n == 1


@ALL
@pytest.mark.parametrize("result,error", [
    (math.nan, "manifold.tangent_norm returned non-finite value"), (math.inf, "manifold.tangent_norm returned non-finite value"),
    ("1", "must be real number, not str"), (-1.0, None),
])
def test_tangent_norm_results(name, result, error):
    norm = Recorder(lambda v: result)
    if error is None:  # -1 is taken as the norm: below every tolerance, so the first test converges
        res = solve(name, {"manifold": Obj(tangent_norm=norm)})
        assert res[-1] is True and norm.n == 1
        return
    with pytest.raises((ValueError, TypeError)) as ei:
        solve(name, {"manifold": Obj(tangent_norm=norm)})
    assert str(ei.value) == error and norm.n == 1


@pytest.mark.parametrize("make", [np.array, lambda v: np.array(v, dtype=np.float32), tuple])
def test_manifold_results_may_be_any_sequence(make):
    m = Obj(retract=lambda x, d, a: make([xi + a * di for xi, di in zip(x, d)]),
            scale=lambda v, a: make([a * e for e in v]))
    assert solve("gd", {"manifold": m}) == solve("gd", {})


# --- the line-search policy ------------------------------------------------------

RESULTS = [  # result, then: a float is the accepted alpha, None a rejection, a str the ValueError
    (0.5, 0.5), (True, 1.0), (-1.0, -1.0), (np.float32(0.25), 0.25), ((False, 0.25), None),
    ((np.bool_(True), 0.5), 0.5), ((1, 0.25), FORM), ([True, 0.25], FORM), ({"alpha": 0.1}, 0.1),
    ({"alpha": 0.1, "accepted": False}, None), ({"alpha": 0.1, "accepted": 0}, 0.1), ({"accepted": True}, NO_ALPHA),
    (math.inf, NON_FINITE), ((True, math.nan), NON_FINITE), ({"alpha": math.nan}, NON_FINITE), (None, FORM),
]


@pytest.mark.parametrize("name", ["gn", "lm"])
@pytest.mark.parametrize("result,expected", RESULTS)
def test_policy_results_in_the_least_squares_solvers(name, result, expected):
    policy = Recorder(lambda ctx: result)
    p = shift([1.0, 2.0])
    run = lambda: getattr(marlune, name)(p.residual, [0.0, 0.0], jacobian=p.jacobian,
                                         options={"line_search": policy, "max_iters": 2}, debug={"history": True})
    if type(expected) is str:
        with pytest.raises(ValueError) as ei:
            run()
        assert str(ei.value) == expected and policy.n == 1 and p.log == ["r", "r", "J"]
        return
    res = run()
    notes = check_records(res[6], name)
    if expected is None:
        assert notes[1:3] == ["rejected"] * 2 and res[0] == [0.0, 0.0]
    else:
        assert notes[1] == "accepted" and res[6][1]["alpha"] == expected
    assert p.log[:4] == ["r", "r", "J", "r" if expected is not None else "J"]


@ALL
@pytest.mark.parametrize("value", [None, 3, "armijo"])
def test_a_line_search_that_is_not_callable(name, value):
    with pytest.raises(TypeError, match="object is not callable"):
        solve(name, {"line_search": value, "max_iters": 10**9})


def test_gn_takes_bools_as_a_choice_of_built_in_policy():
    p = shift([1.0, 2.0])
    base = marlune.gn(p.residual, [0.0, 0.0], jacobian=p.jacobian)
    assert marlune.gn(p.residual, [0.0, 0.0], jacobian=p.jacobian, options={"line_search": True}) == base
    assert marlune.gn(p.residual, [0.0, 0.0], jacobian=p.jacobian, options={"line_search": np.bool_(True)}) == base


@ALL
def test_a_callback_error_stops_further_policy_calls(name):
    policy = Recorder(lambda ctx: 1.0)
    if name == "gd":
        run = lambda: marlune.gd(lambda x: math.nan, twice, [1.0], options={"line_search": policy})
    else:
        run = lambda: getattr(marlune, name)(lambda x: [x[0]], [1.0], jacobian=Recorder(lambda x: 1 / 0),
                                             options={"line_search": policy, "max_iters": 10**9})
    with pytest.raises((ValueError, ZeroDivisionError)):
        run()
    assert policy.n == 0


@pytest.mark.parametrize("name", ["gn", "lm"])
def test_least_squares_context(name):
    seen = []
    p = shift([3.0, 4.0])
    getattr(marlune, name)(p.residual, [0.0, 0.0], jacobian=p.jacobian,
                           options={"line_search": lambda c: seen.append(c) or 1.0, "max_iters": 1, "lambda": 0.0,
                                    "step_scale": 0.5})
    lam = 0.0 if name == "gn" else 1e-12
    d = 5.0 / (1.0 + lam)
    assert list(seen[0]) == ["iter", "alpha0", "cost0", "dphi0", "dx_norm", "lambda"]
    assert seen[0]["iter"] == 0 and seen[0]["alpha0"] == 0.5 and seen[0]["cost0"] == 12.5
    assert seen[0]["lambda"] == lam and seen[0]["dx_norm"] == pytest.approx(d, rel=1e-15)
    assert seen[0]["dphi0"] == pytest.approx(-25.0 / (1.0 + lam), rel=1e-15)


def test_lm_falls_back_to_steepest_descent_with_a_python_policy():
    # J·Jᵀ = 1e300 makes the solved direction underflow to zero (slope not negative); -g descends.
    seen = []
    res = marlune.lm(lambda x: [1e150 * x[0] + 1e-150 * x[1] + 1e-160], [0.0, 0.0],
                     jacobian=lambda x: [1e150, 1e-150],
                     options={"tol_r": 0.0, "tol_dx": 0.0, "max_iters": 1, "line_search": lambda c: seen.append(c) or
                              (False, 1.0)},
                     debug={"history": True})
    g = [0.0 + 1e-160 * 1e150, 0.0 + 1e-160 * 1e-150]
    minus_sum_sq = -0.0 + g[0] * -g[0] + g[1] * -g[1]
    assert minus_sum_sq < 0.0
    assert check_records(res[6], "lm") == ["initial", "fallback_to_steepest_descent", "rejected"]
    assert res[6][1]["dphi0"] == minus_sum_sq == seen[0]["dphi0"]
    assert res[6][2]["dx_norm"] == math.sqrt(-0.0 + g[0] * g[0] + g[1] * g[1]) == seen[0]["dx_norm"]
