"""Shared helpers for the marlune Python API tests."""

import math
import subprocess
import sys
import textwrap

import pytest

KEYS = ["solver", "iter", "f", "cost", "r_norm", "grad_norm", "dx_norm",
        "step_size", "alpha", "lambda", "dphi0", "note"]
# (key, label, width, digits) of the numbers on a verbose line, in print order.
LINE_FIELDS = [("f", "f", 13, 6), ("cost", "cost", 13, 6), ("r_norm", "r", 13, 6),
               ("grad_norm", "grad", 13, 6), ("dx_norm", "dx", 13, 6), ("step_size", "step", 9, 3),
               ("alpha", "alpha", 8, 3), ("lambda", "lambda", 9, 3), ("dphi0", "dphi0", 13, 6)]
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


class Floaty:
    def __init__(self, v): self.v = v
    def __float__(self): return self.v


class Indexy:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v


class FloatRaises:
    def __init__(self, exc): self.exc = exc
    def __float__(self): raise self.exc.with_traceback(None)


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
    """A gd history record; every field gd leaves empty is None."""
    return dict(zip(KEYS, ["gd", it, f, None, None, grad_norm, None, step_size, None, None, None, note]))


def halving_records(last, step_size=0.25):
    """Ordinary records of iterations 0..last of the halving run, then its 'converged' record."""
    rows = [rec(k, 0.25 ** k, 2 * 0.5 ** k, step_size) for k in range(last + 1)]
    return rows + [rec(last, 0.25 ** last, 2 * 0.5 ** last, note="converged")]


def float_error(obj):
    """Message of the interpreter's float conversion error for obj."""
    try:
        math.sqrt(obj)
    except TypeError as e:
        return str(e)
    raise AssertionError(f"{obj!r} converts to float")


def _num(v, digits, width, plus):
    if math.isnan(v):
        s = "NaN"
    elif math.isinf(v):
        s = ("-" if v < 0 else "+" if plus else "") + "inf"
    else:
        mant, exp = f"{v:.{digits}e}".split("e")
        s = ("+" if plus and mant[0] != "-" else "") + f"{mant}e{int(exp)}"
    return s.rjust(width)


def render(r):
    """The verbose line of a history record."""
    line = f"[{r['solver']}] iter {r['iter']:>6}"
    for key, label, width, digits in LINE_FIELDS:
        if r[key] is not None:
            line += f" | {label} {_num(r[key], digits, width, key == 'step_size')}"
    return line + (f" | note {r['note']}" if r["note"] is not None else "")


def run_python(code, *argv, flags=()):
    """Runs code in a fresh interpreter and returns its standard output."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code), *argv],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
