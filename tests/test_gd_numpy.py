"""Callback results given as NumPy objects, and running without NumPy at all."""

import math
import shutil

import numpy as np
import pytest

import marlune
from conftest import FINAL, HALVING, rec, run_python, sumsq, twice

# From x0 = [1.0, -2.0] every iterate is exact in float32 and the run converges at iteration 13.
EXPECTED = ([2.0 ** -13, -(2.0 ** -12)], 2.0 ** -26 + 2.0 ** -24, True)


@pytest.mark.parametrize("make", [
    np.array, lambda v: np.array(v, dtype=np.float32), lambda v: np.array([w for p in v for w in (p, 9.0)])[::2],
    lambda v: [np.float64(v[0]), np.float32(v[1])],
], ids=["f8", "f4", "stride2", "scalars"])
def test_numpy_gradients_are_read_in_element_order(make):
    res = marlune.gd(lambda x: np.float64(sumsq(x)), lambda x: make(twice(x)), [1.0, -2.0], options=HALVING)
    assert res == EXPECTED and type(res[1]) is float


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
    res = marlune.gd(f, lambda x: tuple(g(x)), (1, -2), options=opts, debug={"history": True})
    print(len(res), res[3])
"""


def test_works_without_numpy(tmp_path):
    shutil.copy(marlune.__file__, tmp_path)
    out = run_python(NO_NUMPY_CHILD, str(tmp_path), flags=("-S", "-I")).splitlines()
    record = rec(13, 5.0 * 2.0 ** -26, 2.0 ** -12 * math.sqrt(5.0), note="converged")
    assert out == ["no numpy", str(FINAL), f"4 {[record]}"]
