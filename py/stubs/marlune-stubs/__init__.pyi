"""Exact, reproducible iterative nonlinear optimisers: gd, gn and lm.

The TypedDicts and Protocols below exist only for type checkers (they are
marked @type_check_only): import them under ``if TYPE_CHECKING:`` or use
them in annotations from ``from __future__ import annotations`` code.
"""

from collections.abc import Buffer, Callable, Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    Protocol,
    Required,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    overload,
    type_check_only,
)

__all__ = ["gd", "gn", "lm"]

class PanicException(BaseException):
    """An internal failure of marlune (a bug, never a problem with the input)."""

# --- values crossing the boundary ----------------------------------------

# Anything the interpreter's float conversion takes: float, int, bool, a
# NumPy scalar, an object with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex
# A vector handed back by a callable (or x0): a sequence of numbers that is
# not text, or an object with the buffer protocol such as a 1-D NumPy array.
_Vector: TypeAlias = Sequence[_Real] | Buffer

_Objective: TypeAlias = Callable[[list[float]], _Real]
# grad, residual, project, and jacobian (m*n numbers in row-major order, or a
# 2-D float64 array of m*n elements): x -> a vector.
_VectorFn: TypeAlias = Callable[[list[float]], _Vector]
# (x, v) -> J(x) @ v, m numbers.
_JacobianVec: TypeAlias = Callable[[list[float], list[float]], _Vector]
# In place of a jacobian callable: forward or central differences of the
# residual, computed by gn and lm themselves.
_Differences: TypeAlias = Literal["2-point", "3-point"]

# --- the manifold object --------------------------------------------------
# Every method is optional; an object supplies any subset. A present
# attribute must be callable.

@type_check_only
class ManifoldRetract(Protocol):
    def retract(self, x: list[float], d: list[float], alpha: float, /) -> _Vector: ...

@type_check_only
class ManifoldTangentNorm(Protocol):
    def tangent_norm(self, v: list[float], /) -> _Real: ...

@type_check_only
class ManifoldScale(Protocol):
    def scale(self, v: list[float], alpha: float, /) -> _Vector: ...

@type_check_only
class ManifoldAdd(Protocol):
    # Checked for callability, never called.
    def add(self, *args: Any, **kwargs: Any) -> Any: ...

@type_check_only
class ManifoldDifference(Protocol):
    # Checked for callability, never called.
    def difference(self, *args: Any, **kwargs: Any) -> Any: ...

_Manifold: TypeAlias = ManifoldRetract | ManifoldTangentNorm | ManifoldScale | ManifoldAdd | ManifoldDifference

# --- the line-search callable ---------------------------------------------

_HasLambda = TypedDict("_HasLambda", {"lambda": float})

@type_check_only
class LineSearchContext(_HasLambda):
    """The summary of a proposed step; "lambda" is the damping (0.0 for gd)."""

    iter: int
    alpha0: float
    cost0: float
    dphi0: float | None
    dx_norm: float

@type_check_only
class LineSearchDecision(TypedDict, total=False):
    alpha: Required[_Real]
    accepted: bool

@type_check_only
class LineSearch(Protocol):
    """Returns a step length (accepted), (accepted, alpha) or a LineSearchDecision."""

    def __call__(self, context: LineSearchContext, /) -> _Real | tuple[bool, _Real] | LineSearchDecision: ...

# --- options ----------------------------------------------------------------

@type_check_only
class GdOptions(TypedDict, total=False):
    step_size: float
    max_iters: int
    tol_grad: float
    manifold: _Manifold | None
    line_search: LineSearch

_GnLambda = TypedDict("_GnLambda", {"lambda": float}, total=False)

# Parameter scaling of gn and lm: Marquardt's running maximum of the Jacobian
# column norms, or the typical size of each parameter (positive, one each).
_Scaling: TypeAlias = Literal["none", "marquardt"] | Sequence[_Real]

@type_check_only
class GnOptions(_GnLambda, total=False):
    lambda_: float
    step_scale: float
    max_iters: int
    tol_r: float
    tol_dx: float
    damping_update: Literal["adaptive", "fixed"]
    linear_system: Literal["left_jjt", "normal_jtj"]
    line_search_method: Literal["armijo", "strict_decrease", "none"]
    line_search: bool | LineSearch
    ls_beta: float
    ls_min_step: float
    ls_max_steps: int
    c_armijo: float
    manifold: _Manifold | None
    scaling: _Scaling
    tol_cost: float
    tol_dx_rel: float

