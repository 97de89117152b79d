"""The opt-in accuracy settings of gn and lm: linear_system for lm, scaling, tol_cost, tol_dx_rel."""

import hashlib
import math

import pytest

import marlune
from conftest import Recorder, check_records, shift

TIGHT = {"tol_r": 0.0, "tol_dx": 0.0, "tol_cost": 1e-15, "max_iters": 1000}

# A Michaelis-Menten fit in SI units: substrate concentrations in mol/L
# (1e-8 to 5e-6), rates in counts per second (up to 3e4). The two parameters
# differ by eleven orders of magnitude.
S = [2e-8, 4e-8, 1e-7, 2e-7, 5e-7, 1e-6, 2e-6, 5e-6]
V = [3.0e4 * s / (4.0e-7 + s) * (1 + 0.01 * (-1) ** i) for i, s in enumerate(S)]
MM_X0 = [1.0e4, 1.0e-6]
MM_FIT = (29864.1166414, 3.95117335e-07)


def mm_residual(p):
    return [p[0] * s / (p[1] + s) - v for s, v in zip(S, V)]


def mm_jacobian(p):
    return [d for s in S for d in (s / (p[1] + s), -p[0] * s / (p[1] + s) ** 2)]


def rosen(x):
    return [10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0]]


def rosen_j(x):
    return [-20.0 * x[0], 10.0, -1.0, 0.0]


# --- validation ---------------------------------------------------------------

@pytest.mark.parametrize("fn", ["gn", "lm"])
@pytest.mark.parametrize("options,message", [
    ({"scaling": "Marquardt"},
     "options.scaling must be 'none', 'marquardt', or a sequence of positive scales, got 'Marquardt'"),
    ({"scaling": [1.0]}, "options.scaling must hold one scale per parameter: expected 2, got 1"),
    ({"scaling": [1.0, 0.0]}, "options.scaling[1] must be finite and > 0, got 0"),
    ({"scaling": (math.inf, 1.0)}, "options.scaling[0] must be finite and > 0, got inf"),
    ({"scaling": [1.0, math.nan]}, "options.scaling[1] must be finite and > 0, got NaN"),
    ({"scaling": 2.0}, "invalid options.scaling"),
    ({"scaling": None}, "invalid options.scaling"),
    ({"scaling": [1.0, "a"]}, "invalid options.scaling"),
    ({"tol_cost": -1e-300}, "options.tol_cost must be finite and >= 0, got -0." + "0" * 299 + "1"),
    ({"tol_cost": "1e-9"}, "invalid options.tol_cost"),
    ({"tol_dx_rel": math.inf}, "options.tol_dx_rel must be finite and >= 0, got inf"),
    ({"linear_system": "normal"}, "linear_system must be 'left_jjt' or 'normal_jtj', got 'normal'"),
    # The original keys are checked first, whatever the dict's order.
    ({"tol_cost": -1.0, "lambda": -1.0}, "options.lambda must be finite and >= 0, got -1"),
    ({"scaling": "x", "max_iters": -1}, "invalid options.max_iters"),
])
def test_new_options_are_validated_before_any_call(fn, options, message):
    p = shift([1.0, 2.0])
    with pytest.raises(ValueError) as ei:
        getattr(marlune, fn)(p.residual, [0.0, 0.0], jacobian=p.jacobian, options=options)
    assert str(ei.value) == f"{fn}: {message}" and p.log == []


@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
@pytest.mark.parametrize("scaling", ["none", "marquardt", [1.0, 2.0], (3, 4), range(1, 3)])
def test_accepted_scaling_values(fn, scaling):
    p = shift([1.0, 2.0])
    res = fn(p.residual, [0.0, 0.0], jacobian=p.jacobian, options={"scaling": scaling, "tol_r": 1e-12, "tol_dx": 0.0})
    assert res[5] is True and max(abs(a - b) for a, b in zip(res[0], [1.0, 2.0])) < 1e-9


