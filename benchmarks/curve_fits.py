"""gn and lm on classic small curve fits, against scipy.optimize.least_squares.

Fifteen problems, 6 to 250 residuals and 2 to 9 parameters: the classic test
fits whose data are short enough to type in (BoxBOD, Bard, Gaussian, Meyer,
Kowalik-Osborne, Osborne 1, Jennrich-Sampson), the zero-residual ones defined
by a formula (Box 3D, Biggs EXP6, a three-exponential Lanczos-type set), and
model fits on data generated here from a fixed seed (saturating exponential,
Michaelis-Menten, two exponentials, a four-parameter logistic, three Gaussian
peaks on 250 points).

Every solver gets the same residual and Jacobian callables (NumPy-vectorised,
as a scipy user would write them; marlune accepts the arrays as they are) and
the same start. Then both marlune solvers run again with jacobian="2-point" and
"3-point" (the differences computed inside marlune) and the settings for hard
fits (scaling, the relative stopping tests), next to scipy trf with the same
jac strings. marlune.gn runs with linear_system="normal_jtj" (the form for
fits with many residuals and few parameters), marlune.lm with its defaults;
scipy runs with its defaults ("trf") and with method="lm". Each library keeps
its own stopping rules, so the iteration counts and final costs are printed
next to the times: a fast run to a worse cost is not a win.

Prints, per problem and solver: milliseconds per fit (best of repeats),
iterations (Jacobian evaluations for scipy), residual evaluations and final
cost ½‖r‖², and the time ratio against scipy's default (given the same kind of
Jacobian); then the geometric mean of the ratios over the problems where both
reached the same cost to 6 digits, and the problems where they did not.

Run: python benchmarks/curve_fits.py      (needs numpy and scipy)
"""

import math
import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ[var] = "1"  # tiny problems: threads only add noise

import platform  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import least_squares  # noqa: E402

import marlune  # noqa: E402

np.seterr(all="ignore")  # some starts overflow exp on the way; the solvers handle the non-finite values


class Problem:
    """y ≈ model(p, t); residual r = model - y, Jacobian columns from jac."""

    def __init__(self, name, t, y, model, jac, x0):
        self.name, self.x0 = name, list(map(float, x0))
        self.t, self.y = np.asarray(t, float), np.asarray(y, float)
        t_, y_ = self.t, self.y
        self.residual = lambda p: model(p, t_) - y_
        self.jacobian = lambda p: np.column_stack(jac(p, t_))
        self.m, self.n = len(self.t), len(self.x0)


def saturating(p, t):
    return p[0] * (1.0 - np.exp(-p[1] * t))


def saturating_jac(p, t):
    e = np.exp(-p[1] * t)
    return 1.0 - e, p[0] * t * e


def exponentials(p, t):
    return sum(p[k] * np.exp(-p[k + 1] * t) for k in range(0, len(p), 2))


def exponentials_jac(p, t):
    cols = []
    for k in range(0, len(p), 2):
        e = np.exp(-p[k + 1] * t)
        cols += [e, -p[k] * t * e]
    return cols


def gaussians(p, t):
    return sum(p[k] * np.exp(-0.5 * ((t - p[k + 1]) / p[k + 2]) ** 2) for k in range(0, len(p), 3))


def gaussians_jac(p, t):
    cols = []
    for k in range(0, len(p), 3):
        a, c, w = p[k], p[k + 1], p[k + 2]
        g = np.exp(-0.5 * ((t - c) / w) ** 2)
        cols += [g, a * g * (t - c) / w**2, a * g * (t - c) ** 2 / w**3]
    return cols


