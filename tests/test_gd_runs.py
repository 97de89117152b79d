"""Fixed-step gradient descent: results, trace history, verbose lines and error surfacing."""

import math
import traceback

import pytest

import marlune
from conftest import FINAL, HALVING, KEYS, Recorder, float_error, rec, run_python, sumsq, twice


def test_worked_run(quad):
    f, g, log = quad
    res = marlune.gd(f, g, [1.0], options=HALVING)
    assert res == FINAL and type(res) is tuple and log == ["grad"] * 12 + ["f"]
    res = marlune.gd(f, g, [1.0], options=HALVING, debug={"history": True})
    assert res == (*FINAL, [rec(11, 0.25 ** 11, 2 * 0.5 ** 11, note="converged")])
    assert list(res[3][0]) == KEYS


VERBOSE_CHILD = """
    import contextlib, io, os, sys, marlune
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf) if sys.argv[1] == "redirect" else contextlib.nullcontext():
        res = marlune.gd(lambda x: sum(v * v for v in x), lambda x: [2.0 * v for v in x], [1.0],
                         options={"step_size": 0.25, "tol_grad": 0.001}, debug={"verbose": True})
    print(res, repr(buf.getvalue()), flush=True)
    os._exit(0)  # no interpreter shutdown: every line must already be flushed
"""


@pytest.mark.parametrize("mode", ["plain", "redirect"])
def test_verbose_lines_go_straight_to_the_process_stdout(mode):
    lines = run_python(VERBOSE_CHILD, mode).splitlines()
    assert len(lines) == 14 and lines[13] == f"{FINAL} ''"
    assert lines[11:13] == ["[gd] iter     11 | f   2.384186e-7 | grad   9.765625e-4 | step +2.500e-1",
                            "[gd] iter     11 | f   2.384186e-7 | grad   9.765625e-4 | note converged"]


# Converging at iteration 5: verbose needs f at every iteration, history alone only at the end.
@pytest.mark.parametrize("debug,records,lines,f_calls", [
    ({"history": True}, 1, 0, 1), ({"history": True, "verbose": True}, 7, 7, 6), ({"verbose": True}, 0, 7, 6),
])
def test_trace_records_and_verbose_lines(quad, capfd, debug, records, lines, f_calls):
    f, g, _ = quad
    res = marlune.gd(f, g, [1.0], options={"step_size": 0.25, "tol_grad": 0.1}, debug=debug)
    assert len(capfd.readouterr().out.splitlines()) == lines and f.n == f_calls and g.n == 6
    assert len(res) == 3 + bool(records)
    if records:
        assert len(res[3]) == records and res[3][-1] == rec(5, 0.25 ** 5, 2 * 0.5 ** 5, note="converged")


RUN_TO_LIMIT = (([0.03125], 0.0009765625, False), ["grad"] * 5 + ["f"])


@pytest.mark.parametrize("x0,options,expected,log", [
    *[([1.0], {"step_size": 0.25, "tol_grad": t, "max_iters": 5}, *RUN_TO_LIMIT) for t in (0.0, math.nan)],
    ([3.0, 4.0], {"max_iters": 0}, ([3.0, 4.0], 25.0, False), ["f"]),
    ([], {}, ([], 0.0, True), ["grad", "f"]),
])
def test_degenerate_runs(quad, x0, options, expected, log):
    f, g, calls = quad
    assert marlune.gd(f, g, x0, options=options) == expected and calls == log


class Boom(Exception):
    pass


def raise_boom(x):
    raise Boom()


@pytest.mark.parametrize("which,mode,counts", [
    *[("grad", mode, (1, 0)) for mode in ("fixed", "verbose", "line_search")],
    ("f", "fixed", (12, 1)), ("f", "verbose", (1, 1)), ("f", "line_search", (1, 1)),
])
def test_first_callback_exception_reaches_the_caller_unchanged(capfd, which, mode, counts):
    exc = Boom("first")

    def bad(x):
        raise exc

    f, g = Recorder(bad if which == "f" else sumsq), Recorder(bad if which == "grad" else twice)
    ls = Recorder(lambda ctx: 0.25)
    options = dict(HALVING, **({"line_search": ls} if mode == "line_search" else {}))
    with pytest.raises(Boom) as ei:
        marlune.gd(f, g, [1.0], options=options, debug={"verbose": mode == "verbose"})
    assert ei.value is exc and bad.__code__ in [fr.f_code for fr, _ in traceback.walk_tb(exc.__traceback__)]
    assert (g.n, f.n, ls.n) == (*counts, 0)


@pytest.mark.parametrize("with_ls,log", [(False, ["grad"] * 4), (True, ["grad", "f", "ls", "f"] * 3 + ["grad"])])
def test_gradient_failing_at_iteration_3(with_ls, log):
    calls, exc = [], BaseException("late")

    def grad(x):
        if calls.count("grad") == 4:
            raise exc
        return twice(x)

    ls = {"line_search": Recorder(lambda c: 0.25, "ls", calls)} if with_ls else {}
    with pytest.raises(BaseException) as ei:
        marlune.gd(Recorder(sumsq, "f", calls), Recorder(grad, "grad", calls), [1.0], options=dict(HALVING, **ls))
    assert ei.value is exc and calls == log


NOT_FINITE = "objective function must return finite float"


@pytest.mark.parametrize("f_out,g_out,exc,message", [
    (..., [1.0, 2.0, 3.0], ValueError, "gradient length mismatch: expected 2, got 3"),
    (..., "a", TypeError, "Can't extract `str` to `Vec`"),
    (..., 5.0, TypeError, "'float' object cannot be cast as 'Sequence'"),
    (..., ["a", 1.0], TypeError, float_error("a")),
    (math.nan, ..., ValueError, NOT_FINITE), (-math.inf, ..., ValueError, NOT_FINITE),
    ("1.0", ..., TypeError, float_error("1.0")),
])
def test_rejected_callback_results(f_out, g_out, exc, message):
    f = Recorder(sumsq if f_out is ... else lambda x: f_out)
    g = Recorder(twice if g_out is ... else lambda x: g_out)
    with pytest.raises(exc) as ei:
        marlune.gd(f, g, [1.0, 2.0], options=HALVING)
    assert type(ei.value) is exc and str(ei.value) == message
    assert (g.n, f.n) == ((14, 1) if g_out is ... else (1, 0))  # from [1, 2]: converges at iteration 13


def test_nested_calls_keep_separate_error_stores(quad):
    def grad(x):
        with pytest.raises(Boom):
            marlune.gd(sumsq, raise_boom, [2.0])
        assert marlune.gd(sumsq, twice, [2.0], options={"max_iters": 0}) == ([2.0], 4.0, False)
        return twice(x)

    assert marlune.gd(quad[0], grad, [1.0], options=HALVING) == FINAL