# --- effect -------------------------------------------------------------------

@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
def test_a_badly_scaled_fit_needs_scaling(fn):
    # Unscaled, the damping is absolute: the tiny K_m is frozen (lm even
    # reports convergence at the start), and tight tolerances only spend
    # the iteration budget. Scaled, the fit is found in a few steps.
    for options in ({}, TIGHT):
        x, cost, its, *_ = fn(mm_residual, MM_X0, jacobian=mm_jacobian, options=options)
        assert abs(x[1] - MM_FIT[1]) > 0.5 * MM_FIT[1]
    for form in ("left_jjt", "normal_jtj"):
        options = dict(TIGHT, scaling="marquardt", linear_system=form)
        x, cost, its, _, _, converged = fn(mm_residual, MM_X0, jacobian=mm_jacobian, options=options)
        assert converged and its < 200
        assert x == pytest.approx(MM_FIT, rel=1e-8)


@pytest.mark.parametrize("options", [{}, {"scaling": "marquardt"}, {"scaling": [2.0, 0.5]}])
def test_lm_normal_form_equals_the_left_form_to_rounding(options):
    runs = [marlune.lm(rosen, [-1.2, 1.0], jacobian=rosen_j, debug={"history": True},
                       options=dict(options, linear_system=form, tol_r=0.0, tol_dx=0.0, max_iters=12))
            for form in ("left_jjt", "normal_jtj")]
    (left, normal) = (r[6] for r in runs)
    assert [r["note"] for r in left] == [r["note"] for r in normal]
    for a, b in zip(left, normal):
        assert a["cost"] == pytest.approx(b["cost"], rel=1e-9, abs=1e-300)
        assert (a["dx_norm"] is None) == (b["dx_norm"] is None)
        if a["dx_norm"] is not None:
            assert a["dx_norm"] == pytest.approx(b["dx_norm"], rel=1e-9, abs=1e-300)


@pytest.mark.parametrize("fn", [marlune.gn, marlune.lm])
def test_given_scales_are_a_change_of_variables(fn):
    # scaling=s on x = s·u takes the steps that no scaling takes on u: the
    # scales are typical sizes (D = 1/s), not weights.
    s = [1e3, 1e-3]

    def residual(x):
        return rosen([x[0] / s[0], x[1] / s[1]])

    def jacobian(x):
        return [v / s[k % 2] for k, v in enumerate(rosen_j([x[0] / s[0], x[1] / s[1]]))]

    opts = {"max_iters": 6, "tol_r": 0.0, "tol_dx": 0.0}
    x, cost, *_ = fn(residual, [-1.2 * s[0], 1.0 * s[1]], jacobian=jacobian, options=dict(opts, scaling=s))
    u, plain_cost, *_ = fn(rosen, [-1.2, 1.0], jacobian=rosen_j, options=opts)
    assert [x[0] / s[0], x[1] / s[1]] == pytest.approx(u, rel=1e-9)
    assert cost == pytest.approx(plain_cost, rel=1e-9, abs=1e-300)


@pytest.mark.parametrize("fn,solver", [(marlune.gn, "gn"), (marlune.lm, "lm")])
def test_tol_cost_ends_the_run_after_a_small_accepted_reduction(fn, solver):
    base = {"tol_r": 0.0, "tol_dx": 0.0, "max_iters": 200, "scaling": "marquardt"}
    _, cost, its, _, dx, conv, hist = fn(mm_residual, MM_X0, jacobian=mm_jacobian, options=dict(base, tol_cost=1e-6),
                                         debug={"history": True})
    full = fn(mm_residual, MM_X0, jacobian=mm_jacobian, options=base)
    assert conv and its < full[2]
    accepted = [r for r in hist if r["note"] == "accepted"]
    before, last = (accepted[-2]["cost"] if len(accepted) > 1 else hist[0]["cost"]), accepted[-1]["cost"]
    assert 0.0 <= before - last <= 1e-6 * before and last == cost
    assert dx == accepted[-1]["dx_norm"] and its == accepted[-1]["iter"] + 1
    if solver == "gn":
        assert check_records(hist, "gn")[-1] == "converged_cost" and hist[-1]["dx_norm"] == dx
    else:
        assert hist[-1] is accepted[-1]  # lm names no ending