def problems():
    rng = np.random.default_rng(20261207)
    noisy = lambda clean, sd: clean + rng.normal(0.0, sd, clean.shape)  # noqa: E731
    out = []

    out.append(Problem("BoxBOD", [1, 2, 3, 5, 7, 10], [109, 149, 149, 191, 213, 224],
                       saturating, saturating_jac, [100, 0.75]))

    s = np.array([0.02, 0.02, 0.06, 0.06, 0.11, 0.11, 0.22, 0.22, 0.56, 0.56, 1.10, 1.10])
    out.append(Problem("Michaelis-Menten", s, noisy(0.21 * s / (0.064 + s), 0.004),
                       lambda p, s: p[0] * s / (p[1] + s),
                       lambda p, s: (s / (p[1] + s), -p[0] * s / (p[1] + s) ** 2), [0.1, 0.1]))

    i = np.arange(1.0, 11.0)
    out.append(Problem("Jennrich-Sampson", i, 2.0 + 2.0 * i,
                       lambda p, i: np.exp(i * p[0]) + np.exp(i * p[1]),
                       lambda p, i: (i * np.exp(i * p[0]), i * np.exp(i * p[1])), [0.3, 0.4]))

    t = np.linspace(77.6, 790.0, 14)
    out.append(Problem("saturating exponential", t, noisy(240.0 * (1.0 - np.exp(-5.5e-4 * t)), 0.1),
                       saturating, saturating_jac, [500, 1e-4]))

    u = np.arange(1.0, 16.0)
    v, w = 16.0 - u, np.minimum(u, 16.0 - u)
    bard_y = [0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39]
    out.append(Problem("Bard", u, bard_y,
                       lambda p, u: p[0] + u / (v * p[1] + w * p[2]),
                       lambda p, u: (np.ones_like(u), -u * v / (v * p[1] + w * p[2]) ** 2,
                                     -u * w / (v * p[1] + w * p[2]) ** 2), [1, 1, 1]))

    t = (8.0 - np.arange(1.0, 16.0)) / 2.0
    gauss_y = [0.0009, 0.0044, 0.0175, 0.0540, 0.1295, 0.2420, 0.3521, 0.3989,
               0.3521, 0.2420, 0.1295, 0.0540, 0.0175, 0.0044, 0.0009]

    def gauss_jac(p, t):
        e = np.exp(-0.5 * p[1] * (t - p[2]) ** 2)
        return e, -0.5 * p[0] * e * (t - p[2]) ** 2, p[0] * e * p[1] * (t - p[2])

    out.append(Problem("Gaussian", t, gauss_y, lambda p, t: p[0] * np.exp(-0.5 * p[1] * (t - p[2]) ** 2),
                       gauss_jac, [0.4, 1, 0]))

    t = 0.1 * np.arange(1.0, 11.0)
    out.append(Problem("Box 3D", t, np.zeros(10),
                       lambda p, t: np.exp(-t * p[0]) - np.exp(-t * p[1]) - p[2] * (np.exp(-t) - np.exp(-10 * t)),
                       lambda p, t: (-t * np.exp(-t * p[0]), t * np.exp(-t * p[1]), -(np.exp(-t) - np.exp(-10 * t))),
                       [0, 10, 20]))

    t = 45.0 + 5.0 * np.arange(1.0, 17.0)
    meyer_y = [34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
               8261, 7030, 6005, 5147, 4427, 3820, 3307, 2872]

    def meyer_jac(p, t):
        e = np.exp(p[1] / (t + p[2]))
        return e, p[0] * e / (t + p[2]), -p[0] * e * p[1] / (t + p[2]) ** 2

    out.append(Problem("Meyer", t, meyer_y, lambda p, t: p[0] * np.exp(p[1] / (t + p[2])), meyer_jac,
                       [0.02, 4000, 250]))

    u = np.array([4, 2, 1, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625])
    ko_y = [0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235, 0.0246]

    def ko_jac(p, u):
        num, den = u * u + p[1] * u, u * u + p[2] * u + p[3]
        return num / den, p[0] * u / den, -p[0] * num * u / den**2, -p[0] * num / den**2

    out.append(Problem("Kowalik-Osborne", u, ko_y,
                       lambda p, u: p[0] * (u * u + p[1] * u) / (u * u + p[2] * u + p[3]), ko_jac,
                       [0.25, 0.39, 0.415, 0.39]))

    t = np.linspace(0.0, 8.0, 50)
    out.append(Problem("two exponentials", t, noisy(3.0 * np.exp(-0.5 * t) + 1.0 * np.exp(-3.0 * t), 0.01),
                       exponentials, exponentials_jac, [2, 0.2, 2, 2]))

    x = np.arange(1.0, 16.0)
    true = (700.0, 5.3, 0.76, 1.3)

    def logistic(p, x):
        return p[0] / (1.0 + np.exp(p[1] - p[2] * x)) ** (1.0 / p[3])

    def logistic_jac(p, x):
        e = np.exp(p[1] - p[2] * x)
        b = 1.0 + e
        f = b ** (-1.0 / p[3])
        df_db = p[0] * (-1.0 / p[3]) * b ** (-1.0 / p[3] - 1.0)
        return f, df_db * e, -df_db * e * x, p[0] * f * np.log(b) / p[3] ** 2

    out.append(Problem("logistic (4 parameters)", x, noisy(logistic(true, x), 2.0), logistic, logistic_jac,
                       [600, 4, 0.5, 1]))

    t = 10.0 * np.arange(0.0, 33.0)
    osb_y = [0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.850, 0.818, 0.784, 0.751,
             0.718, 0.685, 0.658, 0.628, 0.603, 0.580, 0.558, 0.538, 0.522, 0.506, 0.490,
             0.478, 0.467, 0.457, 0.448, 0.438, 0.431, 0.424, 0.420, 0.414, 0.411, 0.406]

    def osb_jac(p, t):
        e4, e5 = np.exp(-t * p[3]), np.exp(-t * p[4])
        return np.ones_like(t), e4, e5, -t * p[1] * e4, -t * p[2] * e5

    out.append(Problem("Osborne 1", t, osb_y,
                       lambda p, t: p[0] + p[1] * np.exp(-t * p[3]) + p[2] * np.exp(-t * p[4]), osb_jac,
                       [0.5, 1.5, -1, 0.01, 0.02]))

    t = 0.1 * np.arange(1.0, 14.0)

    def biggs(p, t):
        return p[2] * np.exp(-t * p[0]) - p[3] * np.exp(-t * p[1]) + p[5] * np.exp(-t * p[4])

    def biggs_jac(p, t):
        e1, e2, e5 = np.exp(-t * p[0]), np.exp(-t * p[1]), np.exp(-t * p[4])
        return -t * p[2] * e1, t * p[3] * e2, e1, -e2, -t * p[5] * e5, e5

    out.append(Problem("Biggs EXP6", t, np.exp(-t) - 5 * np.exp(-10 * t) + 3 * np.exp(-4 * t), biggs, biggs_jac,
                       [1, 2, 1, 1, 1, 1]))

    t = 0.05 * np.arange(0.0, 24.0)
    clean = exponentials((0.0951, 1.0, 0.8607, 3.0, 1.5576, 5.0), t)
    digits = np.array([float(f"{v:.5g}") for v in clean])  # typed-in data carry five digits
    out.append(Problem("Lanczos (three exponentials)", t, digits, exponentials, exponentials_jac,
                       [1.2, 0.3, 5.6, 5.5, 6.5, 7.6]))

    t = np.linspace(0.0, 10.0, 250)
    peaks = (1.0, 3.0, 0.6, 0.7, 5.5, 0.8, 0.4, 8.0, 0.5)
    out.append(Problem("three Gaussian peaks", t, noisy(gaussians(peaks, t), 0.01), gaussians, gaussians_jac,
                       [0.8, 2.8, 0.8, 0.8, 5.8, 0.6, 0.5, 7.7, 0.7]))
    return out


