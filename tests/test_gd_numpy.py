"""Callback results given as NumPy objects (running without NumPy is a test of the
installed wheel, in test_dist)."""

import numpy as np
import pytest

import marlune
from conftest import HALVING, sumsq, twice

# From x0 = [1.0, -2.0] every iterate is exact in float32 and the run converges at iteration 13.
EXPECTED = ([2.0 ** -13, -(2.0 ** -12)], 2.0 ** -26 + 2.0 ** -24, True)


@pytest.mark.parametrize("make", [
    np.array, lambda v: np.array(v, dtype=np.float32), lambda v: np.array([w for p in v for w in (p, 9.0)])[::2],
    lambda v: [np.float64(v[0]), np.float32(v[1])],
], ids=["f8", "f4", "stride2", "scalars"])
def test_numpy_gradients_are_read_in_element_order(make):
    res = marlune.gd(lambda x: np.float64(sumsq(x)), lambda x: make(twice(x)), [1.0, -2.0], options=HALVING)
    assert res == EXPECTED and type(res[1]) is float