@type_check_only
class LmOptions(_GnLambda, total=False):
    lambda_: float
    lambda_up: float
    lambda_down: float
    step_scale: float
    max_iters: int
    tol_r: float
    tol_dx: float
    manifold: _Manifold | None
    line_search: LineSearch
    linear_system: Literal["left_jjt", "normal_jtj"]
    scaling: _Scaling
    tol_cost: float
    tol_dx_rel: float

@type_check_only
class DebugOptions(TypedDict, total=False):
    history: bool
    verbose: bool

@type_check_only
class DebugWithHistory(TypedDict, total=False):
    history: Required[Literal[True]]
    verbose: bool

@type_check_only
class DebugWithoutHistory(TypedDict, total=False):
    history: Literal[False]
    verbose: bool

# --- the trace history ------------------------------------------------------

_TraceNote: TypeAlias = Literal[
    "initial",
    "accepted",
    "rejected",
    "accepted_step_invalid",
    "linear_solve_failed",
    "fallback_to_steepest_descent",
    "converged",
    "converged_r",
    "converged_dx",
    "converged_cost",
    "zero_step_scale",
    "max_iters",
    "linear_solve_failed_fixed",
    "rejected_fixed",
    "accepted_step_invalid_fixed",
]

_RecordHead = TypedDict(
    "_RecordHead",
    {
        "solver": Literal["gd", "gn", "lm"],
        "iter": int,
        "f": float | None,
        "cost": float | None,
        "r_norm": float | None,
        "grad_norm": float | None,
        "dx_norm": float | None,
        "step_size": float | None,
        "alpha": float | None,
        "lambda": float | None,
        "dphi0": float | None,
        "note": _TraceNote | None,
    },
)

@type_check_only
class HistoryRecord(_RecordHead):
    """One trace record; every key is present, absent values are None."""

# --- results ----------------------------------------------------------------

_GdResult: TypeAlias = tuple[list[float], float, bool]
_GdResultWithHistory: TypeAlias = tuple[list[float], float, bool, list[HistoryRecord]]
# (x, cost, iterations, r_norm, dx_norm, converged)
_LsqResult: TypeAlias = tuple[list[float], float, int, float, float, bool]
_LsqResultWithHistory: TypeAlias = tuple[list[float], float, int, float, float, bool, list[HistoryRecord]]

# --- the three functions ----------------------------------------------------

@overload
def gd(
    f: _Objective,
    grad: _VectorFn,
    x0: _Vector,
    *,
    options: GdOptions | None = None,
    debug: DebugWithHistory,
) -> _GdResultWithHistory: ...
@overload
def gd(
    f: _Objective,
    grad: _VectorFn,
    x0: _Vector,
    *,
    options: GdOptions | None = None,
    debug: DebugWithoutHistory | None = None,
) -> _GdResult: ...
@overload
def gd(
    f: _Objective,
    grad: _VectorFn,
    x0: _Vector,
    *,
    options: GdOptions | None = None,
    debug: DebugOptions | None = None,
) -> _GdResult | _GdResultWithHistory: ...

# x0 has a default only so that its absence is reported with the function's
# own ValueError ("gn: x0 must be provided"): such a call never returns.
@overload
def gn(
    residual: _VectorFn,
    x0: None = None,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: GnOptions | None = None,
    debug: DebugOptions | None = None,
) -> NoReturn: ...
@overload
def gn(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: GnOptions | None = None,
    debug: DebugWithHistory,
) -> _LsqResultWithHistory: ...
@overload
def gn(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: GnOptions | None = None,
    debug: DebugWithoutHistory | None = None,
) -> _LsqResult: ...
@overload
def gn(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: GnOptions | None = None,
    debug: DebugOptions | None = None,
) -> _LsqResult | _LsqResultWithHistory: ...
# x0 has a default only so that its absence is reported with the function's
# own ValueError ("lm: x0 must be provided"): such a call never returns.
@overload
def lm(
    residual: _VectorFn,
    x0: None = None,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: LmOptions | None = None,
    debug: DebugOptions | None = None,
) -> NoReturn: ...
@overload
def lm(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: LmOptions | None = None,
    debug: DebugWithHistory,
) -> _LsqResultWithHistory: ...
@overload
def lm(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: LmOptions | None = None,
    debug: DebugWithoutHistory | None = None,
) -> _LsqResult: ...
@overload
def lm(
    residual: _VectorFn,
    x0: _Vector,
    *,
    jacobian: _VectorFn | _Differences | None = None,
    jacobian_vec: _JacobianVec | None = None,
    project: _VectorFn | None = None,
    options: LmOptions | None = None,
    debug: DebugOptions | None = None,
) -> _LsqResult | _LsqResultWithHistory: ...
