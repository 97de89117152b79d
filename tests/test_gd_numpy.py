"""Callback results given as NumPy objects, and running without NumPy at all."""

import math
import shutil

import numpy as np
import pytest

import marlune
from conftest import HALVING, FINAL, run_python, sumsq, twice

# From x0 = [1.0, -2.0] every iterate is exact in float32 and the run converges at iteration 13.
EXPECTED = ([2.0 ** -13, -(2.0 ** -12)], 2.0 ** -26 + 2.0 ** -24, True)


@pytest.mark.parametrize("make", [
    np.array, lambda v: np.array(v, dtype=np.float32), lambda v: np.array([w for p in v for w in (p, 9.0)])[::2],
    lambda v: np.array([[p, 9.0] for p in v])[:, 0], lambda v: np.array(v[::-1])[::-1],
    lambda v: np.array(v, dtype=">f8"), lambda v: np.array(v, dtype=object),
    lambda v: [np.float64(v[0]), np.float32(v[1])],
], ids=["f8", "f4", "stride2", "column", "negative-stride", "big-endian", "object", "scalars"])
def test_numpy_gradients_are_read_in_element_order(make):
    calls = []
    res = marlune.gd(lambda x: np.float64(sumsq(x)), lambda x: calls.append(x) or make(twice(x)),
                     [1.0, -2.0], options=HALVING)
    assert res == EXPECTED and type(res[1]) is float and len(calls) == 14


@pytest.mark.parametrize("shape", [(-1, 1), (1, -1)])
def test_two_dimensional_gradients_convert_row_by_row(shape):
    def grad(x):
        return np.array(twice(x)).reshape(shape)

    try:
        [float(row) for row in grad([1.0, -2.0])]
    except TypeError as e:
        with pytest.raises(TypeError, match=f"^{e}$"):
            marlune.gd(sumsq, grad, [1.0, -2.0], options=HALVING)
    else:
        assert marlune.gd(sumsq, grad, [1.0, -2.0], options=HALVING) == EXPECTED


NO_NUMPY_CHILD = """
    import sys
    sys.path.insert(0, sys.argv[1])
    try:
        import numpy
    except ImportError:
        print("no numpy")
    import marlune
    f, g = lambda x: sum(v * v for v in x), lambda x: [2.0 * v for v in x]
    opts = {"step_size": 0.25, "tol_grad": 0.001}
    print(marlune.gd(f, g, [1.0], options=opts))
    print(marlune.gd(f, lambda x: tuple(g(x)), (1, -2), options=opts, debug={"history": True})[3])
    print(marlune.gd(f, g, [1.0], options=dict(opts, line_search=lambda ctx: {"alpha": 0.25})))
    try:
        marlune.gd(f, g, [1.0], options={"bad": 1})
    except ValueError as e:
        print(e)
"""


def test_works_without_numpy(tmp_path):
    shutil.copy(marlune.__file__, tmp_path)
    out = run_python(NO_NUMPY_CHILD, str(tmp_path), flags=("-S", "-I")).splitlines()
    record = {"solver": "gd", "iter": 13, "f": 5.0 * 2.0 ** -26, "cost": None, "r_norm": None,
              "grad_norm": 2.0 ** -12 * math.sqrt(5.0), "dx_norm": None, "step_size": None,
              "alpha": None, "lambda": None, "dphi0": None, "note": "converged"}
    assert out == ["no numpy", str(FINAL), str([record]), str(FINAL), "gd: unknown options key 'bad'"]