@pytest.mark.parametrize("fn,solver", [(marlune.gn, "gn"), (marlune.lm, "lm")])
def test_tol_dx_rel_compares_the_step_with_the_point(fn, solver):
    # Near x = 1e6 a bound of 1e-9 relative is 1e-3 absolute: the run stops at
    # the first direction below it, long before the default tol_dx of 1e-6.
    p = shift([1e6])
    opts = {"tol_r": 0.0, "tol_dx_rel": 1e-9}
    x, cost, its, r, dx, conv, hist = fn(p.residual, [0.0], jacobian=p.jacobian, options=opts, debug={"history": True})
    bound = 1e-9 * (abs(x[0]) + 1e-9)
    assert conv and 0.0 < dx <= bound
    steps = [rr["dx_norm"] for rr in hist if rr["note"] == "accepted"]
    assert len(steps) == its and all(d > bound for d in steps)
    assert hist[-1]["note"] == ("converged_dx" if solver == "gn" else "accepted")
    assert fn(p.residual, [0.0], jacobian=p.jacobian, options={"tol_r": 0.0})[2] > its


# --- defaults unchanged ---------------------------------------------------------

T = [0.0, 0.5, 1.0, 1.5, 2.0, 3.0]
Y = [2.0, 1.4, 0.95, 0.7, 0.5, 0.3]


def expfit(p):
    return [p[0] * math.exp(-p[1] * t) - y for t, y in zip(T, Y)]


def expfit_j(p):
    return [v for t in T for v in (math.exp(-p[1] * t), -p[0] * t * math.exp(-p[1] * t))]


def default_runs():
    """Every kind of default run, with histories: the results these settings gave before they existed."""
    out = []
    for fn in (marlune.gn, marlune.lm):
        for res, jac, x0 in ((rosen, rosen_j, [-1.2, 1.0]), (expfit, expfit_j, [1.0, 1.0])):
            configs = [{}, {"line_search": lambda ctx: 0.5 * ctx["alpha0"]}, {"lambda": 0.1, "max_iters": 7}]
            if fn is marlune.gn:
                configs += [{"line_search_method": m} for m in ("strict_decrease", "none")]
                configs += [{"damping_update": "fixed"}, {"linear_system": "normal_jtj"}, {"line_search": False}]
            for opts in configs:
                out.append(fn(res, x0, jacobian=jac, options=opts, debug={"history": True}))
            m = len(res(x0))
            out.append(fn(res, x0, jacobian_vec=lambda x, v: [
                sum(a * b for a, b in zip(jac(x)[i * 2:i * 2 + 2], v)) for i in range(m)]))
    return out


def test_default_runs_are_bit_for_bit_those_of_before():
    # The digest of default_runs() as computed before the opt-in settings
    # existed; the new settings off must leave every bit as it was.
    digest = hashlib.sha256(repr(default_runs()).encode()).hexdigest()
    assert digest == "775ca526fc9b2de7cfae1a06e0e32cd9554656476cb5bf1022ef8740267b6eb5"


@pytest.mark.parametrize("off", [{"scaling": "none"}, {"tol_cost": 0.0, "tol_dx_rel": 0.0}])
def test_settings_at_their_off_values_change_nothing(off):
    for fn in (marlune.gn, marlune.lm):
        a = fn(expfit, [1.0, 1.0], jacobian=expfit_j, debug={"history": True})
        b = fn(expfit, [1.0, 1.0], jacobian=expfit_j, options=off, debug={"history": True})
        assert repr(a) == repr(b)
