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

    def f(x):
        return sum(v * v for v in x)

    def g(x):
        return [2.0 * v for v in x]

    def raising(*args):
        raise exc.with_traceback(None)

    def accept(ctx):
        return 0.25

    class BadFloat:
        def __float__(self):
            raise exc.with_traceback(None)

    def returning(value):
        return lambda *args: value

    x0, x0_2, bad_x0 = [1.0], [1.0, 2.0], [1.0, BadFloat()]
    ok, ok_ls, hist = {"step_size": 0.25, "tol_grad": 0.001}, {"line_search": accept, "tol_grad": 0.1}, {"history": True}
    gd, gn, lm = marlune.gd, marlune.gn, marlune.lm
    calls = [  # (function, positional arguments, keyword arguments)
        (gd, (f, g, x0), {"options": ok}), (gd, (f, g, x0), {"options": ok, "debug": hist}),
        (gd, (f, g, x0_2), {"options": ok_ls, "debug": hist}), (gd, (f, g, x0), {"options": {"max_iters": 0}}),
        (gd, (f, g, x0, ok), {}), (gd, (f, g, x0), {"tol": ok}), (gd, (f, g, x0), {"f": ok}), (gd, (f,), {}),
        (gn, (f, x0, ok), {}), (lm, (f, x0), {"project": f, "bogus": ok}),
        (gd, (f, g, "abc"), {}), (gd, (f, g, 3), {}), (gd, (f, g, [1.0, "a"]), {}), (gd, (f, g, bad_x0), {}),
        (gn, (f, "abc"), {"jacobian": g}), (lm, (f, bad_x0), {}),
        (gd, (f, g, x0), {"options": [ok]}), (gd, (f, g, x0), {"options": {"bad": ok}}),
        (gd, (f, g, x0), {"options": {1: ok}}), (gd, (f, g, x0), {"options": {"max_iters": -1}}),
        (gd, (f, g, x0), {"options": ok, "debug": {"verbose": 1}}),
        (gd, (raising, g, x0), {"options": ok}), (gd, (f, raising, x0), {"options": ok_ls}),
        (gd, (f, returning("ab"), x0), {}), (gd, (f, returning(x0_2), x0), {}),
        (gd, (returning(math.nan), g, x0), {}), (gd, (returning("x"), g, x0), {}),
        *[(gd, (f, g, x0), {"options": {"line_search": p}})
          for p in (raising, returning(math.inf), returning([True, 0.25]), returning({"accepted": True}),
                    returning({"alpha": "x"}), None)],
    ]
    arrays = [np.array([0.5]), np.array([0.5, 9.0])[::2], np.array([0.5], dtype=np.float32), np.array([[0.5]])]
    calls += [(gd, (returning(np.float64(1.0)), returning(a), x0), {"options": {"max_iters": 3}}) for a in arrays]
    tracked = [exc, f, g, raising, accept, x0, x0_2, bad_x0, ok, ok_ls, hist, *arrays]

    def repeat(fn, args, kwargs, times):
        for _ in range(times):
            try:
                fn(*args, **kwargs)
            except Exception:
                pass

    tracemalloc.start()
    try:
        for call in calls:
            repeat(*call, WARMUP)
        exc.__traceback__ = None
        gc.collect()
        refs = [sys.getrefcount(o) for o in tracked]
        before, growth = tracemalloc.take_snapshot(), []
        for i, call in enumerate(calls):
            start = tracemalloc.get_traced_memory()[0]
            repeat(*call, ROUNDS)
            gc.collect()
            growth.append((tracemalloc.get_traced_memory()[0] - start, i))
        exc.__traceback__ = None
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in tracked] == refs
    leaking = [(size, i) for size, i in growth if size > 8 * ROUNDS]
    assert not leaking, (leaking, after.compare_to(before, "lineno")[:5])
    assert sum(s.size_diff for s in after.compare_to(before, "filename")) < 32 * ROUNDS
