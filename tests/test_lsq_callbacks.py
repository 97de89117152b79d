"""Residual, Jacobian and projection callables of gn and lm."""

import numpy as np
import pytest

import marlune
from conftest import Linear, Recorder, float_error, shift

SOLVERS = pytest.mark.parametrize("solve", [marlune.gn, marlune.lm], ids=["gn", "lm"])
A = [[1.0, 2.0, 0.0], [0.0, 1.0, -1.0]]  # m = 2, n = 3
B = [1.0, 2.0]


def first_step(solve, jac_kwargs, A=A, b=B):
    """x after one iteration of a fixed, undamped-enough run."""
    p = Linear(A, b)
    res = solve(p.residual, [0.0] * len(A[0]), options={"max_iters": 1}, **jac_kwargs)
    return res[0]


@SOLVERS
def test_jacobian_forms_give_the_same_step(solve):
    flat = [a for row in A for a in row]
    reference = first_step(solve, {"jacobian": lambda x: flat})
    assert reference != [0.0, 0.0, 0.0]
    for form in (lambda x: tuple(flat), lambda x: np.array(A), lambda x: np.asfortranarray(A),
                 lambda x: np.array(flat).reshape(3, 2),  # any 2-D shape with m·n entries, read row-major
                 lambda x: np.array(flat)[::-1][::-1], lambda x: np.array(flat, dtype=np.float32)):
        assert first_step(solve, {"jacobian": form}) == reference
    # A transposed view is read in its own row-major order: as the n by m matrix it shows.
    At = np.array(A).T
    flat_t = [v for row in At.tolist() for v in row]
    assert first_step(solve, {"jacobian": lambda x: At}) == first_step(solve, {"jacobian": lambda x: flat_t})
    assert flat_t != flat
    assert first_step(solve, {"jacobian_vec": lambda x, v: [sum(a * w for a, w in zip(row, v)) for row in A]}) == \
        reference


@SOLVERS
def test_jacobian_vec_is_called_once_per_column_with_fresh_unit_vectors(solve):
    seen = []

    def jv(x, v):
        seen.append((list(x), list(v)))
        v[0] = 99.0  # the callee may mutate its arguments freely
        x.clear()
        return [sum(a * w for a, w in zip(row, seen[-1][1])) for row in A]

    jacobian = Recorder(lambda x: pytest.fail("jacobian_vec must not be used alongside jacobian"))
    solve(Linear(A, B).residual, [0.5, 0.5, 0.5], jacobian_vec=jv, options={"max_iters": 1})
    assert seen == [([0.5] * 3, [1.0, 0.0, 0.0]), ([0.5] * 3, [0.0, 1.0, 0.0]), ([0.5] * 3, [0.0, 0.0, 1.0])]
    p = Linear(A, B)
    solve(p.residual, [0.5, 0.5, 0.5], jacobian=p.jacobian, jacobian_vec=jacobian, options={"max_iters": 1})
    assert jacobian.n == 0 and p.jacobian.n == 1


BOOM = ZeroDivisionError("boom")


def raise_boom(*args):
    raise BOOM


def bad(result):
    return lambda *args: result


@SOLVERS
@pytest.mark.parametrize("kwargs,exc,message", [
    ({"jacobian": bad([1.0] * 5)}, ValueError, "jacobian size mismatch"),
    ({"jacobian": bad(np.ones((2, 2)))}, ValueError, "jacobian size mismatch"),
    ({"jacobian": bad([[1.0, 2.0, 0.0], [0.0, 1.0, -1.0]])}, TypeError, float_error([1.0])),
    ({"jacobian": bad("123456")}, TypeError, "Can't extract `str` to `Vec`"),
    ({"jacobian": bad(7)}, TypeError, "'int' object cannot be cast as 'Sequence'"),
    ({"jacobian": raise_boom}, ZeroDivisionError, "boom"),
    ({"jacobian_vec": bad([1.0])}, ValueError, "jacobian_vec length mismatch: expected 2, got 1"),
    ({"jacobian_vec": bad(["a", 1.0])}, TypeError, float_error("a")),
    ({"jacobian": bad([1.0] * 6), "project": bad([1.0])}, ValueError, "project length mismatch: expected 3, got 1"),
    ({"jacobian": bad([1.0] * 6), "project": raise_boom}, ZeroDivisionError, "boom"),
    ({}, ValueError, "jacobian or jacobian_vec must be provided"),
])
def test_callable_failures_are_raised_after_the_run(solve, kwargs, exc, message):
    r = Recorder(Linear(A, B).residual.fn)
    with pytest.raises(exc) as ei:
        solve(r, [0.0, 0.0, 0.0], options={"max_iters": 10**9}, **kwargs)
    # Inference and start only: after a failed projection the trial's residual is not requested either.
    assert type(ei.value) is exc and str(ei.value) == message and r.n == 2


