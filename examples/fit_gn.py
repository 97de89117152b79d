"""Fit an exponential decay with marlune.gn.

    y(t) = A · exp(-k · t) + c

Data are generated here from known parameters plus Gaussian noise (fixed
seed, so every run prints the same numbers). The fit starts from A = 1,
k = 1, c = 0; the solver prints one trace line per event on standard output.
Run with --plot (matplotlib needed) to save fit_gn.png.
"""

import math
import random

import marlune
import plotting

TRUE = (5.0, 0.8, 0.5)  # A, k, c


def make_data(n: int = 40, noise: float = 0.05, seed: int = 7) -> tuple[list[float], list[float]]:
    rng = random.Random(seed)
    t = [4.0 * i / (n - 1) for i in range(n)]
    y = [TRUE[0] * math.exp(-TRUE[1] * ti) + TRUE[2] + rng.gauss(0.0, noise) for ti in t]
    return t, y


def model(p: list[float], t: float) -> float:
    return p[0] * math.exp(-p[1] * t) + p[2]


def main() -> None:
    t, y = make_data()

    def residual(p: list[float]) -> list[float]:
        return [model(p, ti) - yi for ti, yi in zip(t, y)]

    def jacobian(p: list[float]) -> list[float]:  # m by n, row-major: d r_i / d (A, k, c)
        a, k, _ = p
        rows: list[float] = []
        for ti in t:
            e = math.exp(-k * ti)
            rows += [e, -a * ti * e, 1.0]
        return rows

    # 40 residuals and 3 parameters: the n by n normal equations are the cheap form.
    x, cost, iters, r_norm, dx_norm, converged, history = marlune.gn(
        residual, [1.0, 1.0, 0.0], jacobian=jacobian,
        options={"linear_system": "normal_jtj", "tol_r": 0.0, "tol_dx": 1e-10},
        debug={"verbose": True, "history": True},
    )
    print()
    print(f"converged = {converged} after {iters} iterations, cost = {cost:.6g}, |r| = {r_norm:.6g}")
    print(f"{'':8}{'fitted':>12}{'true':>10}")
    for name, fitted, true in zip(("A", "k", "c"), x, TRUE):
        print(f"{name:8}{fitted:12.5f}{true:10.5f}")
    assert converged and all(abs(f - tr) < 0.1 for f, tr in zip(x, TRUE))

    fine = [4.0 * i / 200 for i in range(201)]
    plotting.save(__file__, "gn: A·exp(-k·t) + c, 40 noisy points",
                  data=("data", t, y, "o"), curves=[("gn fit", fine, [model(x, ti) for ti in fine], "-")],
                  traces=[("gn (normal_jtj)", history)])


if __name__ == "__main__":
    main()
