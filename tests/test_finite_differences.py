"""jacobian="2-point" / "3-point": gn and lm difference the residual themselves."""

import math

import pytest

import marlune
from conftest import Recorder

STEP = {"2-point": 2.0**-26, "3-point": 6.0554544523933395e-06}
T = [0.0, 0.5, 1.0, 1.5, 2.0, 3.0]
Y = [2.0, 1.4, 0.95, 0.7, 0.5, 0.3]


def decay(p):
    return [p[0] * math.exp(-p[1] * t) - y for t, y in zip(T, Y)]


def decay_j(p):
    return [v for t in T for v in (math.exp(-p[1] * t), -p[0] * t * math.exp(-p[1] * t))]


# A peak of height 1.2 at 1.1, width 0.7, with a little deterministic noise.
YG = [1.2 * math.exp(-0.5 * ((t - 1.1) / 0.7) ** 2) + 0.01 * (-1) ** i for i, t in enumerate(T)]


def gauss(p):
    return [p[0] * math.exp(-0.5 * ((t - p[1]) / p[2]) ** 2) - y for t, y in zip(T, YG)]


def gauss_j(p):
    out = []
    for t in T:
        g = math.exp(-0.5 * ((t - p[1]) / p[2]) ** 2)
        out += [g, p[0] * g * (t - p[1]) / p[2] ** 2, p[0] * g * (t - p[1]) ** 2 / p[2] ** 3]
    return out


def perturbed(x, scheme):
    """The points one difference Jacobian at x evaluates, in order."""
    out = []
    for k, xk in enumerate(x):
        h = STEP[scheme] * max(1.0, abs(xk))
        for sign in (1.0, -1.0) if scheme == "3-point" else (1.0,):
            out.append([xi + sign * h if i == k else xi for i, xi in enumerate(x)])
    return out


@pytest.mark.parametrize("scheme", ["2-point", "3-point"])
@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
def test_each_jacobian_costs_its_residual_calls_at_the_perturbed_points(fn, scheme):
    r = Recorder(decay)
    x0 = [1.0, -3.5]
    fn(r, x0, jacobian=scheme, options={"max_iters": 1, "line_search": lambda ctx: (False, 1.0)})
    # residual(x0) twice (m, then the start), then one Jacobian: n or 2n calls, no step.
    assert [list(c[0]) for c in r.calls] == [x0, x0] + perturbed(x0, scheme)


@pytest.mark.parametrize("scheme,digits", [("2-point", 6), ("3-point", 9)])
@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
@pytest.mark.parametrize("model,jac,x0", [(decay, decay_j, [1.0, 1.0]), (gauss, gauss_j, [1.5, 0.5, 1.5])])
def test_the_fit_agrees_with_the_analytic_one(fn, scheme, digits, model, jac, x0):
    # A fit is as exact as its Jacobian lets the step be: forward differences
    # carry errors of about √eps, central ones about eps^(2/3).
    opts = {"tol_r": 0.0, "tol_dx": 0.0, "tol_cost": 1e-14, "max_iters": 200}
    exact = fn(model, x0, jacobian=jac, options=opts)
    approx = fn(model, x0, jacobian=scheme, options=opts)
    assert approx[5] and approx[0] == pytest.approx(exact[0], rel=10.0**-digits)
    assert approx[1] == pytest.approx(exact[1], rel=10.0**-(2 * digits - 2))


@pytest.mark.parametrize("scheme", ["2-point", "3-point"])
def test_perturbed_points_are_retracted_then_projected(scheme):
    log = []
    project = Recorder(lambda x: [min(v, 10.0) for v in x], "project", log)
    r = Recorder(decay, "r", log)
    retracted = []

    class Shifted:
        # A retraction that is not x + alpha·d, so that its use shows.
        def retract(self, x, d, alpha):
            retracted.append((x, d, alpha))
            return [xi + alpha * di + 0.5 for xi, di in zip(x, d)]

    x0 = [1.0, 2.0]
    marlune.lm(r, x0, jacobian=scheme, project=project,
               options={"max_iters": 1, "manifold": Shifted(), "line_search": lambda ctx: (False, 1.0)})
    signs = (1.0, -1.0) if scheme == "3-point" else (1.0,)
    expected = [(x0, [1.0, 0.0] if k == 0 else [0.0, 1.0], sign * STEP[scheme] * max(1.0, abs(x0[k])))
                for k in range(2) for sign in signs]
    assert retracted == expected
    assert log == ["r", "r"] + ["project", "r"] * len(expected)
    assert [c[0] for c in project.calls] == [[xi + a * di + 0.5 for xi, di in zip(x, d)] for x, d, a in expected]


@pytest.mark.parametrize("fn,name", [(marlune.gn, "gn"), (marlune.lm, "lm")])
@pytest.mark.parametrize("text", ["2point", "cs", "", "3-Point", " 2-point"])
def test_an_unknown_scheme_is_refused_before_any_call(fn, name, text):
    r = Recorder(decay)
    with pytest.raises(ValueError) as ei:
        fn(r, [1.0, 1.0], jacobian=text, options={"max_iters": "not even checked"})
    assert str(ei.value) == f"{name}: jacobian must be a callable, \"2-point\" or \"3-point\", got '{text}'"
    assert r.n == 0


@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
def test_jacobian_vec_is_ignored_and_a_missing_jacobian_still_fails(fn):
    jv = Recorder(lambda x, v: [0.0] * 6)
    assert fn(decay, [1.0, 1.0], jacobian="3-point", jacobian_vec=jv)[5] and jv.n == 0
    with pytest.raises(ValueError, match="^jacobian or jacobian_vec must be provided$"):
        fn(decay, [1.0, 1.0])


@pytest.mark.parametrize("scheme", ["2-point", "3-point"])
@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
@pytest.mark.parametrize("failure,raised", [
    (lambda x: 1 / 0, ZeroDivisionError),
    (lambda x: [0.0] * 5, ValueError),  # a length change during a difference
])
def test_a_residual_failing_inside_a_difference_ends_the_run(fn, scheme, failure, raised):
    calls = []

    def residual(x):
        calls.append(x)
        return failure(x) if len(calls) == 4 else decay(x)

    with pytest.raises(raised) as ei:
        fn(residual, [1.0, 1.0], jacobian=scheme, options={"max_iters": 50})
    if raised is ValueError:
        assert str(ei.value) == "residual length mismatch: expected 6, got 5"
    assert len(calls) == 4  # the failing call was the last one
