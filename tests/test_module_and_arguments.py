"""Module contents, signatures, argument binding and x0 conversion."""

import ctypes
import importlib.util
import inspect

import numpy as np
import pytest

import marlune
from conftest import FloatRaises, Floaty, Indexy, Recorder, float_error, run_python, sumsq, twice


# Pure-Python functions with the same signatures: their binding errors are the reference.
def gd(f, grad, x0, *, options=None, debug=None): pass
def gn(residual, x0=None, *, jacobian=None, jacobian_vec=None, project=None, options=None, debug=None): pass
def lm(residual, x0=None, *, jacobian=None, jacobian_vec=None, project=None, options=None, debug=None): pass


REFERENCE = {"gd": gd, "gn": gn, "lm": lm}
FIRST_DOC_LINE = {"gd": "Gradient Descent optimizer exposed to Python.",
                  "gn": "Nonlinear least squares solver exposed to Python.",
                  "lm": "Nonlinear least squares LM solver exposed to Python."}


def test_module_contents():
    assert marlune.__all__ == ["gd", "gn", "lm"] and type(marlune.__all__) is list
    assert marlune.__doc__ == "Python module definition"
    assert marlune.PanicException.__bases__ == (BaseException,)
    assert "PanicException" not in marlune.__all__


@pytest.mark.parametrize("name", ["gd", "gn", "lm"])
def test_signature_and_docstring(name):
    fn, ref = getattr(marlune, name), REFERENCE[name]
    assert fn.__name__ == name and fn.__module__ == "marlune"
    assert fn.__text_signature__ == str(inspect.signature(ref))
    assert inspect.signature(fn) == inspect.signature(ref)
    assert fn.__doc__.splitlines()[:2] == [FIRST_DOC_LINE[name], ""]
    assert fn.__doc__.splitlines()[-2:] == ["options: optional dict for solver settings",
                                            "debug: optional dict for trace and logging controls"]


def _init_through_ctypes():
    init = ctypes.PyDLL(marlune.__file__).PyInit_marlune
    init.restype = ctypes.py_object
    return init()