@SOLVERS
def test_jacobian_vec_failing_on_the_second_column_stops_there(solve):
    columns = []

    def jv(x, v):
        columns.append(v.index(1.0))
        if len(columns) == 2:
            raise BOOM
        return [0.0, 0.0]

    with pytest.raises(ZeroDivisionError):
        solve(Linear(A, B).residual, [0.0, 0.0, 0.0], jacobian_vec=jv)
    assert columns == [0, 1]


@SOLVERS
@pytest.mark.parametrize("result,exc,message", [
    ([], ValueError, "residual(x0) returned empty list; cannot infer residual dimension m"),
    ("ab", TypeError, "Can't extract `str` to `Vec`"),
    ([None], TypeError, float_error(None)),
])
def test_inference_errors_are_raised_at_once(solve, result, exc, message):
    r = Recorder(lambda x: result)
    with pytest.raises(exc) as ei:
        solve(r, [1.0], jacobian=r)
    assert str(ei.value) == message and r.n == 1
    with pytest.raises(ZeroDivisionError):
        solve(raise_boom, [1.0], jacobian=r)


@SOLVERS
def test_a_residual_of_the_wrong_length_later_on(solve):
    calls = []

    def residual(x):
        calls.append(list(x))
        return [x[0] - 1.0] + [0.0] * (len(calls) == 3)

    with pytest.raises(ValueError, match=r"^residual length mismatch: expected 1, got 2$"):
        solve(residual, [0.0], jacobian=lambda x: [1.0], options={"max_iters": 10**9})
    assert len(calls) == 3


@SOLVERS
def test_only_the_first_error_is_raised(solve):
    first, second = KeyError("first"), KeyError("second")
    errors = iter([first, second])

    def jacobian(x):
        raise next(errors)

    with pytest.raises(KeyError) as ei:
        solve(lambda x: [x[0] - 1.0], [0.0], jacobian=jacobian, project=bad([2.0, 2.0]))
    assert ei.value is first


@SOLVERS
def test_projection_moves_every_trial_point_but_never_x0(solve):
    p = shift([5.0, 5.0])
    projected = []

    def project(x):
        projected.append(list(x))
        return [min(v, 4.0) for v in x]

    res = solve(p.residual, [0.0, 0.0], jacobian=p.jacobian, project=project, options={"lambda": 0.0, "max_iters": 3})
    assert res[0] == [4.0, 4.0] and [0.0, 0.0] not in projected
    assert p.residual.calls[:2] == [([0.0, 0.0],)] * 2 and len(projected) == len(p.residual.calls) - 2


def f4(v):
    return np.array(v, dtype=np.float32)


@SOLVERS
@pytest.mark.parametrize("make", [
    np.array, f4, lambda v: np.array([w for p in v for w in (p, 9.0)])[::2],
    lambda v: [np.float64(e) for e in v], tuple,
], ids=["f8", "f4", "stride2", "scalars", "tuple"])
def test_numpy_and_other_sequences_as_residuals(solve, make):
    p = shift([0.5, -0.25])
    as_read = (lambda v: [float(np.float32(e)) for e in v]) if "f4" in make.__name__ else list
    plain = solve(lambda x: as_read(p.residual.fn(x)), [0.0, 0.0], jacobian=p.jacobian)
    assert solve(lambda x: make(p.residual.fn(x)), [0.0, 0.0], jacobian=p.jacobian) == plain
