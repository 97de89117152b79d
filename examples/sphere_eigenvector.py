"""The leading eigenvector of a symmetric matrix, found by marlune.gd on the
unit sphere.

Maximising the Rayleigh quotient xᵀAx over unit vectors x gives the
eigenvector of the largest eigenvalue. gd minimises f(x) = -xᵀAx; the
gradient handed to it is the Riemannian one (the Euclidean gradient -2Ax with
its component along x removed), and the manifold object keeps every iterate
on the sphere by retracting along the step and normalising. A line-search
callable that always takes the proposed step makes gd record every
iteration. The result is compared with the eigenvector NumPy computes
directly. Run with --plot (matplotlib needed) to save sphere_eigenvector.png.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import marlune
import plotting

if TYPE_CHECKING:
    from marlune import LineSearchContext


class UnitSphere:
    """Points are unit vectors; a step is taken in the tangent space and then
    pulled back onto the sphere by normalisation."""

    def retract(self, x: list[float], d: list[float], alpha: float) -> list[float]:
        y = [xi + alpha * di for xi, di in zip(x, d)]
        norm = math.sqrt(sum(v * v for v in y))
        return [v / norm for v in y]

    def tangent_norm(self, v: list[float]) -> float:
        return math.sqrt(sum(e * e for e in v))


def full_step(ctx: LineSearchContext) -> float:
    return ctx["alpha0"]


def main() -> None:
    rng = np.random.default_rng(11)
    n = 6
    B = rng.standard_normal((n, n))
    A = B @ B.T  # symmetric positive semi-definite

    def f(x: list[float]) -> float:
        v = np.asarray(x)
        return -float(v @ A @ v)

    def grad(x: list[float]) -> npt.NDArray[np.float64]:
        v = np.asarray(x)
        av = A @ v
        return -2.0 * (av - (v @ av) * v)  # projected onto the tangent space at x

    x0 = [1.0 / math.sqrt(n)] * n
    step = 0.5 / float(np.linalg.norm(A, 2))
    x, fx, converged, history = marlune.gd(f, grad, x0, options={
        "manifold": UnitSphere(), "line_search": full_step, "step_size": step, "max_iters": 20000,
        "tol_grad": 1e-10}, debug={"history": True})

    values, vectors = np.linalg.eigh(A)
    exact = vectors[:, -1]
    found = np.asarray(x)
    if found @ exact < 0:  # an eigenvector's sign is arbitrary
        exact = -exact
    print(f"converged = {converged} after {history[-1]['iter']} iterations, ‖x‖ = {np.linalg.norm(found):.15f}")
    print(f"Rayleigh quotient {-fx:.12f}   largest eigenvalue {values[-1]:.12f}")
    print(f"{'i':>3}{'gd on the sphere':>20}{'numpy.linalg.eigh':>20}")
    for i, (a, b) in enumerate(zip(found, exact)):
        print(f"{i:3d}{a:20.12f}{b:20.12f}")
    print(f"max |difference| = {np.max(np.abs(found - exact)):.3e}")
    assert converged and np.max(np.abs(found - exact)) < 1e-8

    plotting.save(__file__, "gd on the unit sphere: largest eigenvalue of a 6×6 matrix",
                  traces=[("gd", history)], cost_label="λmax − xᵀAx", offset=float(values[-1]))


if __name__ == "__main__":
    main()
