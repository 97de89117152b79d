"""Optional pictures for the examples (needs matplotlib: pip install "marlune[plot]").

An example draws when it is run with --plot or with MARLUNE_PLOT=1 in the
environment; the PNG is saved next to the script. Without matplotlib it
prints one line saying so and carries on: the examples never need it.
"""

from __future__ import annotations

import importlib
import os
import pathlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from marlune import HistoryRecord

# (label, x values, y values, matplotlib format string)
Series = tuple[str, Sequence[float], Sequence[float], str]


def requested() -> bool:
    return "--plot" in sys.argv[1:] or os.environ.get("MARLUNE_PLOT", "") not in ("", "0")


def cost_per_iteration(history: list[HistoryRecord]) -> tuple[list[int], list[float]]:
    """The cost (or objective) at the start and after every step taken.

    Least-squares records carry the cost after their iteration's step;
    gradient-descent records carry f at the iterate the iteration started from.
    """
    its: list[int] = []
    costs: list[float] = []
    for r in history:
        if r["solver"] == "gd" and r["note"] is None and r["f"] is not None:
            its.append(r["iter"])
            costs.append(r["f"])
        elif r["note"] == "initial" and r["cost"] is not None:
            its.append(0)
            costs.append(r["cost"])
        elif r["note"] == "accepted" and r["cost"] is not None:
            its.append(r["iter"] + 1)
            costs.append(r["cost"])
    return its, costs


def save(script: str, title: str, *, data: Series | None = None, curves: Sequence[Series] = (),
         traces: Sequence[tuple[str, list[HistoryRecord]]] = (), cost_label: str = "cost ½‖r‖²",
         offset: float = 0.0) -> None:
    """Saves <script>.png: the data with the fitted curves (when given) and
    the cost per iteration of each trace, plus offset, on a log scale."""
    if not requested():
        return
    try:
        matplotlib: Any = importlib.import_module("matplotlib")
    except ImportError:
        print("plot skipped: matplotlib is not installed (pip install \"marlune[plot]\")")
        return
    matplotlib.use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")
    panels = (1 if data is not None else 0) + 1
    fig, axes = plt.subplots(1, panels, figsize=(5.2 * panels, 3.8), squeeze=False)
    ax = axes[0][0]
    if data is not None:
        label, xs, ys, fmt = data
        ax.plot(xs, ys, fmt, label=label)
        for label, xs, ys, fmt in curves:
            ax.plot(xs, ys, fmt, label=label)
        ax.set_title("data and fit")
        ax.legend()
        ax = axes[0][1]
    for label, history in traces:
        # A log scale cannot show zero: points at or below it are left out.
        points = [(i, c + offset) for i, c in zip(*cost_per_iteration(history)) if c + offset > 0.0]
        ax.semilogy([i for i, _ in points], [c for _, c in points], "o-", ms=3, label=label)
    ax.set_title("cost per iteration")
    ax.set_xlabel("iteration")
    ax.set_ylabel(cost_label)
    ax.grid(True, which="both", alpha=0.3)
    if len(traces) > 1:
        ax.legend()
    fig.suptitle(title)
    fig.tight_layout()
    path = pathlib.Path(script).with_suffix(".png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot saved: {path}")
