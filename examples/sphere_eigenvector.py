"""The leading eigenvector of a symmetric matrix, found by marlune.gd on the
unit sphere.

Maximising the Rayleigh quotient xᵀAx over unit vectors x gives the
eigenvector of the largest eigenvalue. gd minimises f(x) = -xᵀAx; the
gradient handed to it is the Riemannian one (the Euclidean gradient -2Ax with
its component along x removed), and the manifold object keeps every iterate
on the sphere by retracting along the step and normalising. The result is
compared with the eigenvector NumPy computes directly.
"""

import math

import numpy as np

import marlune


class UnitSphere:
    """Points are unit vectors; a step is taken in the tangent space and then
    pulled back onto the sphere by normalisation."""

    def retract(self, x, d, alpha):
        y = [xi + alpha * di for xi, di in zip(x, d)]
        norm = math.sqrt(sum(v * v for v in y))
        return [v / norm for v in y]

    def tangent_norm(self, v):
        return math.sqrt(sum(e * e for e in v))


def main():
    rng = np.random.default_rng(11)
    n = 6
    B = rng.standard_normal((n, n))
    A = B @ B.T  # symmetric positive semi-definite

    def f(x):
        x = np.asarray(x)
        return -float(x @ A @ x)

    def grad(x):
        x = np.asarray(x)
        ax = A @ x
        return -2.0 * (ax - (x @ ax) * x)  # projected onto the tangent space at x

    x0 = [1.0 / math.sqrt(n)] * n
    step = 0.5 / np.linalg.norm(A, 2)
    x, fx, converged = marlune.gd(f, grad, x0, options={
        "manifold": UnitSphere(), "step_size": step, "max_iters": 20000, "tol_grad": 1e-10})

    values, vectors = np.linalg.eigh(A)
    exact = vectors[:, -1]
    x = np.asarray(x)
    if x @ exact < 0:  # an eigenvector's sign is arbitrary
        exact = -exact
    print(f"converged = {converged}, ‖x‖ = {np.linalg.norm(x):.15f}")
    print(f"Rayleigh quotient {-fx:.12f}   largest eigenvalue {values[-1]:.12f}")
    print(f"{'i':>3}{'gd on the sphere':>20}{'numpy.linalg.eigh':>20}")
    for i, (a, b) in enumerate(zip(x, exact)):
        print(f"{i:3d}{a:20.12f}{b:20.12f}")
    print(f"max |difference| = {np.max(np.abs(x - exact)):.3e}")
    assert converged and np.max(np.abs(x - exact)) < 1e-8


if __name__ == "__main__":
    main()
