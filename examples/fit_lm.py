"""Fit a Michaelis-Menten rate curve with marlune.lm.

    v(s) = Vmax · s / (Km + s)

Rates are generated here at ten substrate concentrations from known
parameters, with 3% multiplicative noise (fixed seed). Levenberg-Marquardt
suits this small problem: its m by m system is only 10 by 10.
Run with --plot (matplotlib needed) to save fit_lm.png.
"""

import random

import marlune
import plotting

TRUE = (2.4, 0.65)  # Vmax, Km
S = [0.05, 0.1, 0.2, 0.35, 0.5, 0.8, 1.2, 2.0, 3.5, 6.0]


def rate(p: list[float], s: float) -> float:
    return p[0] * s / (p[1] + s)


def main() -> None:
    rng = random.Random(2024)
    v = [rate(list(TRUE), s) * (1.0 + rng.gauss(0.0, 0.03)) for s in S]

    def residual(p: list[float]) -> list[float]:
        return [rate(p, s) - vi for s, vi in zip(S, v)]

    def jacobian(p: list[float]) -> list[float]:
        vmax, km = p
        out: list[float] = []
        for s in S:
            out += [s / (km + s), -vmax * s / (km + s) ** 2]
        return out

    x, cost, iters, r_norm, dx_norm, converged, history = marlune.lm(
        residual, [1.0, 1.0], jacobian=jacobian,
        options={"tol_r": 0.0, "tol_dx": 1e-12}, debug={"verbose": True, "history": True},
    )
    print()
    print(f"converged = {converged} after {iters} iterations ({len(history)} trace records), cost = {cost:.6g}")
    print(f"{'':8}{'fitted':>12}{'true':>10}")
    for name, fitted, true in zip(("Vmax", "Km"), x, TRUE):
        print(f"{name:8}{fitted:12.5f}{true:10.5f}")
    assert converged and abs(x[0] - TRUE[0]) < 0.2 and abs(x[1] - TRUE[1]) < 0.1

    fine = [6.0 * i / 200 for i in range(201)]
    plotting.save(__file__, "lm: Michaelis-Menten, 10 rates with 3 % noise",
                  data=("measured rate", S, v, "o"), curves=[("lm fit", fine, [rate(x, s) for s in fine], "-")],
                  traces=[("lm", history)])


if __name__ == "__main__":
    main()