def counted(fn):
    calls = [0]

    def wrapper(p):
        calls[0] += 1
        return fn(p)

    return wrapper, calls


def time_fit(run, budget=0.25, at_least=3):
    """Best wall time of one fit, repeating until the budget is spent."""
    best, spent, n = math.inf, 0.0, 0
    while n < at_least or spent < budget:
        t0 = time.perf_counter()
        run()
        dt = time.perf_counter() - t0
        best, spent, n = min(best, dt), spent + dt, n + 1
    return best


def solvers(pb):
    """(name, run(residual, jacobian), jacobian kind, the scipy row it is compared with)."""
    gn_opts = {"linear_system": "normal_jtj", "max_iters": 500}
    lm_opts = {"max_iters": 500}
    # The finite-difference rows use the settings for hard fits (README, "Hard
    # fits"), so that they stop where scipy's tolerances stop it.
    hard = {"linear_system": "normal_jtj", "scaling": "marquardt", "tol_r": 0.0, "tol_dx": 0.0, "tol_cost": 1e-15,
            "tol_dx_rel": 1e-12, "max_iters": 5000}
    gn_hard = dict(hard, **{"lambda": 1e-10})

    def ours(fn, opts):
        def run(res, jac):
            x, cost, its, *_ = fn(res, pb.x0, jacobian=jac, options=opts)
            return cost, its
        return run

    def theirs(method):
        def run(res, jac):
            r = least_squares(res, pb.x0, jac=jac, method=method)
            return r.cost, r.njev
        return run

    out = [("marlune.gn", ours(marlune.gn, gn_opts), "analytic", "scipy trf"),
           ("marlune.lm", ours(marlune.lm, lm_opts), "analytic", "scipy trf"),
           ("scipy trf", theirs("trf"), "analytic", None), ("scipy lm", theirs("lm"), "analytic", None)]
    for kind in ("2-point", "3-point"):
        out += [(f"gn {kind}", ours(marlune.gn, gn_hard), kind, f"trf {kind}"),
                (f"lm {kind}", ours(marlune.lm, hard), kind, f"trf {kind}"),
                (f"trf {kind}", theirs("trf"), kind, None)]
    return out


