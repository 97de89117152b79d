"""Repeated calls through every outcome must not leak references or memory."""

import gc
import math
import sys
import tracemalloc

import numpy as np

import marlune

ROUNDS, WARMUP = 600, 60


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
    tracked = [exc, f, g, raising, x0, ok, hist, *arrays]

    def repeat(fn, args, kwargs, times):
        for _ in range(times):
            try:
                fn(*args, **kwargs)
            except Exception:
                pass
        exc.__traceback__ = None
        gc.collect()

    tracemalloc.start()
    try:
        for call in calls:
            repeat(*call, WARMUP)
        refs, growth = [sys.getrefcount(o) for o in tracked], []
        for call in calls:
            start = tracemalloc.get_traced_memory()[0]
            repeat(*call, ROUNDS)
            growth.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in tracked] == refs
    assert [(i, size) for i, size in enumerate(growth) if size > 8 * ROUNDS] == []
