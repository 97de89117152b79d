"""The options and debug dictionaries of gd."""

import numpy as np
import pytest

import marlune
from conftest import Recorder


def invalid(key, values, group="options"):
    return [({group: {key: v}}, ValueError, f"gd: invalid {group}.{key}") for v in values]


@pytest.mark.parametrize("kwargs,exc,message", [
    ({"options": [("step_size", 0.1)]}, ValueError, "gd: options must be a dict"),
    ({"debug": [("history", True)]}, ValueError, "gd: debug must be a dict"),
    ({"debug": {"history": True, "trace": 1}}, ValueError, "gd: unknown debug key 'trace'"),
    ({"options": {"b": 1, "a": 2}}, ValueError, "gd: unknown options key 'b'"),
    ({"options": {1: 2}}, TypeError, "'int' object cannot be cast as 'str'"),
    *invalid("max_iters", [10.0, -1, 2**64]), *invalid("step_size", [None]), *invalid("tol_grad", ["x"]),
    *invalid("history", [1], "debug"), *invalid("verbose", [1], "debug"),
    # Several problems at once: the fixed reading order decides.
    ({"options": {"max_iters": -1, "step_size": None}}, ValueError, "gd: invalid options.step_size"),
])
def test_option_errors_are_raised_before_any_callback(quad, kwargs, exc, message):
    f, g, _ = quad
    ls = Recorder(lambda ctx: 0.1)
    with pytest.raises(exc) as ei:
        marlune.gd(f, g, [1.0], **{"options": {"line_search": ls}, **kwargs})
    assert type(ei.value) is exc and str(ei.value) == message
    assert f.n == g.n == ls.n == 0


@pytest.mark.parametrize("kwargs", [{}, dict(options=None, debug=None), dict(options={}, debug={})])
def test_absent_options_take_their_defaults(quad, kwargs):
    f, g, _ = quad
    x = 1.0
    for _ in range(100):
        x -= 0.001 * 2.0 * x
    assert marlune.gd(f, g, [1.0], **kwargs) == ([x], x * x, False)
    assert g.n == 100 and f.n == 1


@pytest.mark.parametrize("options,expected", [
    ({"max_iters": np.int64(2), "step_size": 0.25, "tol_grad": 0.0}, ([0.25], 0.0625, False)),
    ({"max_iters": 2**64 - 1, "step_size": 0.25, "tol_grad": 0.5}, ([0.125], 0.015625, True)),
    ({"max_iters": 1, "step_size": 1}, ([-1.0], 1.0, False)),
    ({"tol_grad": 3}, ([1.0], 1.0, True)),
])
def test_accepted_option_values(quad, options, expected):
    assert marlune.gd(*quad[:2], [1.0], options=options) == expected


def test_numpy_bools_are_accepted_in_debug(quad, capfd):
    res = marlune.gd(*quad[:2], [1.0], options={"tol_grad": 3.0},
                     debug={"history": np.bool_(True), "verbose": np.bool_(True)})
    assert len(res) == 4 and len(res[3]) == 2
    assert len(capfd.readouterr().out.splitlines()) == 2

