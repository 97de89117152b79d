"""Fixed-step gradient descent: results, trace history, verbose lines and error surfacing."""

import contextlib
import math

import numpy as np
import pytest

import marlune
from conftest import (FINAL, HALVING, KEYS, Floaty, Recorder, float_error, halving_records, rec, render,
                      run_python, sumsq, twice)


def test_worked_run(quad):
    f, _, log = quad
    x0, seen = [1.0], []

    def grad(x):
        seen.append(x)
        out = twice(x)
        x[0] = 1e9  # the solver's own copy must not change
        return out

    res = marlune.gd(f, Recorder(grad, "grad", log), x0, options=HALVING)
    assert res == FINAL and type(res) is tuple and type(res[1]) is float and res[2] is True
    assert log == ["grad"] * 12 + ["f"] and x0 == [1.0]
    assert len({id(x) for x in seen}) == 12 and f.calls == [([0.00048828125],)]


VERBOSE_CHILD = """
    import contextlib, io, os, sys, marlune
    calls = []
    def f(x): calls.append("f"); return sum(v * v for v in x)
    def g(x): calls.append("g"); return [2.0 * v for v in x]
    print("start", flush=True)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf) if sys.argv[1] == "redirect" else contextlib.nullcontext():
        res = marlune.gd(f, g, [1.0], options={"step_size": 0.25, "tol_grad": 0.001}, debug={"verbose": True})
    print(res, calls.count("f"), calls.count("g"), repr(buf.getvalue()), flush=True)
    os._exit(0)  # no interpreter shutdown: every line must already be flushed
"""


@pytest.mark.parametrize("mode", ["plain", "redirect"])
def test_verbose_lines_go_straight_to_the_process_stdout(mode):
    lines = run_python(VERBOSE_CHILD, mode).splitlines()
    assert lines[0] == "start" and len(lines) == 15 and lines[14] == f"{FINAL} 12 12 ''"
    assert lines[1:14] == [render(r) for r in halving_records(11)]
    assert lines[1] == "[gd] iter      0 | f    1.000000e0 | grad    2.000000e0 | step +2.500e-1"
    assert lines[12] == "[gd] iter     11 | f   2.384186e-7 | grad   9.765625e-4 | step +2.500e-1"
    assert lines[13] == "[gd] iter     11 | f   2.384186e-7 | grad   9.765625e-4 | note converged"


@pytest.mark.parametrize("options,debug,records,f_calls", [
    (HALVING, {"history": True}, halving_records(11)[-1:], 1),
    ({"tol_grad": 0.1}, {"history": True}, halving_records(5)[-1:], 1),
    ({"tol_grad": 0.1}, {"history": True, "verbose": True}, halving_records(5), 6),
    ({"tol_grad": 0.1}, {"verbose": True}, halving_records(5), 6),
    ({"tol_grad": 0.0, "max_iters": 3}, {"history": True, "verbose": True}, halving_records(2)[:-1], 4),
    ({"tol_grad": 0.0, "max_iters": 3}, {"history": True}, [], 1),
    ({"max_iters": 0}, {"history": True, "verbose": True}, [], 1),
])
def test_trace_records_and_verbose_lines(quad, capfd, options, debug, records, f_calls):
    f, g, _ = quad
    res = marlune.gd(f, g, [1.0], options={"step_size": 0.25, **options}, debug=debug)
    assert capfd.readouterr().out.splitlines() == ([render(r) for r in records] if "verbose" in debug else [])
    assert len(res) == 3 + ("history" in debug) and f.n == f_calls
    if "history" in debug:
        assert res[3] == records and all(list(r) == KEYS and type(r["iter"]) is int for r in res[3])


@pytest.mark.parametrize("fx,step,text", [
    (0.0, 0.0, "f    0.000000e0 | grad    2.000000e0 | step  +0.000e0"),
    (-0.0, -0.0, "f   -0.000000e0 | grad    2.000000e0 | step  -0.000e0"),
    (math.nan, math.nan, "f           inf | grad    2.000000e0 | step       NaN"),  # NaN objective is stored, inf used
    (-1e300, math.inf, "f -1.000000e300 | grad    2.000000e0 | step      +inf"),
    (123456.75, -2.0 ** -1074, "f    1.234568e5 | grad    2.000000e0 | step -4.941e-324"),
])
def test_verbose_number_format(capfd, fx, step, text):
    with pytest.raises(ValueError) if math.isnan(fx) else contextlib.nullcontext():
        marlune.gd(lambda x: fx, twice, [1.0], options={"step_size": step, "max_iters": 1, "tol_grad": 0.0},
                   debug={"verbose": True})
    assert capfd.readouterr().out.splitlines() == [f"[gd] iter      0 | {text}"]


@pytest.mark.parametrize("tol", [0.0, -1.0, math.nan])
def test_gradient_test_that_cannot_pass_runs_to_the_limit(quad, tol):
    f, g, log = quad
    res = marlune.gd(f, g, [1.0], options={"step_size": 0.25, "tol_grad": tol, "max_iters": 5})
    assert res == ([0.03125], 0.0009765625, False) and log == ["grad"] * 5 + ["f"]


@pytest.mark.parametrize("debug,tail", [({}, ()), ({"history": True}, ([],))])
def test_max_iters_zero_evaluates_only_f(quad, debug, tail):
    f, g, _ = quad
    assert marlune.gd(f, g, [3.0, 4.0], options={"max_iters": 0}, debug=debug) == ([3.0, 4.0], 25.0, False, *tail)
    assert g.n == 0 and f.calls == [([3.0, 4.0],)]


