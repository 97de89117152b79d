"""Repeated calls through every outcome must not leak references or memory."""

import gc
import math
import sys
import tracemalloc

import numpy as np

import marlune

ROUNDS, WARMUP = 300, 30


def test_repeated_calls_leak_nothing():
    exc = KeyError("kept")

    def f(x): return sum(v * v for v in x)
    def g(x): return [2.0 * v for v in x]
    def raising(*args): raise exc.with_traceback(None)
    def returning(value): return lambda *args: value

    class BadFloat:
        def __float__(self): raise exc.with_traceback(None)

    x0, ok, hist = [1.0], {"step_size": 0.25, "tol_grad": 0.001}, {"history": True}
    arrays = [np.array([0.5]), np.array([0.5, 9.0])[::2], np.array([0.5], dtype=np.float32)]
    gd_kwargs = [  # successes, binding errors, option errors, then every line search outcome
        {"options": ok}, {"options": ok, "debug": hist}, {"tol": ok}, {"f": ok},
        {"options": [ok]}, {"options": {"bad": ok}}, {"options": {1: ok}}, {"options": {"max_iters": -1}},
        {"debug": {"verbose": 1}}, *({"options": {"line_search": p}, "debug": hist} for p in (
            returning(0.25), raising, returning(math.inf), returning([True, 0.25]),
            returning({"accepted": True}), returning({"alpha": "x"}), None))]
    callbacks = [(raising, g), (f, raising), (f, returning("ab")), (f, returning([1.0, 2.0])),
                 (returning(math.nan), g), (returning("x"), g),
                 *((returning(np.float64(1.0)), returning(a)) for a in arrays)]
    calls = [(marlune.gd, (f, g, x0), kw) for kw in gd_kwargs]
    calls += [(marlune.gd, (a, b, x0), {"options": {"max_iters": 3}}) for a, b in callbacks]
    calls += [(marlune.gd, (f, g, bad), {}) for bad in ("abc", 3, [1.0, "a"], [1.0, BadFloat()])]
    calls += [(marlune.gd, (f,), {}), (marlune.gn, (f, x0, ok), {}), (marlune.lm, (f, "abc"), {"jacobian": g})]

    # gn and lm: successes with every Jacobian form and policy, then every kind of failure.
    def r(x): return [x[0] - 1.0, 2.0 * x[1]]
    def jac(x): return [1.0, 0.0, 0.0, 2.0]
    def jv(x, v): return [v[0], 2.0 * v[1]]
    x2, matrix = [0.0, 3.0], np.array([[1.0, 0.0], [0.0, 2.0]])
    lsq = [{"jacobian": jac}, {"jacobian": returning(matrix)}, {"jacobian_vec": jv}, {"jacobian": jac, "project": returning(x2)},
           {"jacobian": jac, "debug": hist}, {"jacobian": jac, "options": {"line_search": returning((True, 0.5))}},
           {"jacobian": jac, "options": {"max_iters": 0}, "debug": hist},
           {}, {"jacobian": raising}, {"jacobian": returning([1.0])}, {"jacobian_vec": raising},
           {"jacobian_vec": returning("ab")}, {"jacobian": jac, "project": raising}, {"jacobian": jac, "project": returning([1.0])},
           {"jacobian": jac, "options": {"line_search": raising}}, {"jacobian": jac, "options": {"line_search": 3}},
           {"jacobian": jac, "options": {"bad": 1}}, {"jacobian": jac, "options": {"lambda": -1.0}},
           {"jacobian": jac, "options": {"manifold": returning}},
           # the opt-in settings: differences, scaling (and its refusals), the relative tests
           {"jacobian": "2-point"}, {"jacobian": "3-point", "options": {"scaling": "marquardt", "tol_cost": 1e-12}},
           {"jacobian": "cs"}, {"jacobian": jac, "options": {"scaling": [1.0, 2.0], "tol_dx_rel": 1e-9}},
           {"jacobian": jac, "options": {"scaling": [1.0]}}, {"jacobian": jac, "options": {"scaling": [1.0, BadFloat()]}}]
    gn_only = [{"jacobian": jac, "options": {"linear_system": "normal_jtj", "line_search_method": m}}
               for m in ("armijo", "strict_decrease", "none")] + [{"jacobian": jac, "options": {"damping_update": "x"}}]
    class Manifold:
        def retract(self, x, d, a): return [xi + a * di for xi, di in zip(x, d)]
        def scale(self, v, a): return np.array([a * e for e in v])
        def tangent_norm(self, v): return math.sqrt(sum(e * e for e in v))

    class Broken:
        def retract(self, x, d, a): return x[:-1]
        def tangent_norm(self, v): return math.nan

    manifolds = [Manifold(), Broken()]
    lsq += [{"jacobian": jac, "options": {"manifold": m}} for m in manifolds]
    lsq += [{"jacobian": "3-point", "options": {"manifold": m}} for m in manifolds]
    calls += [(marlune.gd, (f, g, x2), {"options": {"manifold": m, "max_iters": 3}}) for m in manifolds]
    for solver in (marlune.gn, marlune.lm):
        calls += [(solver, (r, x2), kw) for kw in lsq + (gn_only if solver is marlune.gn else [])]
        calls += [(solver, (raising, x2), {"jacobian": jac}), (solver, (returning([]), x2), {"jacobian": jac}),
                  (solver, (returning([1.0, np.nan]), x2), {"jacobian": jac}), (solver, (r,), {}),
                  (solver, (returning([1.0]), []), {"jacobian": jac})]
    tracked = [exc, f, g, raising, x0, ok, hist, *arrays, r, jac, jv, x2, matrix, *manifolds]

    def repeat(fn, args, kwargs, times):
        for _ in range(times):
            try:
                fn(*args, **kwargs)
            except (Exception, marlune.PanicException):
                pass
        exc.__traceback__ = None
        gc.collect()

    tracemalloc.start()
    try:
        for call in calls:
            repeat(*call, WARMUP)
        refs, growth = [sys.getrefcount(o) for o in tracked], []
        for call in calls:
            # A leak grows in every pass; caches the interpreter fills on
            # first use (dict resizes, free lists, warm-up that takes longer
            # under PYTHONMALLOC=malloc) level off, so one clean pass of up to
            # six is enough.
            passes = []
            while len(passes) < 6 and (not passes or min(passes) > 8 * ROUNDS):
                start = tracemalloc.get_traced_memory()[0]
                repeat(*call, ROUNDS)
                passes.append(tracemalloc.get_traced_memory()[0] - start)
            growth.append(min(passes))
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in tracked] == refs
    assert [(i, size) for i, size in enumerate(growth) if size > 8 * ROUNDS] == []


def test_returned_objects_are_owned_by_the_caller_alone():
    def r(x): return [x[0] - 1.0, 2.0 * x[1]]
    def jac(x): return [1.0, 0.0, 0.0, 2.0]

    results = [marlune.gd(lambda x: sum(v * v for v in x), lambda x: [2.0 * v for v in x], [1.0, 2.0],
                          options={"tol_grad": 5.0}, debug={"history": True}),
               marlune.gn(r, [0.0, 3.0], jacobian=jac, debug={"history": True}),
               marlune.lm(r, [0.0, 3.0], jacobian=jac, debug={"history": True})]
    for res in results:
        # Each object is held by its container and the loop variable, plus
        # getrefcount's own argument: nothing inside marlune kept one.
        assert sys.getrefcount(res) == 3
        for item in res:
            if type(item) in (list, float):
                assert sys.getrefcount(item) == 3
        for v in res[0]:
            assert sys.getrefcount(v) == 3
        for record in res[-1]:
            assert sys.getrefcount(record) == 3
