"""Module contents, signatures, argument binding and x0 conversion."""

import ctypes
import inspect

import numpy as np
import pytest

import marlune
from conftest import Recorder, float_error, run_python, sumsq, twice


# Pure-Python functions with the same signatures: their binding errors are the reference.
def gd(f, grad, x0, *, options=None, debug=None): pass
def gn(residual, x0=None, *, jacobian=None, jacobian_vec=None, project=None, options=None, debug=None): pass


REFERENCE = {"gd": gd, "gn": gn, "lm": gn}
FIRST_DOC_LINE = {"gd": "Gradient Descent optimizer exposed to Python.",
                  "gn": "Nonlinear least squares solver exposed to Python.",
                  "lm": "Nonlinear least squares LM solver exposed to Python."}


def test_module_contents():
    assert marlune.__all__ == ["gd", "gn", "lm"]
    assert marlune.PanicException.__bases__ == (BaseException,) and "PanicException" not in marlune.__all__


@pytest.mark.parametrize("name", ["gd", "gn", "lm"])
def test_signature_and_docstring(name):
    fn = getattr(marlune, name)
    assert inspect.signature(fn) == inspect.signature(REFERENCE[name])
    assert fn.__doc__.splitlines()[0] == FIRST_DOC_LINE[name]


def test_repeated_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(marlune.__file__).PyInit_marlune
    init.restype = ctypes.py_object
    assert init() is marlune and init() is marlune
    assert marlune.gd(sumsq, twice, [1.0], options={"max_iters": 0}) == ([1.0], 1.0, False)


# (function, number of positional arguments, keyword names, literal message or None)
BINDING = [
    ("gd", 4, (), "gd() takes 3 positional arguments but 4 were given"), ("gd", 4, ("options",), None),
    ("gd", 3, ("tol",), "gd() got an unexpected keyword argument 'tol'"), ("gd", 3, ("option",), None),
    ("gd", 3, ("f",), "gd() got multiple values for argument 'f'"),
    ("gd", 2, (), "gd() missing 1 required positional argument: 'x0'"),
    ("gd", 1, (), "gd() missing 2 required positional arguments: 'grad' and 'x0'"),
    ("gd", 0, (), "gd() missing 3 required positional arguments: 'f', 'grad', and 'x0'"),
]
GN_BINDING = [("gn", 3, (), "gn() takes from 1 to 2 positional arguments but 3 were given"),
              ("gn", 3, ("project",), None), ("gn", 1, ("jacobianvec",), None), ("gn", 2, ("x0",), None),
              ("gn", 0, ("x0",), "gn() missing 1 required positional argument: 'residual'")]
BINDING += GN_BINDING + [("lm", n, kw, lit and lit.replace("gn(", "lm(")) for _, n, kw, lit in GN_BINDING]


@pytest.mark.parametrize("name,npos,kwnames,literal", BINDING)
def test_binding_errors_read_like_the_interpreters(name, npos, kwnames, literal):
    never = Recorder(lambda *a: pytest.fail("called on a binding error"))
    args, kwargs = (never,) * npos, dict.fromkeys(kwnames, never)
    with pytest.raises(TypeError) as want:
        REFERENCE[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(marlune, name)(*args, **kwargs)
    expected = str(want.value).replace("gn(", name + "(")
    assert type(got.value) is TypeError and str(got.value) == expected
    assert literal is None or expected == literal
    assert never.n == 0


@pytest.mark.parametrize("x0,expected", [
    ((1.0, -2.5), [1.0, -2.5]), ([1, -2], [1.0, -2.0]), (np.array([1.0, -2.0]), [1.0, -2.0]), ([], []),
])
def test_x0_converts_to_floats(quad, x0, expected):
    f, g, _ = quad
    assert marlune.gd(f, g, x0, options={"max_iters": 0}) == (expected, sumsq(expected), False)
    assert all(type(v) is float for v in f.calls[0][0])


@pytest.mark.parametrize("name", ["gd", "gn", "lm"])
@pytest.mark.parametrize("x0,message", [
    ("abc", "Can't extract `str` to `Vec`"), (3, "'int' object cannot be cast as 'Sequence'"),
    ([1.0, "a"], float_error("a")),
])
def test_x0_conversion_errors(quad, name, x0, message):
    f, g, _ = quad
    with pytest.raises(TypeError) as ei:
        marlune.gd(f, g, x0) if name == "gd" else getattr(marlune, name)(f, x0, jacobian=g)
    assert type(ei.value) is TypeError and str(ei.value) == "argument 'x0': " + message
    assert f.n == g.n == 0


class ItemError(TypeError):
    pass


class Items:
    """A sequence whose second item fails to convert with a chosen error."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return 1.0
        if i == 1:
            return self
        raise IndexError

    def __float__(self):
        raise self.error


def test_x0_item_errors_other_than_plain_type_error_pass_unchanged(quad):
    f, g, _ = quad
    for error in (ValueError("bad item"), ItemError("subclass"), KeyError("k")):
        with pytest.raises(type(error)) as ei:
            marlune.gd(f, g, Items(error))
        assert ei.value is error


def test_x0_type_error_is_rewrapped_keeping_its_cause(quad):
    f, g, _ = quad
    cause = OSError("root cause")
    error = TypeError("no float here")
    error.__cause__ = cause
    with pytest.raises(TypeError) as ei:
        marlune.gd(f, g, Items(error))
    assert str(ei.value) == "argument 'x0': no float here" and ei.value.__cause__ is cause


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
