"""The options and debug dictionaries of gd."""

import collections

import numpy as np
import pytest

import marlune
from conftest import FINAL, HALVING, Floaty, Indexy, Recorder, twice


def invalid(key, values, group="options"):
    return [({group: {key: v}}, ValueError, f"gd: invalid {group}.{key}") for v in values]


def unknown(key, group="options", **extra):
    return [({group: {**extra, key: 1}}, ValueError, f"gd: unknown {group} key '{key}'")]


@pytest.mark.parametrize("kwargs,exc,message", [
    *[({"options": v}, ValueError, "gd: options must be a dict") for v in ([("step_size", 0.1)], "x", False)],
    ({"debug": [("history", True)]}, ValueError, "gd: debug must be a dict"),
    *unknown("stepsize"), *unknown("Step_size"), *unknown("tol", step_size=0.1), *unknown("lambda"),
    *unknown("history"), *unknown("trace", "debug", history=True), *unknown("step_size", "debug"),
    ({"options": {"a": 1, "b": 2}}, ValueError, "gd: unknown options key 'a'"),
    ({"options": {"zzz": 1, 1: 2}}, ValueError, "gd: unknown options key 'zzz'"),
    ({"options": {1: 2}}, TypeError, "'int' object cannot be cast as 'str'"),
    ({"options": {"step_size": 0.1, (1, 2): 2}}, TypeError, "'tuple' object cannot be cast as 'str'"),
    ({"debug": {b"history": True}}, TypeError, "'bytes' object cannot be cast as 'str'"),
    *invalid("max_iters", [10.0, -1, 2**64, None, "5", np.float64(3.0)]),
    *invalid("step_size", [None, "0.1", [0.1], 1j]), *invalid("tol_grad", [None, "x"]),
    *invalid("history", [1, "yes", None], "debug"), *invalid("verbose", [1, 0, None, np.int64(1)], "debug"),
    # Several problems at once: the fixed reading order decides.
    ({"options": "x", "debug": {"bad": 1}}, ValueError, "gd: options must be a dict"),
    ({"options": {"bad": 1}, "debug": {"bad": 1}}, ValueError, "gd: unknown options key 'bad'"),
    ({"options": {"step_size": None}, "debug": {"zzz": 1}}, ValueError, "gd: unknown debug key 'zzz'"),
    ({"options": {"step_size": None}, "debug": {"history": 1}}, ValueError, "gd: invalid debug.history"),
    ({"options": {"max_iters": -1, "step_size": None}}, ValueError, "gd: invalid options.step_size"),
    ({"options": {"tol_grad": None, "max_iters": 1.5}}, ValueError, "gd: invalid options.max_iters"),
    ({"options": {"tol_grad": None}, "debug": {"verbose": 1}}, ValueError, "gd: invalid options.tol_grad"),
    ({"options": {"line_search": 1}, "debug": {"verbose": 1}}, ValueError, "gd: invalid debug.verbose"),
])
def test_option_errors_are_raised_before_any_callback(quad, kwargs, exc, message):
    f, g, _ = quad
    ls = Recorder(lambda ctx: 0.1)
    if "line_search" in (kwargs.get("options") or ""):
        kwargs = dict(kwargs, options={"line_search": ls})
    with pytest.raises(exc) as ei:
        marlune.gd(f, g, [1.0], **kwargs)
    assert type(ei.value) is exc and str(ei.value) == message
    assert f.n == g.n == ls.n == 0


def _default_run():
    x = 1.0
    for _ in range(100):
        x = x + 0.001 * (-1.0 * (2.0 * x))
    return [x], x * x, False


@pytest.mark.parametrize("kwargs", [
    {}, dict(options=None, debug=None), dict(options={}, debug={}), dict(options=collections.OrderedDict()),
    dict(options={"manifold": None}), dict(options={"manifold": object()}),
    dict(debug={"history": False, "verbose": np.bool_(False)}),
])
def test_absent_options_take_their_defaults(quad, kwargs):
    f, g, _ = quad
    assert marlune.gd(f, g, [1.0], **kwargs) == _default_run()
    assert g.n == 100 and f.n == 1


@pytest.mark.parametrize("key,value,expected", [
    ("max_iters", True, ([0.5], 0.25, False)), ("max_iters", np.int64(2), ([0.25], 0.0625, False)),
    ("max_iters", Indexy(2), ([0.25], 0.0625, False)), ("step_size", 1, ([-1.0], 1.0, False)),
    ("step_size", True, ([-1.0], 1.0, False)), ("step_size", 0, ([1.0], 1.0, False)),
    ("step_size", -0.5, ([2.0], 4.0, False)), ("step_size", np.float32(0.25), ([0.5], 0.25, False)),
    ("step_size", Floaty(0.25), ([0.5], 0.25, False)), ("step_size", Indexy(2), ([-3.0], 9.0, False)),
    ("tol_grad", 3, ([1.0], 1.0, True)), ("tol_grad", Floaty(2.5), ([1.0], 1.0, True)),
    ("tol_grad", np.float64(2.5), ([1.0], 1.0, True)),
])
def test_accepted_option_values(quad, key, value, expected):
    f, g, _ = quad
    options = {"step_size": 0.25, "max_iters": 1, "tol_grad": 0.0, key: value}
    assert marlune.gd(f, g, [1.0], options=options) == expected


def test_max_iters_takes_the_whole_unsigned_64_bit_range(quad):
    options = {"max_iters": 2**64 - 1, "step_size": 0.25, "tol_grad": 0.5}
    assert marlune.gd(*quad[:2], [1.0], options=options) == ([0.125], 0.015625, True)


def test_numpy_bools_are_accepted_in_debug(quad, capfd):
    res = marlune.gd(*quad[:2], [1.0], options={"tol_grad": 3.0},
                     debug={"history": np.bool_(True), "verbose": np.bool_(True)})
    assert len(res) == 4 and len(res[3]) == 2
    assert len(capfd.readouterr().out.splitlines()) == 2


def test_options_are_read_once_before_the_run(quad):
    options = dict(HALVING)

    def grad(x):
        options.update(step_size=100.0, bogus=1)
        return twice(x)

    assert marlune.gd(quad[0], grad, [1.0], options=options) == FINAL
