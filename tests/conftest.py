"""Shared helpers for the marlune tests."""

import math
import subprocess
import sys
import textwrap

import pytest

KEYS = ["solver", "iter", "f", "cost", "r_norm", "grad_norm", "dx_norm",
        "step_size", "alpha", "lambda", "dphi0", "note"]
HALVING = {"step_size": 0.25, "tol_grad": 0.001}  # from x0 = [1.0]: x halves, converges at iteration 11
FINAL = ([0.00048828125], 2.384185791015625e-07, True)


class Recorder:
    """Wraps a function, keeps every call's arguments and appends its name to a shared log."""

    def __init__(self, fn, name="cb", log=None):
        self.fn, self.name, self.log, self.calls = fn, name, log, []

    def __call__(self, *args):
        self.calls.append(args)
        if self.log is not None:
            self.log.append(self.name)
        return self.fn(*args)

    @property
    def n(self):
        return len(self.calls)


def sumsq(x):
    return sum(v * v for v in x)


def twice(x):
    return [2.0 * v for v in x]


@pytest.fixture
def quad():
    """f = sum of squares and grad = 2x, logging into one shared list."""
    log = []
    return Recorder(sumsq, "f", log), Recorder(twice, "grad", log), log


def rec(it, f=None, grad_norm=None, step_size=None, note=None):
    """A gd history record; fields gd leaves empty are None."""
    return dict(zip(KEYS, ["gd", it, f, None, None, grad_norm, None, step_size, None, None, None, note]))


def float_error(obj):
    """The interpreter's own float conversion message for obj."""
    with pytest.raises(TypeError) as ei:
        math.sqrt(obj)
    return str(ei.value)


def run_python(code, *argv, flags=()):
    """Runs code in a fresh interpreter and returns its standard output."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code), *argv],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
