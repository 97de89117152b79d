"""lm on a tall problem: a million residuals, ten parameters.

The left form solves an m by m system (at m = 10⁶ its matrix alone would be
8 TB, and lm refuses it up front with MemoryError); linear_system="normal_jtj"
solves the n by n one. This script fits a sum of five exponentials
(n = 10) to m = 10⁶ noisy points with the normal form and splits the wall time
of each run into the time spent inside the user's NumPy callbacks (measured
around every call) and the rest: marlune's own work of copying the results in,
assembling Jᵀ·J and solving. It also times the left and normal forms against
each other at a size where both fit (m = 2000), in the same run.

Prints, per run: iterations, residual and Jacobian calls, wall time, callback
time, and marlune's share of the wall time.

Run: ./dev bench large_m      (needs numpy)
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ[var] = "1"  # the callbacks on one core, like marlune

import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import marlune  # noqa: E402

TRUE = np.array([3.0, 0.5, 2.0, 1.5, 1.0, 4.0, 0.5, 9.0, 0.25, 20.0])
START = [2.5, 0.4, 2.5, 1.2, 1.2, 3.0, 0.6, 7.0, 0.3, 15.0]


class Timed:
    """Exponential-sum residual and Jacobian that add up the time they take."""

    def __init__(self, m, seed=20261208):
        self.t = np.linspace(0.0, 6.0, m)
        clean = self.model(TRUE)
        self.y = clean + np.random.default_rng(seed).normal(0.0, 1e-3, m)
        self.seconds, self.calls = 0.0, {"residual": 0, "jacobian": 0}

    def model(self, p):
        return sum(p[k] * np.exp(-p[k + 1] * self.t) for k in range(0, len(p), 2))

    def residual(self, p):
        t0 = time.perf_counter()
        out = self.model(np.asarray(p)) - self.y
        self.seconds += time.perf_counter() - t0
        self.calls["residual"] += 1
        return out

    def jacobian(self, p):
        t0 = time.perf_counter()
        p = np.asarray(p)
        J = np.empty((len(self.t), len(p)))
        for k in range(0, len(p), 2):
            e = np.exp(-p[k + 1] * self.t)
            J[:, k], J[:, k + 1] = e, -p[k] * self.t * e
        self.seconds += time.perf_counter() - t0
        self.calls["jacobian"] += 1
        return J


def run(m, options, label):
    pb = Timed(m)
    t0 = time.perf_counter()
    x, cost, its, *_ = marlune.lm(pb.residual, START, jacobian=pb.jacobian, options=options)
    wall = time.perf_counter() - t0
    own = wall - pb.seconds
    print(f"{label:34}{m:>9}{its:>6}{pb.calls['residual']:>6}{pb.calls['jacobian']:>6}"
          f"{wall * 1e3:>10.1f}{pb.seconds * 1e3:>11.1f}{own / wall:>9.2f}")
    return wall


def main():
    print(f"CPython {sys.version.split()[0]}, NumPy {np.__version__}")
    print(f"{'run':34}{'m':>9}{'iters':>6}{'r':>6}{'J':>6}{'wall ms':>10}{'callbk ms':>11}{'own':>9}")
    normal = {"linear_system": "normal_jtj"}
    run(10**6, dict(normal, max_iters=1), "normal_jtj, one iteration")
    run(10**6, dict(normal, scaling="marquardt", max_iters=5), "normal_jtj + marquardt, five iterations")
    try:
        marlune.lm(lambda p: np.zeros(10**6), START, jacobian=lambda p: np.zeros((10**6, 10)))
    except MemoryError:
        print("left_jjt at m = 10**6: MemoryError before the first Jacobian, as documented")
    left = run(2000, {"max_iters": 10}, "left_jjt, ten iterations")
    norm = run(2000, dict(normal, max_iters=10), "normal_jtj, ten iterations")
    print(f"  left_jjt / normal_jtj wall time at m = 2000: {left / norm:.1f}")


if __name__ == "__main__":
    main()