def _init_through_importlib():
    found = importlib.util.spec_from_file_location("marlune", marlune.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("init", [_init_through_ctypes, _init_through_importlib])
def test_repeated_initialisation_returns_the_same_module(init):
    assert init() is marlune and init() is marlune
    assert marlune.gd(sumsq, twice, [1.0], options={"max_iters": 0}) == ([1.0], 1.0, False)


# (function, number of positional arguments, keyword names, literal message or None)
BINDING = [
    ("gd", 4, (), "gd() takes 3 positional arguments but 4 were given"),
    ("gd", 5, (), None), ("gd", 4, ("options",), None), ("gd", 4, ("options", "debug"), None),
    ("gd", 3, ("tol",), "gd() got an unexpected keyword argument 'tol'"),
    ("gd", 4, ("tol",), None), ("gd", 1, ("options", "zzz"), None),
    ("gd", 3, ("f",), "gd() got multiple values for argument 'f'"),
    ("gd", 4, ("x0",), None), ("gd", 1, ("f", "x0"), None),
    ("gd", 2, (), "gd() missing 1 required positional argument: 'x0'"),
    ("gd", 1, (), "gd() missing 2 required positional arguments: 'grad' and 'x0'"),
    ("gd", 0, (), "gd() missing 3 required positional arguments: 'f', 'grad', and 'x0'"),
    ("gd", 0, ("x0",), None), ("gd", 0, ("grad", "debug"), None), ("gd", 2, ("options", "debug"), None),
    ("gn", 3, (), "gn() takes from 1 to 2 positional arguments but 3 were given"),
    ("gn", 3, ("project", "debug"), None),
    ("gn", 0, (), "gn() missing 1 required positional argument: 'residual'"),
    ("gn", 0, ("x0", "jacobian"), None), ("gn", 1, ("residual",), None), ("gn", 2, ("x0",), None),
    ("gn", 1, ("lambda",), None), ("gn", 1, ("jacobianvec",), None),
]
BINDING += [("lm", npos, kw, None) for name, npos, kw, _ in BINDING if name == "gn"]


@pytest.mark.parametrize("name,npos,kwnames,literal", BINDING)
def test_binding_errors_read_like_the_interpreters(name, npos, kwnames, literal):
    never = Recorder(lambda *a: pytest.fail("called on a binding error"))
    args, kwargs = (never,) * npos, dict.fromkeys(kwnames, never)
    with pytest.raises(TypeError) as want:
        REFERENCE[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(marlune, name)(*args, **kwargs)
    assert type(got.value) is TypeError and str(got.value) == str(want.value)
    assert literal is None or str(got.value) == literal
    assert never.n == 0


class BadLenSeq:
    """A sequence whose length query fails but which iterates."""
    def __getitem__(self, i): return [1.0, 2.0][i]
    def __len__(self): raise RuntimeError("no length")


@pytest.mark.parametrize("x0,expected", [
    ((1.0, -2.5), [1.0, -2.5]), ([1, -2], [1.0, -2.0]), (range(3), [0.0, 1.0, 2.0]),
    ([True, Floaty(2.5), Indexy(3), np.float32(0.5)], [1.0, 2.5, 3.0, 0.5]),
    (np.array([1.0, -2.0]), [1.0, -2.0]), (np.array([3, 4]), [3.0, 4.0]),
    (np.arange(6.0)[::2], [0.0, 2.0, 4.0]), (BadLenSeq(), [1.0, 2.0]), ([], []),
])
def test_x0_converts_to_floats(quad, x0, expected):
    f, g, _ = quad
    assert marlune.gd(f, g, x0, options={"max_iters": 0}) == (expected, sumsq(expected), False)
    assert type(f.calls[0][0]) is list and all(type(v) is float for v in f.calls[0][0])


def _call(name, x0, f, g):
    return marlune.gd(f, g, x0) if name == "gd" else getattr(marlune, name)(f, x0, jacobian=g)


class StrSub(str):
    pass


@pytest.mark.parametrize("name", ["gd", "gn", "lm"])
@pytest.mark.parametrize("x0,message", [
    ("abc", "Can't extract `str` to `Vec`"), (StrSub("12"), "Can't extract `str` to `Vec`"),
    (3, "'int' object cannot be cast as 'Sequence'"), ({1: 2.0}, "'dict' object cannot be cast as 'Sequence'"),
    ({1.0}, "'set' object cannot be cast as 'Sequence'"),
    (iter([1.0]), "'list_iterator' object cannot be cast as 'Sequence'"),
    (["a"], float_error("a")), ([1.0, None], float_error(None)), ([1.0, [2.0]], float_error([2.0])),
])
def test_x0_conversion_errors(quad, name, x0, message):
    f, g, _ = quad
    with pytest.raises(TypeError) as ei:
        _call(name, x0, f, g)
    assert type(ei.value) is TypeError and str(ei.value) == "argument 'x0': " + message
    assert f.n == g.n == 0


class SubTypeError(TypeError):
    pass


@pytest.mark.parametrize("name", ["gd", "gn", "lm"])
@pytest.mark.parametrize("exc", [ValueError("v"), SubTypeError("s"), KeyError("k")])
def test_x0_item_errors_other_than_plain_type_errors_pass_unchanged(quad, name, exc):
    f, g, _ = quad
    with pytest.raises(BaseException) as ei:
        _call(name, [1.0, FloatRaises(exc)], f, g)
    assert ei.value is exc and f.n == g.n == 0


def test_x0_type_error_is_rewrapped_with_its_cause(quad):
    cause, err = KeyError("inner"), TypeError("bad item")
    err.__cause__ = cause
    with pytest.raises(TypeError) as ei:
        marlune.gd(*quad[:2], [FloatRaises(err)])
    assert ei.value is not err and type(ei.value) is TypeError
    assert str(ei.value) == "argument 'x0': bad item" and ei.value.__cause__ is cause


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no legacy subinterpreter support in this build")
    code = (
        "import sys\n"
        "try:\n"
        "    import marlune\n"
        "except ImportError as e:\n"
        "    sys.stdout.write('refused: ' + str(e))\n"
        "else:\n"
        "    sys.stdout.write('imported')\n"
    )
    out = run_python(
        "import _testcapi, marlune\n"
        f"_testcapi.run_in_subinterp({code!r})\n"
        "marlune.gd(lambda x: 0.0, lambda x: [0.0], [1.0])\n"
    )
    assert out.startswith("refused: ") and "subinterpreters" in out
