"""Demo: minimise a small quadratic with marlune.gd and show its trace.

    f(x) = (x0 - 3)^2 + 2 * (x1 + 1)^2

The minimum is at (3, -1). The verbose trace lines are written by the
solver straight to standard output, one per iteration.
Run with --plot (matplotlib needed) to save demo_gd.png.
"""

import marlune
import plotting


def f(x: list[float]) -> float:
    return (x[0] - 3.0) ** 2 + 2.0 * (x[1] + 1.0) ** 2


def grad(x: list[float]) -> list[float]:
    return [2.0 * (x[0] - 3.0), 4.0 * (x[1] + 1.0)]


def main() -> None:
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

    plotting.save(__file__, "gd on (x0 - 3)² + 2 (x1 + 1)², step 0.2", traces=[("gd", history)],
                  cost_label="f(x)")


if __name__ == "__main__":
    main()
