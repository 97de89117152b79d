"""Hostile inputs, interrupts, re-entrancy, threads and oversized problems."""

import gc
import math
import os
import sys
import threading
import time

import numpy as np
import pytest

import marlune
from conftest import Recorder, run_python, shift, sumsq, twice

SOLVERS = ["gd", "gn", "lm"]


def call(name, fn, x0=(1.0,), options=None, debug=None):
    """Runs `name` with fn as its gradient (gd) or residual (gn, lm)."""
    if name == "gd":
        return marlune.gd(sumsq, fn, x0, options=options, debug=debug)
    return getattr(marlune, name)(fn, x0, jacobian=lambda x: [1.0] * len(x), options=options, debug=debug)


def bytes_module_class():
    C = type("C", (), {})
    C.__module__ = b"AAAAA"  # anything can be assigned to a class's __module__
    return C


@pytest.mark.parametrize("module", [b"AAAAA", 3, None, "numpy"])
def test_a_type_whose_module_is_not_a_str_is_not_a_boolean(module):
    C = type("bool", (), {"__bool__": lambda self: True})
    C.__module__ = module
    if module == "numpy":  # named like NumPy's boolean and from "numpy": taken as one
        assert len(marlune.gd(sumsq, twice, [1.0], debug={"history": C()})) == 4
    else:
        with pytest.raises(ValueError, match="^gd: invalid debug.history$"):
            marlune.gd(sumsq, twice, [1.0], debug={"history": C()})
    for result in [(C(), 0.5), {"alpha": 0.5, "accepted": C()}]:
        # A tuple needs a real boolean first; a dict's "accepted" of another type accepts.
        if isinstance(result, tuple) and module != "numpy":
            with pytest.raises(ValueError, match="^line_search callback must return"):
                marlune.gd(sumsq, twice, [1.0], options={"line_search": lambda c: result})
        else:
            marlune.gd(sumsq, twice, [1.0], options={"line_search": lambda c: result, "max_iters": 1})


class Lying:
    """A sequence whose __len__ reports `n` whatever it holds."""

    def __init__(self, n, items=(1.0,)):
        self.n, self.items = n, list(items)

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("n", [10**15, 2**63 - 1])
@pytest.mark.parametrize("where", ["x0", "result"])
def test_a_length_that_cannot_be_held_is_a_memory_error(n, where):
    for name in SOLVERS:
        with pytest.raises(MemoryError):
            if where == "x0":
                call(name, lambda x: [0.0], x0=Lying(n))
            else:
                call(name, lambda x: Lying(n))


def test_a_length_is_only_a_hint():
    assert marlune.gd(sumsq, lambda x: Lying(10**8, twice(x)), Lying(10**8, [1.0, 2.0]),
                      options={"max_iters": 1, "step_size": 0.25}) == ([0.5, 1.0], 1.25, False)
    with pytest.raises(OverflowError):  # a __len__ past Py_ssize_t: the hint fails, the items convert
        len(Lying(2**64))
    assert marlune.gd(sumsq, twice, Lying(2**64, [3.0]), options={"max_iters": 0}) == ([3.0], 9.0, False)


# The exceptions no conversion may swallow: what is not an Exception, and the
# interpreter's own distress signals.
UNSWALLOWABLE = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError, RecursionError, StopIteration]


@pytest.mark.parametrize("exc_type", UNSWALLOWABLE)
@pytest.mark.parametrize("where", ["result item", "result len", "x0 len", "option float", "option index",
                                   "policy float", "policy tuple", "manifold norm", "scaling item"])