def test_empty_x0_converges_at_once(quad):
    f, g, _ = quad
    res = marlune.gd(f, g, [], debug={"history": True})
    assert res == ([], 0.0, True, [rec(0, 0.0, 0.0, note="converged")])
    assert math.copysign(1.0, res[3][0]["grad_norm"]) == -1.0
    assert g.calls == [([],)] and f.calls == [([],)]


def test_non_finite_gradient_entries_reach_the_solver():
    assert marlune.gd(lambda x: 0.0, lambda x: [math.inf], [1.0], options={"max_iters": 2}) == ([-math.inf], 0.0, False)


@pytest.mark.parametrize("value,expected", [
    (3, 3.0), (True, 1.0), (np.float64(0.5), 0.5), (np.float32(0.5), 0.5),
    (np.int64(7), 7.0), (np.array(2.5), 2.5), (Floaty(2.5), 2.5),
])
def test_objective_results_convert_to_float(value, expected):
    res = marlune.gd(lambda x: value, twice, [1.0], options={"max_iters": 0})
    assert res == ([1.0], expected, False) and type(res[1]) is float


class Boom(Exception):
    pass


class Halt(BaseException):
    pass


def raise_boom(x):
    raise Boom()


def traceback_codes(exc):
    tb, codes = exc.__traceback__, []
    while tb is not None:
        codes.append(tb.tb_frame.f_code)
        tb = tb.tb_next
    return codes


@pytest.mark.parametrize("mode", ["fixed", "verbose", "line_search"])
@pytest.mark.parametrize("which,counts", [
    ("grad", {"fixed": (1, 0), "verbose": (1, 0), "line_search": (1, 0)}),
    ("f", {"fixed": (12, 1), "verbose": (1, 1), "line_search": (1, 1)}),
])
def test_first_callback_exception_reaches_the_caller_unchanged(capfd, mode, which, counts):
    exc = Boom("first")

    def bad(x):
        raise exc

    f, g = Recorder(bad if which == "f" else sumsq), Recorder(bad if which == "grad" else twice)
    ls = Recorder(lambda ctx: 0.25)
    options = dict(HALVING, **({"line_search": ls} if mode == "line_search" else {}))
    with pytest.raises(Boom) as ei:
        marlune.gd(f, g, [1.0], options=options, debug={"verbose": mode == "verbose"})
    assert ei.value is exc and bad.__code__ in traceback_codes(exc)
    assert (g.n, f.n, ls.n) == (*counts[mode], 0)


def test_after_a_failure_the_run_sees_infinite_objective_and_zero_gradient(capfd):
    with pytest.raises(Boom):
        marlune.gd(raise_boom, twice, [1.0], options=HALVING, debug={"verbose": True})
    expected = [rec(0, math.inf, 2.0, 0.25), rec(1, math.inf, 0.0, 0.25), rec(1, math.inf, 0.0, note="converged")]
    assert capfd.readouterr().out.splitlines() == [render(r) for r in expected]


@pytest.mark.parametrize("mode,log", [
    ("fixed", ["grad"] * 4),
    ("line_search", ["grad", "f", "ls", "f"] * 3 + ["grad"]),
])
def test_gradient_failing_at_iteration_3(mode, log):
    calls, exc = [], Halt("late")

    def grad(x):
        if calls.count("grad") == 4:
            raise exc
        return twice(x)

    options = dict(HALVING, **({"line_search": Recorder(lambda c: 0.25, "ls", calls)} if mode == "line_search" else {}))
    with pytest.raises(Halt) as ei:
        marlune.gd(Recorder(sumsq, "f", calls), Recorder(grad, "grad", calls), [1.0], options=options)
    assert ei.value is exc and calls == log


MISMATCH = "gradient length mismatch: expected {}, got {}"
NOT_FINITE = "objective function must return finite float"


@pytest.mark.parametrize("x0,f_out,g_out,exc,message", [
    ([1.0, 2.0], ..., [1.0, 2.0, 3.0], ValueError, MISMATCH.format(2, 3)),
    ([1.0, 2.0, 3.0], ..., (1.0, 2.0), ValueError, MISMATCH.format(3, 2)),
    ([], ..., [0.0], ValueError, MISMATCH.format(0, 1)),
    ([1.0], ..., "a", TypeError, "Can't extract `str` to `Vec`"),
    *[([1.0], ..., v, TypeError, f"'{type(v).__name__}' object cannot be cast as 'Sequence'")
      for v in (5.0, None, {0: 1.0}, (v for v in [1.0]))],
    ([1.0], ..., ["a"], TypeError, float_error("a")),
    *[([1.0], v, ..., ValueError, NOT_FINITE) for v in (math.nan, math.inf, -math.inf, np.float64("nan"))],
    *[([1.0], v, ..., TypeError, float_error(v)) for v in ("1.0", None, [1.0])],
])
def test_rejected_callback_results(x0, f_out, g_out, exc, message):
    f = Recorder(sumsq if f_out is ... else lambda x: f_out)
    g = Recorder(twice if g_out is ... else lambda x: g_out)
    with pytest.raises(exc) as ei:
        marlune.gd(f, g, x0, options=HALVING)
    assert type(ei.value) is exc and str(ei.value) == message
    assert (g.n, f.n) == ((12, 1) if g_out is ... else (1, 0))


def test_nested_calls_keep_separate_error_stores(quad):
    def grad(x):
        with pytest.raises(Boom):
            marlune.gd(sumsq, raise_boom, [2.0])
        assert marlune.gd(sumsq, twice, [2.0], options={"max_iters": 0}) == ([2.0], 4.0, False)
        return twice(x)

    assert marlune.gd(quad[0], grad, [1.0], options=HALVING) == FINAL
