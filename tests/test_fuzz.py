"""Property-based fuzzing of gd, gn and lm with hostile options, callbacks,
manifolds and line-search results.

Properties of every generated call:
  * the process survives (a crash fails the whole run);
  * the outcome is a tuple of the documented shape, or an exception of a
    documented type, or an exception one of the user's objects raised;
  * a callable's own exception is raised unchanged and is the first one of
    its error store (the callbacks' store wins over the manifold's);
  * no callable sharing the callbacks' store is called after one of them
    raised;
  * the same call made twice gives the same outcome.

MARLUNE_FUZZ_EXAMPLES sets the number of examples per solver (default 800,
so a test run makes a few thousand calls; a nightly run sets 40000 or more
for over 10**5).
"""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import marlune

# The corrupted arrays are built with lossy casts on purpose.
pytestmark = [pytest.mark.filterwarnings("ignore:invalid value encountered in cast"),
              pytest.mark.filterwarnings("ignore:Casting complex values to real")]

EXAMPLES = int(os.environ.get("MARLUNE_FUZZ_EXAMPLES", "800"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=not os.environ.get("MARLUNE_FUZZ_RANDOM"),
                suppress_health_check=list(HealthCheck), database=None)


class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: stands for KeyboardInterrupt and friends."""


class Log:
    """What one call did: callable calls in order, and what was raised."""

    def __init__(self, incidental=None):
        self.calls = []        # (group, name)
        self.raised = []       # (group, exception) raised by a callable itself
        self.violations = []   # callables called after one of them raised
        # Raised from inside returned objects (__float__, __len__, ...) or by
        # manifold attribute lookups; shared by a call and its replay.
        self.incidental = [] if incidental is None else incidental


# --- hostile values ---------------------------------------------------------------

class IntSub(int):
    pass


class FloatSub(float):
    pass


def raising_object(log, dunder, exc_type):
    """An object whose `dunder` raises; the exception is logged as incidental."""

    def fail(self, *args):
        exc = exc_type(dunder)
        log.incidental.append(exc)
        raise exc

    return type("Hostile", (), {dunder: fail})()


def odd_type_object(module, name):
    """An instance of a class with a misleading name and an arbitrary __module__."""
    cls = type(name, (), {"__bool__": lambda self: True, "__float__": lambda self: 0.5})
    cls.__module__ = module
    return cls()


SCALARS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), st.integers(-2**70, 2**70), st.booleans(),
    st.builds(IntSub, st.integers(-5, 5)), st.builds(FloatSub, st.floats(-1e3, 1e3)),
    st.sampled_from([np.float32(0.5), np.int64(3), np.bool_(True), np.float64("nan"), None, "1.0", b"x", [], {}]),
)


def hostile(log):
    """Any value a careless or hostile callable might produce."""
    return st.one_of(
        SCALARS,
        st.builds(raising_object, st.just(log), st.sampled_from(["__float__", "__index__", "__len__", "__iter__",
                                                               "__getitem__", "__bool__"]),
                  st.sampled_from([Boom, Halt, ValueError])),
        st.builds(odd_type_object, st.sampled_from([b"numpy", b"AAAAA", 3, None, "numpy", "x" * 1000]),
                  st.sampled_from(["bool", "bool_", "ndarray"])),
    )


DTYPES = ["f8", "f4", "i8", "?", "c16", "O", ">f8", "u1"]
VARIANTS = ["short", "long", "nan", "item", "array", "strided", "2d", "tuple", "generator", "empty", "nested", "whole"]


def corrupt(value, how, dtype, bad):
    """`value` (a correct result) made wrong in the way `how` names."""
    if not isinstance(value, list):  # a scalar result (an objective value, a policy answer)
        return math.nan if how == "nan" else bad
    if how == "short":
        return value[:-1]
    if how == "long":
        return value + [0.0]
    if how == "nan":
        return [math.nan] * len(value)
    if how == "item" and value:
        return value[:-1] + [bad]
    if how == "array":
        return np.array(value, dtype="f8").astype(dtype)
    if how == "strided":
        return np.array([v for v in value for _ in (0, 1)], dtype=dtype)[::2]
    if how == "2d":
        return np.array(value, dtype="f8").reshape(-1, 1) if value else np.zeros((0, 3))
    if how == "tuple":
        return tuple(value)
    if how == "generator":
        return (v for v in value)
    if how == "empty":
        return []
    if how == "nested":
        return [value]
    return bad


class Scripted:
    """A callable of `group` that follows a script of behaviours, then answers correctly.

    `correct(*args)` computes the right answer; `answers` (a policy's list of
    results) replaces it when given."""

    def __init__(self, draw, log, group, name, correct, answers=None):
        self.log, self.group, self.name, self.correct, self.answers = log, group, name, correct, answers
        self.steps = []
        for _ in range(draw(st.integers(0, 6))):
            step = draw(st.sampled_from(["ok", "ok", "ok", "bad", "bad", "raise", "halt"]))
            if step == "bad":
                self.steps.append((step, draw(st.sampled_from(VARIANTS)), draw(st.sampled_from(DTYPES)),
                                   draw(hostile(log))))
            else:
                self.steps.append((step, None, None, None))
        self.n = 0

    def fresh(self, log):
        clone = object.__new__(Scripted)
        clone.__dict__.update(self.__dict__, log=log, n=0)
        return clone

    def __call__(self, *args):
        i = self.n
        self.n += 1
        self.log.calls.append((self.group, self.name))
        if self.log.raised:  # once anything has raised, nothing of the caller's may run
            self.log.violations.append(self.name)
        step, how, dtype, bad = self.steps[i] if i < len(self.steps) else ("ok", None, None, None)
        if step in ("raise", "halt"):
            exc = (Boom if step == "raise" else Halt)(f"{self.name} {i}")
            self.log.raised.append((self.group, exc))
            raise exc
        value = self.answers[i % len(self.answers)] if self.answers else self.correct(*args)
        return value if step == "ok" else corrupt(value, how, dtype, bad)


# --- problems ---------------------------------------------------------------------

FINITE = st.floats(-1e3, 1e3)
TOL = st.one_of(st.floats(0.0, 1e-2), st.sampled_from([-1.0, math.nan, 0.0]))
UNIT = st.floats(0.01, 0.99)
VALID = {
    "step_size": st.floats(-1.0, 1.0), "tol_grad": TOL, "lambda": st.floats(0.0, 10.0), "lambda_": st.floats(0.0, 1.0),
    "step_scale": st.floats(0.01, 1.0), "tol_r": TOL, "tol_dx": TOL, "ls_beta": UNIT,
    "ls_min_step": st.floats(1e-12, 0.5), "ls_max_steps": st.integers(1, 30), "c_armijo": FINITE,
    "damping_update": st.sampled_from(["adaptive", "fixed"]), "linear_system": st.sampled_from(["left_jjt", "normal_jtj"]),
    "line_search_method": st.sampled_from(["armijo", "strict_decrease", "none"]),
    "lambda_up": st.floats(1.01, 20.0), "lambda_down": UNIT,
    "scaling": st.one_of(st.sampled_from(["none", "marquardt"]), st.lists(st.floats(0.1, 10.0), max_size=3)),
    "tol_cost": st.floats(0.0, 1e-2), "tol_dx_rel": st.floats(0.0, 1e-2),
    # Valid counts stay small: a negative tolerance runs for as long as it is allowed.
    "max_iters": st.integers(0, 12),
}
INVALID = st.sampled_from([-1, 1.5, 2**64, "3", "Fixed", "", None, math.inf, math.nan, -0.0, 0, np.int64(4),
                           np.bool_(True), True, [1.0]])


def options_strategy(draw, log, keys):
    """A dict (sometimes a subclass) of mostly valid entries, now and then a wrong, unknown or hostile one."""
    values = {}
    for k in draw(st.lists(st.sampled_from(keys), unique=True, max_size=6)):
        corrupt_it = draw(st.integers(0, 15)) == 7  # hypothesis favours the ends of a range
        values[k] = draw(st.one_of(INVALID, hostile(log)) if corrupt_it else VALID[k])
    if "lambda" in values and "lambda_" in values and draw(st.integers(0, 3)):
        del values["lambda_"]
    extra = draw(st.integers(0, 39))
    if extra == 17:
        values[draw(st.sampled_from(["bogus", "Lambda", "history"]))] = 1
    elif extra == 23:
        values[draw(st.sampled_from([1, b"k", None]))] = 1  # a key that is not a str
    cls = draw(st.sampled_from([dict, dict, dict, type("DictSub", (dict,), {"__getitem__": lambda self, k: 0})]))
    return cls(values)


def manifold_strategy(draw, log):
    kind = draw(st.sampled_from(["absent", "absent", "none", "object"]))
    if kind == "absent":
        return None, False
    if kind == "none":
        return None, True
    attrs = {}
    for name, correct in [("retract", lambda x, d, a: [xi + a * di for xi, di in zip(x, d)]),
                          ("tangent_norm", lambda v: math.sqrt(sum(e * e for e in v))),
                          ("scale", lambda v, a: [a * e for e in v]), ("add", None), ("difference", None)]:
        what = draw(st.sampled_from(["absent", "absent", "callable", "callable", "callable", "value", "property"]
                                    if name in ("retract", "tangent_norm", "scale") else
                                    ["absent"] * 12 + ["callable", "value", "property"]))
        if what == "callable":
            attrs[name] = Scripted(draw, log, "manifold", name, correct or (lambda *a: None))
        elif what == "value":
            attrs[name] = draw(st.sampled_from([None, 3, "f"]))
        elif what == "property":
            def prop(self, _n=name):
                exc = Boom(_n)
                log.incidental.append(exc)
                raise exc
            attrs[name] = property(prop)
    cls = type("M", (), {k: v for k, v in attrs.items() if isinstance(v, property)})
    obj = cls()
    for k, v in attrs.items():
        if not isinstance(v, property):
            setattr(obj, k, v)
    return obj, True


POLICY_RESULTS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), st.booleans(),
    st.tuples(st.sampled_from([True, False, np.bool_(False), 1, None]), st.floats(allow_nan=True)),
    st.fixed_dictionaries({"alpha": st.floats(allow_nan=True)}, optional={"accepted": st.sampled_from([True, False, 0,
                                                                                                      np.bool_(True)])}),
    st.sampled_from([[True, 0.5], {"accepted": True}, None, "0.5", (True, 0.5, 1), {"alpha": "x"}]),
)


def policy_strategy(draw, log, solver):
    kind = draw(st.sampled_from(["absent", "absent", "callable", "callable", "value"] +
                                (["bool"] if solver == "gn" else [])))
    if kind == "absent":
        return None, False
    if kind == "bool":
        return draw(st.booleans()), True
    if kind == "value":
        return draw(st.sampled_from([None, 3, "armijo"])), True
    results = draw(st.lists(POLICY_RESULTS, min_size=1, max_size=6))
    return Scripted(draw, log, "callbacks", "line_search", None, answers=results), True


@st.composite
def problems(draw, solver):
    """A complete call: (function, args, kwargs, log)."""
    log = Log()
    n = draw(st.sampled_from([1, 1, 2, 2, 3, 3, 0]))
    if draw(st.integers(0, 14)):
        x0 = draw(st.lists(st.floats(-10, 10), min_size=n, max_size=n))
        x0 = draw(st.sampled_from([x0, x0, tuple(x0), np.array(x0, dtype="f8")]))
    else:
        x0 = draw(st.sampled_from([[1.0, "a"], "ab", 3, None, [1.0, raising_object(log, "__float__", Halt)]]))
    target = [1.0, -2.0, 0.5]
    if solver == "gd":
        keys = ["step_size", "max_iters", "tol_grad"]
    elif solver == "gn":
        keys = ["lambda", "lambda_", "step_scale", "max_iters", "tol_r", "tol_dx", "damping_update", "linear_system",
                "line_search_method", "ls_beta", "ls_min_step", "ls_max_steps", "c_armijo", "scaling", "tol_cost",
                "tol_dx_rel"]
    else:
        keys = ["lambda", "lambda_", "lambda_up", "lambda_down", "step_scale", "max_iters", "tol_r", "tol_dx",
                "linear_system", "scaling", "tol_cost", "tol_dx_rel"]
    options = options_strategy(draw, log, keys) if draw(st.integers(0, 3)) else None
    manifold, has_manifold = manifold_strategy(draw, log)
    policy, has_policy = policy_strategy(draw, log, solver)
    if options is not None or has_manifold or has_policy:
        options = {} if options is None else options
        if has_manifold:
            options["manifold"] = manifold
        if has_policy:
            options["line_search"] = policy
    debug = draw(st.sampled_from([None, {"history": True}, {"history": False}, {"history": np.bool_(True)}]))
    if draw(st.integers(0, 29)) == 13:
        debug = draw(st.sampled_from([{"history": 1}, {"trace": True}, [("history", True)]]))

    def shifted(x):
        return [xi - t for xi, t in zip(x, target)]

    if solver == "gd":
        f = Scripted(draw, log, "callbacks", "f", lambda x: sum(v * v for v in shifted(x)))
        g = Scripted(draw, log, "callbacks", "grad", lambda x: [2.0 * v for v in shifted(x)])
        return marlune.gd, (f, g, x0), {"options": options, "debug": debug}, log
    kwargs = {"options": options, "debug": debug}
    residual = Scripted(draw, log, "callbacks", "residual", lambda x: shifted(x) if len(x) else [1.0])
    jac = draw(st.sampled_from(["jacobian", "jacobian", "jacobian_vec", "both", "none", "2-point", "3-point", "2pt"]))
    if jac in ("2-point", "3-point", "2pt"):
        kwargs["jacobian"] = jac
    if jac in ("jacobian", "both"):
        kwargs["jacobian"] = Scripted(draw, log, "callbacks", "jacobian",
                                      lambda x: [1.0 if i == j else 0.0 for i in range(len(x)) for j in range(len(x))])
    if jac in ("jacobian_vec", "both"):
        kwargs["jacobian_vec"] = Scripted(draw, log, "callbacks", "jacobian_vec", lambda x, v: list(v))
    if draw(st.booleans()):
        kwargs["project"] = Scripted(draw, log, "callbacks", "project", lambda x: [min(v, 5.0) for v in x])
    return getattr(marlune, solver), (residual, x0), kwargs, log


# --- the properties ---------------------------------------------------------------

DOCUMENTED = (ValueError, TypeError, OverflowError, MemoryError)


def outcome(fn, args, kwargs):
    try:
        return "result", fn(*args, **kwargs)
    except marlune.PanicException as e:
        assert str(e) == "assertion failed: m > 0 && n > 0", e  # the one internal failure input can reach
        return "error", e
    except BaseException as e:  # noqa: BLE001 - every exception is judged below
        return "error", e


def check(solver, fn, args, kwargs, log):
    kind, value = outcome(fn, args, kwargs)
    event(describe_kind(kind, value, log))
    flag = kwargs["debug"].get("history") if isinstance(kwargs.get("debug"), dict) else None
    history = flag is True or (type(flag) is np.bool_ and bool(flag))
    if kind == "result":
        assert type(value) is tuple
        if solver == "gd":
            assert len(value) == 3 + history and type(value[1]) is float and type(value[2]) is bool
        else:
            assert len(value) == 6 + history and type(value[2]) is int and type(value[5]) is bool
            assert all(type(v) is float for v in (value[1], value[3], value[4]))
        assert type(value[0]) is list and all(type(v) is float for v in value[0])
        if history:
            assert type(value[-1]) is list and all(r["solver"] == solver for r in value[-1])
    elif any(value is e for _, e in log.raised):
        # A callable's own exception, unchanged; nothing ran after it, so it is
        # the only one.
        assert len(log.raised) == 1, log.raised
    elif not any(value is e for e in log.incidental):
        assert isinstance(value, (*DOCUMENTED, marlune.PanicException)), repr(value)
    assert log.violations == [], (log.calls, log.raised)
    return describe(kind, value)


def describe_kind(kind, value, log):
    """The outcome class, for the statistics of a run (--hypothesis-show-statistics)."""
    if kind == "result":
        return "returned"
    if any(value is e for _, e in log.raised):
        return "own exception"
    if any(value is e for e in log.incidental):
        return "incidental exception"
    return type(value).__name__ + ": " + str(value)[:60]


def describe(kind, value):
    if kind == "result":
        return repr(value)
    return type(value).__name__, str(value)


@pytest.mark.parametrize("solver", ["gd", "gn", "lm"])
@FUZZ
@given(data=st.data())
def test_fuzz(solver, data):
    problem = data.draw(problems(solver))
    first = check(solver, *problem)
    # The same call again, its callables starting their scripts afresh.
    assert check(solver, *replay(problem)) == first


def replay(problem):
    """A copy of a generated call whose scripted callables start over."""
    fn, args, kwargs, log = problem
    fresh = Log(log.incidental)

    def renew(obj):
        return obj.fresh(fresh) if isinstance(obj, Scripted) else obj

    kwargs = {k: renew(v) for k, v in kwargs.items()}
    options = kwargs.get("options")
    if isinstance(options, dict):
        copy = type(options)()
        for k, v in options.items():
            if k == "manifold" and v is not None and type(v).__name__ == "M":
                m = object.__new__(type(v))
                m.__dict__.update({a: renew(b) for a, b in v.__dict__.items()})
                v = m
            copy[k] = renew(v)
        kwargs["options"] = copy
    return fn, tuple(renew(a) for a in args), kwargs, fresh