def test_conversions_never_swallow_interrupts_or_distress(where, exc_type):
    exc = exc_type(where)

    class Hostile:
        def __float__(self):
            raise exc

        def __index__(self):
            raise exc

        def __len__(self):
            raise exc

        def __getitem__(self, i):
            raise IndexError

    lsq = shift([1.0])
    runs = {
        "result item": lambda: marlune.gd(sumsq, lambda x: [Hostile()], [1.0]),
        "result len": lambda: marlune.lm(lambda x: Hostile(), [0.0], jacobian=lsq.jacobian),
        "x0 len": lambda: marlune.gd(sumsq, twice, Hostile()),
        "option float": lambda: marlune.gd(sumsq, twice, [1.0], options={"step_size": Hostile()}),
        "option index": lambda: marlune.gn(lsq.residual, [0.0], options={"ls_max_steps": Hostile()}),
        "policy float": lambda: marlune.gd(sumsq, twice, [1.0], options={"line_search": lambda c: Hostile()}),
        "policy tuple": lambda: marlune.lm(lsq.residual, [0.0], jacobian=lsq.jacobian,
                                           options={"line_search": lambda c: (True, Hostile())}),
        "manifold norm": lambda: marlune.gn(lsq.residual, [0.0], jacobian=lsq.jacobian,
                                            options={"manifold": type("M", (), {"tangent_norm": lambda s, v: Hostile()})()}),
        "scaling item": lambda: marlune.lm(lsq.residual, [0.0], jacobian=lsq.jacobian,
                                           options={"scaling": [Hostile()]}),
    }
    with pytest.raises(exc_type) as ei:
        runs[where]()
    assert ei.value is exc


@pytest.mark.parametrize("exc_type", [ValueError, TypeError])
def test_ordinary_conversion_failures_still_read_as_the_documented_messages(exc_type):
    class Odd:
        def __float__(self):
            raise exc_type("no")

    with pytest.raises(ValueError, match="^gd: invalid options.step_size$"):
        marlune.gd(sumsq, twice, [1.0], options={"step_size": Odd()})
    with pytest.raises(ValueError, match="^line_search callback must return"):
        marlune.gd(sumsq, twice, [1.0], options={"line_search": lambda c: Odd()})


class Euclid:
    """A manifold whose methods are the Euclidean operations."""

    def retract(self, x, d, alpha):
        return [a + alpha * b for a, b in zip(x, d)]

    def tangent_norm(self, v):
        return math.sqrt(sum(e * e for e in v))

    def scale(self, v, alpha):
        return [alpha * e for e in v]


def rosen(x):
    return [10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0]]


def rosen_j(x):
    return [-20.0 * x[0], 10.0, -1.0, 0.0]


# (solver, the user object that raises): every kind of user code each solver calls.
USER_CODE = ([("gd", k) for k in ("f", "grad", "retract", "tangent_norm", "scale", "line_search")] +
             [(s, k) for s in ("gn", "lm")
              for k in ("residual", "jacobian", "jacobian_vec", "project", "retract", "tangent_norm", "line_search")])


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, Interrupt, MemoryError, LookupError])
@pytest.mark.parametrize("solver,target", USER_CODE)
def test_after_the_first_raise_no_user_code_runs(solver, target, exc_type):
    # Whichever object raises, and whether its error lands in the callbacks'
    # store or the manifold's, the call raises it and nothing of the caller's
    # runs again: not the other callbacks, not the manifold, not the policy.
    # With no iteration limit to speak of, the run must also end by itself.
    exc, log, at = exc_type(target), [], 3

    def user(name, fn):
        def wrapper(*args):
            log.append(name)
            if name == target and log.count(name) == at:
                raise exc
            return fn(*args)
        return wrapper

    m = Euclid()
    manifold = type("M", (), {k: staticmethod(user(k, getattr(m, k))) for k in ("retract", "tangent_norm", "scale")})()
    options = {"manifold": manifold, "max_iters": 10**12}
    if target == "line_search" or solver == "gd":  # gd's line-search run calls f at every iteration
        options["line_search"] = user("line_search", lambda ctx: 0.1 if solver == "gd" else 1e-3)
    if solver == "gd":
        options.update(tol_grad=0.0, step_size=0.1)
        run = lambda: marlune.gd(user("f", sumsq), user("grad", twice), [1.0, 2.0], options=options)
    else:
        options.update(tol_r=0.0, tol_dx=0.0)
        jac = {"jacobian_vec": user("jacobian_vec", lambda x, v: [a * v[0] + b * v[1] for a, b in
                                                                  (rosen_j(x)[:2], rosen_j(x)[2:])])} \
            if target == "jacobian_vec" else {"jacobian": user("jacobian", rosen_j)}
        run = lambda: getattr(marlune, solver)(user("residual", rosen), [-1.2, 1.0], project=user("project", list),
                                               options=options, **jac)
    start = time.monotonic()
    with pytest.raises(exc_type) as ei:
        run()
    assert ei.value is exc and time.monotonic() - start < 5.0
    assert log.count(target) == at and log[-1] == target, log[-8:]