def main():
    print(f"{platform.processor() or platform.machine()}, CPython {sys.version.split()[0]}, "
          f"NumPy {np.__version__}, SciPy {scipy.__version__}")
    print("Rows with a finite-difference Jacobian (2-point, 3-point) are compared with scipy trf given the same")
    print("jac string; the others with scipy trf given the analytic Jacobian.")
    print(f"{'problem':30}{'m':>4}{'n':>3}  {'solver':12}{'ms/fit':>9}{'iters':>7}{'r evals':>9}"
          f"{'cost':>24}{'vs scipy':>9}")
    ratios, mismatches = {}, {}
    for pb in problems():
        rows = {}
        for name, run, kind, ref in solvers(pb):
            res, r_calls = counted(pb.residual)
            jac = pb.jacobian if kind == "analytic" else kind
            cost, its = run(res, jac)
            seconds = time_fit(lambda: run(pb.residual, jac))
            rows[name] = (seconds, its, r_calls[0], cost, ref)
        for k, (name, (seconds, its, r_calls, cost, ref)) in enumerate(rows.items()):
            label = f"{pb.name:30}{pb.m:4d}{pb.n:3d}" if k == 0 else " " * 37
            ref_seconds, ref_cost = rows[ref or "scipy trf"][0], rows[ref or "scipy trf"][3]
            ratio = seconds / ref_seconds
            print(f"{label}  {name:12}{seconds * 1e3:9.3f}{its:7d}{r_calls:9d}{cost:24.16g}{ratio:9.2f}")
            if ref is None:
                continue
            if math.isclose(cost, ref_cost, rel_tol=1e-6, abs_tol=1e-12):
                ratios.setdefault(name, []).append(ratio)
            else:
                mismatches.setdefault(name, []).append(pb.name)
    print()
    for name, rs in ratios.items():
        gmean = math.exp(sum(map(math.log, rs)) / len(rs))
        missed = mismatches.get(name, [])
        print(f"{name}: geometric mean time vs scipy {gmean:.2f} over the {len(rs)} problems where it reached "
              f"scipy's cost to 6 digits" + (f"; a different cost on: {', '.join(missed)}" if missed else ""))


if __name__ == "__main__":
    main()
