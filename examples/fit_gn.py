"""Fit an exponential decay with marlune.gn.

    y(t) = A · exp(-k · t) + c

Data are generated here from known parameters plus Gaussian noise (fixed
seed, so every run prints the same numbers). The fit starts from A = 1,
k = 1, c = 0; the solver prints one trace line per event on standard output.
"""

import math
import random

import marlune

TRUE = (5.0, 0.8, 0.5)  # A, k, c


def make_data(n=40, noise=0.05, seed=7):
    rng = random.Random(seed)
    t = [4.0 * i / (n - 1) for i in range(n)]
    y = [TRUE[0] * math.exp(-TRUE[1] * ti) + TRUE[2] + rng.gauss(0.0, noise) for ti in t]
    return t, y


def main():
    t, y = make_data()

    def residual(p):
        a, k, c = p
        return [a * math.exp(-k * ti) + c - yi for ti, yi in zip(t, y)]

    def jacobian(p):  # m by n, row-major: d r_i / d (A, k, c)
        a, k, _ = p
        rows = []
        for ti in t:
            e = math.exp(-k * ti)
            rows += [e, -a * ti * e, 1.0]
        return rows

    # 40 residuals and 3 parameters: the n by n normal equations are the cheap form.
    x, cost, iters, r_norm, dx_norm, converged = marlune.gn(
        residual, [1.0, 1.0, 0.0], jacobian=jacobian,
        options={"linear_system": "normal_jtj", "tol_r": 0.0, "tol_dx": 1e-10},
        debug={"verbose": True},
    )
    print()
    print(f"converged = {converged} after {iters} iterations, cost = {cost:.6g}, |r| = {r_norm:.6g}")
    print(f"{'':8}{'fitted':>12}{'true':>10}")
    for name, fitted, true in zip(("A", "k", "c"), x, TRUE):
        print(f"{name:8}{fitted:12.5f}{true:10.5f}")
    assert converged and all(abs(f - tr) < 0.1 for f, tr in zip(x, TRUE))


if __name__ == "__main__":
    main()
