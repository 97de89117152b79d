"""Calls every function the way the type stubs describe them.

mypy --strict checks this file against the stubs, and the test suite also
runs it, so the stubs and the module cannot drift apart unnoticed: every
option key, every result shape and every protocol is used here once.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, assert_type

import marlune

if TYPE_CHECKING:
    from marlune import (
        DebugOptions,
        GdOptions,
        GnOptions,
        HistoryRecord,
        LineSearchContext,
        LineSearchDecision,
        LmOptions,
    )


class Plane:
    """Every manifold method, each doing what Euclidean space would."""

    def retract(self, x: list[float], d: list[float], alpha: float) -> list[float]:
        return [xi + alpha * di for xi, di in zip(x, d)]

    def tangent_norm(self, v: list[float]) -> float:
        return math.sqrt(sum(vi * vi for vi in v))

    def scale(self, v: list[float], alpha: float) -> list[float]:
        return [alpha * vi for vi in v]

    def add(self, x: list[float], v: list[float]) -> list[float]:
        return [a + b for a, b in zip(x, v)]

    def difference(self, x: list[float], y: list[float]) -> list[float]:
        return [a - b for a, b in zip(x, y)]


def take_full_step(ctx: LineSearchContext) -> float:
    assert ctx["dphi0"] is None or ctx["dphi0"] <= 0.0
    assert ctx["iter"] >= 0 and ctx["dx_norm"] >= 0.0 and ctx["cost0"] >= 0.0 and ctx["lambda"] >= 0.0
    return ctx["alpha0"]


def decide(ctx: LineSearchContext) -> LineSearchDecision:
    return {"alpha": ctx["alpha0"], "accepted": True}


def pair(ctx: LineSearchContext) -> tuple[bool, float]:
    return (True, ctx["alpha0"])


def f(x: list[float]) -> float:
    return sum((xi - 1.0) ** 2 for xi in x)


def grad(x: list[float]) -> list[float]:
    return [2.0 * (xi - 1.0) for xi in x]


def residual(x: list[float]) -> list[float]:
    return [x[0] - 1.0, 2.0 * (x[1] + 0.5), x[0] * x[1] + 0.5]


def jacobian(x: list[float]) -> list[float]:
    return [1.0, 0.0, 0.0, 2.0, x[1], x[0]]


def jacobian_vec(x: list[float], v: list[float]) -> list[float]:
    return [v[0], 2.0 * v[1], x[1] * v[0] + x[0] * v[1]]


def project(x: list[float]) -> list[float]:
    return x


def check_record(record: HistoryRecord, solver: str) -> None:
    assert record["solver"] == solver and record["iter"] >= 0
    numbers = (record["f"], record["cost"], record["r_norm"], record["grad_norm"], record["dx_norm"],
               record["step_size"], record["alpha"], record["lambda"], record["dphi0"])
    assert all(v is None or isinstance(v, float) for v in numbers)
    assert record["note"] is None or isinstance(record["note"], str)


def main() -> None:
    gd_options: GdOptions = {"step_size": 0.25, "max_iters": 50, "tol_grad": 1e-8, "manifold": Plane(),
                             "line_search": take_full_step}
    x, fx, converged = marlune.gd(f, grad, [0.0, 3.0], options=gd_options)
    assert_type(converged, bool)
    assert converged and fx < 1e-12 and len(x) == 2

    x, fx, converged, history = marlune.gd(f, grad, (0.0, 3.0), debug={"history": True, "verbose": False})
    assert_type(history, "list[HistoryRecord]")
    for record in history:
        check_record(record, "gd")

    gn_options: GnOptions = {
        "lambda": 1e-3, "step_scale": 1.0, "max_iters": 50, "tol_r": 1e-10, "tol_dx": 1e-12,
        "damping_update": "adaptive", "linear_system": "normal_jtj", "line_search_method": "strict_decrease",
        "line_search": True, "ls_beta": 0.5, "ls_min_step": 1e-8, "ls_max_steps": 20, "c_armijo": 1e-4,
        "manifold": None, "scaling": "marquardt", "tol_cost": 1e-15, "tol_dx_rel": 0.0,
    }
    x, cost, iterations, r_norm, dx_norm, converged = marlune.gn(residual, [0.0, 0.0], jacobian=jacobian,
                                                                 project=project, options=gn_options)
    assert_type(iterations, int)
    assert converged and r_norm < 1e-9 and cost < 1e-18
    variant: GnOptions = {"lambda_": 0.01, "line_search": pair, "damping_update": "fixed",
                          "linear_system": "left_jjt", "line_search_method": "none"}
    *_, gn_history = marlune.gn(residual, [0.0, 0.0], jacobian_vec=jacobian_vec, options=variant,
                                debug={"history": True})
    for record in gn_history:
        check_record(record, "gn")

    lm_options: LmOptions = {"lambda": 1e-3, "lambda_up": 10.0, "lambda_down": 0.5, "step_scale": 1.0,
                             "max_iters": 100, "tol_r": 1e-10, "tol_dx": 1e-12, "manifold": Plane(),
                             "line_search": decide, "linear_system": "normal_jtj", "scaling": [1.0, 2.0],
                             "tol_cost": 0.0, "tol_dx_rel": 1e-12}
    x, cost, iterations, r_norm, dx_norm, converged = marlune.lm(residual, [0.0, 0.0], jacobian=jacobian,
                                                                 options=lm_options)
    assert converged and math.isfinite(dx_norm)
    lm_debug: DebugOptions = {"history": False}
    result = marlune.lm(residual, [0.0, 0.0], jacobian=jacobian, options={"lambda_": 0.1}, debug=lm_debug)
    assert len(result) == 6
    *_, lm_history = marlune.lm(residual, [0.0, 0.0], jacobian="3-point", debug={"history": True})
    assert lm_history[0]["note"] == "initial"
    for record in lm_history:
        check_record(record, "lm")

    def runaway(ctx: LineSearchContext) -> LineSearchDecision:
        return {"alpha": math.inf}

    try:
        marlune.gd(f, grad, [0.0], options={"max_iters": 5, "line_search": runaway})
    except ValueError as exc:
        assert "non-finite alpha" in str(exc)
    else:
        raise AssertionError("a non-finite alpha was accepted")
    assert issubclass(marlune.PanicException, BaseException)
    print("api usage ok")


if __name__ == "__main__":
    main()
