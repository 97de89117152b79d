"""Demo: minimise a small quadratic with marlune.gd and show its trace.

    f(x) = (x0 - 3)^2 + 2 * (x1 + 1)^2

The minimum is at (3, -1). The verbose trace lines are written by the
solver straight to standard output, one per iteration.
"""

import marlune


def f(x):
    return (x[0] - 3.0) ** 2 + 2.0 * (x[1] + 1.0) ** 2


def grad(x):
    return [2.0 * (x[0] - 3.0), 4.0 * (x[1] + 1.0)]


def main():
    x, fx, converged, history = marlune.gd(
        f,
        grad,
        [0.0, 0.0],
        options={"step_size": 0.2, "max_iters": 100, "tol_grad": 1e-6},
        debug={"verbose": True, "history": True},
    )
    print(f"x = {x}")
    print(f"f(x) = {fx!r}")
    print(f"converged = {converged} after {history[-1]['iter']} iterations")
    assert converged and abs(x[0] - 3.0) < 1e-6 and abs(x[1] + 1.0) < 1e-6


if __name__ == "__main__":
    main()
