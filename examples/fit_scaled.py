"""A badly scaled fit: Michaelis-Menten kinetics in SI units, with and without scaling.

    v(s) = Vmax · s / (Km + s)

Substrate concentrations are in mol/L (2e-8 to 5e-6) and rates in counts per
second (about 3e4), so Vmax and Km differ by eleven orders of magnitude. The
default damping λ·I is in absolute units: it swamps Km's tiny column of the
Jacobian, Km never moves and lm even reports convergence at the start.
scaling="marquardt" damps each parameter relative to its own scale, and the
relative stopping tests replace the absolute tolerances of 1e-6, which mean
nothing at these magnitudes.
Run with --plot (matplotlib needed) to save fit_scaled.png.
"""

from __future__ import annotations

import random
from typing import TYPE_CHECKING

import marlune
import plotting

if TYPE_CHECKING:
    from marlune import GnOptions, LmOptions

TRUE = (3.0e4, 4.0e-7)  # Vmax in counts/s, Km in mol/L
S = [2e-8, 4e-8, 1e-7, 2e-7, 5e-7, 1e-6, 2e-6, 5e-6]
HARD: LmOptions = {"scaling": "marquardt", "tol_r": 0.0, "tol_dx": 0.0, "tol_cost": 1e-15, "tol_dx_rel": 1e-12,
                   "max_iters": 1000}
GN_HARD: GnOptions = {"scaling": "marquardt", "tol_r": 0.0, "tol_dx": 0.0, "tol_cost": 1e-15, "tol_dx_rel": 1e-12,
                      "max_iters": 1000, "linear_system": "normal_jtj"}


def rate(p: list[float], s: float) -> float:
    return p[0] * s / (p[1] + s)


def main() -> None:
    rng = random.Random(7)
    v = [rate(list(TRUE), s) * (1.0 + rng.gauss(0.0, 0.01)) for s in S]

    def residual(p: list[float]) -> list[float]:
        return [rate(p, s) - vi for s, vi in zip(S, v)]

    def jacobian(p: list[float]) -> list[float]:
        vmax, km = p
        out: list[float] = []
        for s in S:
            out += [s / (km + s), -vmax * s / (km + s) ** 2]
        return out

    x0 = [1.0e4, 1.0e-6]
    plain = marlune.lm(residual, x0, jacobian=jacobian)
    print(f"lm, defaults:    Vmax = {plain[0][0]:.6g}, Km = {plain[0][1]:.6g} after {plain[2]} iterations, "
          f"cost {plain[1]:.6g}")
    x, cost, iters, r_norm, dx_norm, converged, history = marlune.lm(
        residual, x0, jacobian=jacobian, options=HARD, debug={"history": True})
    print(f"lm, scaled:      Vmax = {x[0]:.6g}, Km = {x[1]:.6g} after {iters} iterations, cost {cost:.6g}, "
          f"converged = {converged}")
    gn_x, gn_cost, gn_iters, *_, gn_converged = marlune.gn(
        residual, x0, jacobian=jacobian, options=GN_HARD)
    print(f"gn, scaled:      Vmax = {gn_x[0]:.6g}, Km = {gn_x[1]:.6g} after {gn_iters} iterations, "
          f"cost {gn_cost:.6g}, converged = {gn_converged}")
    assert converged and gn_converged and abs(x[1] - TRUE[1]) < 0.05 * TRUE[1]
    assert abs(plain[0][1] - TRUE[1]) > 0.5 * TRUE[1]

    fine = [5e-6 * i / 200 for i in range(201)]
    plotting.save(__file__, "lm on a badly scaled fit: Michaelis-Menten in mol/L",
                  data=("measured rate", S, v, "o"),
                  curves=[("defaults", fine, [rate(plain[0], s) for s in fine], "--"),
                          ("scaling='marquardt'", fine, [rate(x, s) for s in fine], "-")],
                  traces=[("lm scaled", history)])


if __name__ == "__main__":
    main()