def test_callbacks_may_mutate_and_keep_their_arguments():
    kept = []

    def residual(x):
        kept.append(x)
        r = [x[0] - 1.0, x[1] + 2.0]
        x.append(99.0)
        x[0] = 1e300
        return r

    p = shift([1.0, -2.0])
    reference = marlune.gn(p.residual, [0.0, 0.0], jacobian=p.jacobian)
    assert marlune.gn(residual, [0.0, 0.0], jacobian=p.jacobian) == reference
    assert len({id(x) for x in kept}) == len(kept)  # a fresh list for every call


def test_solvers_run_inside_each_others_callbacks():
    def grad(x):
        inner_gn = marlune.gn(lambda y: [y[0] - x[0]], [0.0], jacobian=lambda y: [1.0])
        inner_lm = marlune.lm(lambda y: [y[0] - x[0]], [0.0], jacobian=lambda y: [1.0], debug={"history": True})
        assert inner_gn[5] and inner_lm[5] and inner_lm[6][0]["solver"] == "lm"
        return [2.0 * inner_gn[0][0]]

    assert marlune.gd(sumsq, grad, [1.0], options={"step_size": 0.25, "tol_grad": 1e-3})[2] is True


def workloads():
    t = [0.1 * i for i in range(30)]
    y = [2.0 * math.exp(-1.3 * ti) + 0.01 * math.sin(7 * ti) for ti in t]

    def res(p):
        return [p[0] * math.exp(p[1] * ti) - yi for ti, yi in zip(t, y)]

    def jac(p):
        return [v for ti in t for v in (math.exp(p[1] * ti), p[0] * ti * math.exp(p[1] * ti))]

    return [
        lambda: marlune.gn(res, [1.0, -0.5], jacobian=jac, debug={"history": True}),
        lambda: marlune.gn(res, [1.0, -0.5], jacobian=jac, options={"linear_system": "normal_jtj"}),
        lambda: marlune.lm(res, [1.0, -0.5], jacobian=jac, debug={"history": True}),
        lambda: marlune.gd(sumsq, twice, [1.0, -3.0, 0.5], options={"step_size": 0.1}),
    ]


def test_eight_threads_give_the_single_thread_results():
    jobs = workloads()
    expected = [repr(job()) for job in jobs]
    results, errors = [], []
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        def worker():
            try:
                for _ in range(5):
                    results.append([repr(job()) for job in jobs])
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(switch)
    assert errors == [] and len(results) == 40 and all(r == expected for r in results)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_ten_million_parameters_work_and_are_freed():
    n = 10**7
    x0 = np.zeros(n)
    gc.collect()
    before = rss_bytes()
    g = np.full(n, 0.5)
    x, f, converged = marlune.gd(lambda x: 0.0, lambda x: g, x0, options={"max_iters": 2, "step_size": 1.0})
    assert len(x) == n and x[0] == x[-1] == -1.0 and converged is False
    del x
    gc.collect()
    if not os.environ.get("MARLUNE_SANITIZED"):  # ASan keeps freed memory in quarantine
        assert rss_bytes() - before < 200 * 2**20  # g itself is 80 MB; no buffer of the run stays behind


@pytest.mark.parametrize("name", ["gn", "lm"])
def test_a_system_too_large_for_memory_fails_before_the_first_iteration(name):
    r = Recorder(lambda x: np.zeros(10**6))
    start = time.monotonic()
    with pytest.raises(MemoryError):
        getattr(marlune, name)(r, [0.0], jacobian=r)
    assert r.n == 1 and time.monotonic() - start < 5.0


def test_the_release_build_survives_what_once_crashed_it():
    # The historical crash, in a child so that a regression shows as a failed test, not a dead run.
    out = run_python("""
        import marlune
        C = type("C", (), {}); C.__module__ = b"AAAAA"
        for kw in ({"debug": {"history": C()}}, {"options": {"line_search": lambda c: (C(), 0.5)}},
                   {"options": {"line_search": lambda c: {"alpha": 0.5, "accepted": C()}, "max_iters": 1}}):
            try:
                marlune.gd(lambda x: 0.0, lambda x: [0.0], [1.0], **kw)
            except ValueError as e:
                print(e)
        print("alive")
    """)
    assert out.splitlines()[-1] == "alive"
