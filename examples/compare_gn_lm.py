"""gn and lm on the same data: a Gaussian peak on a sloping baseline.

    y(t) = a · exp(-(t - mu)² / (2 w²)) + b + c · t

Sixty noisy samples (fixed seed) are fitted by both least-squares solvers
from the same poor start: the peak guessed too wide and off-centre. Both
reach the same minimum here; the printout shows what each paid for it in
iterations and residual evaluations. Run with --plot (matplotlib needed) to
save compare_gn_lm.png.
"""

from __future__ import annotations

import math
import random
from typing import TYPE_CHECKING

import marlune
import plotting

if TYPE_CHECKING:
    from marlune import GnOptions, LmOptions

TRUE = [3.0, 4.2, 0.6, 0.5, 0.1]  # a, mu, w, b, c
NAMES = ("a", "mu", "w", "b", "c")
START = [2.0, 3.5, 1.5, 0.0, 0.0]


def model(p: list[float], t: float) -> float:
    a, mu, w, b, c = p
    return a * math.exp(-((t - mu) ** 2) / (2.0 * w * w)) + b + c * t


def main() -> None:
    rng = random.Random(42)
    t = [10.0 * i / 59 for i in range(60)]
    y = [model(TRUE, ti) + rng.gauss(0.0, 0.08) for ti in t]
    calls = {"n": 0}

    def residual(p: list[float]) -> list[float]:
        calls["n"] += 1
        return [model(p, ti) - yi for ti, yi in zip(t, y)]

    def jacobian(p: list[float]) -> list[float]:
        a, mu, w, _, _ = p
        out: list[float] = []
        for ti in t:
            u = (ti - mu) / w
            e = math.exp(-0.5 * u * u)
            out += [e, a * e * u / w, a * e * u * u / w, 1.0, ti]
        return out

    # The same stopping rule for both; gn solves the 5 by 5 normal equations.
    lm_options: LmOptions = {"tol_r": 0.0, "tol_dx": 1e-10, "max_iters": 200}
    gn_options: GnOptions = {"tol_r": 0.0, "tol_dx": 1e-10, "max_iters": 200, "linear_system": "normal_jtj"}
    x_gn, cost_gn, it_gn, _, _, ok_gn, hist_gn = marlune.gn(
        residual, START, jacobian=jacobian, options=gn_options, debug={"history": True})
    calls_gn, calls["n"] = calls["n"], 0
    x_lm, cost_lm, it_lm, _, _, ok_lm, hist_lm = marlune.lm(
        residual, START, jacobian=jacobian, options=lm_options, debug={"history": True})
    calls_lm = calls["n"]

    print(f"{'':10}{'gn':>14}{'lm':>14}{'true':>10}")
    for i, name in enumerate(NAMES):
        print(f"{name:10}{x_gn[i]:14.6f}{x_lm[i]:14.6f}{TRUE[i]:10.3f}")
    print(f"{'cost':10}{cost_gn:14.6e}{cost_lm:14.6e}")
    print(f"{'iters':10}{it_gn:14d}{it_lm:14d}")
    print(f"{'residuals':10}{calls_gn:14d}{calls_lm:14d}")
    print(f"{'converged':10}{ok_gn!s:>14}{ok_lm!s:>14}")
    assert ok_gn and ok_lm and abs(cost_gn - cost_lm) <= 1e-9 * cost_lm
    assert all(abs(u - v) < 0.1 for u, v in zip(x_lm, TRUE))

    fine = [10.0 * i / 300 for i in range(301)]
    plotting.save(__file__, "gn and lm on a Gaussian peak with a sloping baseline",
                  data=("data", t, y, "o"),
                  curves=[("gn fit", fine, [model(x_gn, ti) for ti in fine], "-"),
                          ("lm fit", fine, [model(x_lm, ti) for ti in fine], "--")],
                  traces=[("gn (normal_jtj)", hist_gn), ("lm", hist_lm)])


if __name__ == "__main__":
    main()
