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


def run_checked(*args, timeout=60, **kwargs):
    """Runs a command, asserts that it succeeded and returns its standard output."""
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kwargs)
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def run_python(code, *argv, flags=()):
    """Runs code in a fresh interpreter and returns its standard output."""
    return run_checked(sys.executable, *flags, "-c", textwrap.dedent(code), *argv)


# --- least squares -----------------------------------------------------------

# Fields each least-squares record carries besides iter, cost and r_norm.
LSQ_FIELDS = {
    "initial": set(), "linear_solve_failed": {"lambda"}, "accepted": {"dx_norm", "alpha", "lambda"},
    "accepted_step_invalid": {"dx_norm", "alpha", "lambda"}, "rejected": {"dx_norm", "alpha", "lambda"},
    "fallback_to_steepest_descent": {"dphi0"},
    "converged_r": set(), "converged_dx": {"dx_norm"}, "zero_step_scale": {"dx_norm"},
    "linear_solve_failed_fixed": set(), "accepted_step_invalid_fixed": {"dx_norm", "alpha"},
    "rejected_fixed": {"dx_norm", "alpha"}, "max_iters": set(), "converged_cost": {"dx_norm"},
}


def check_records(history, solver):
    """Every record has exactly the fields of its note; returns the notes."""
    for r in history:
        assert list(r) == KEYS and r["solver"] == solver and type(r["iter"]) is int
        present = {k for k in KEYS[2:-1] if r[k] is not None}
        assert present == {"cost", "r_norm"} | LSQ_FIELDS[r["note"]], r
    return [r["note"] for r in history]


class Linear:
    """r(x) = A·x - b with counters; A is m by n, given as rows."""

    def __init__(self, A, b, log=None):
        self.A, self.b = A, b
        self.log = [] if log is None else log
        self.residual = Recorder(lambda x: [sum(a * v for a, v in zip(row, x)) - bi for row, bi in zip(A, b)],
                                 "r", self.log)
        self.jacobian = Recorder(lambda x: [a for row in A for a in row], "J", self.log)

    def kwargs(self, **extra):
        return dict(jacobian=self.jacobian, **extra)


def shift(target, log=None):
    """r(x) = x - target, J = I."""
    n = len(target)
    return Linear([[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)], list(target), log)
