"""The storage benchmark's plot: one row of panels per measurement, one column per database."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

from storage_base import Report

PANELS = {
    "load": ("Load of N objects", "µs per row (lower is better)", "lines"),
    "memory": ("Peak memory of loading every object", "MiB", "bars"),
    "page": ("100-row page at offset 1,000", "ms per page", "bars"),
    "deep": ("100-row page by offset", "ms per page", "lines"),
    "latest": ("Latest reads: long history / one version", "ratio", "bars"),
    "get": ("One-row get() by an indexed field", "µs per get", "bars"),
    "save": ("Bulk save of N new objects", "µs per object", "lines"),
    "single": ("Single save of a new object", "µs per save", "bars"),
}


# One colour per contender across the panels: the store warm, bare access grey, the other mappers cool.
COLOURS = {"SQLAlchemy ORM": "#4c72b0", "Django ORM": "#55a868", "Peewee": "#8172b2"}


def colour(label: str) -> str:
    if label.startswith(("QuerySet", "Model.")):
        return "#dd8452" if "aexecute" in label else "#c44e52"
    if label.startswith("bare"):
        return "#7f7f7f"
    return COLOURS.get(label, "#64b5cd")


def wide(values: list[float]) -> bool:
    """True when values spread over more than a factor 30: then the axis is logarithmic."""
    positive = [v for v in values if v > 0]
    return bool(positive) and max(positive) > 30 * min(positive)


def number(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"


def plot(report: Report, path: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    panels = [name for name in PANELS if name in report.plots]
    if not panels:
        return
    backends = sorted({b for name in panels for b in report.plots[name]}, key=lambda b: b != "SQLite")
    fig, axes = plt.subplots(len(panels), len(backends), figsize=(7.5 * len(backends), 3.6 * len(panels)),
                             squeeze=False)
    for row, name in enumerate(panels):
        title, unit, kind = PANELS[name]
        for col, backend in enumerate(backends):
            ax = axes[row][col]
            series: dict[str, Any] = report.plots[name].get(backend, {})
            ax.set_title(f"{title} ({backend})", fontsize=10)
            if not series:
                ax.set_axis_off()
                ax.text(0.5, 0.5, "not measured in this run", ha="center", va="center", transform=ax.transAxes)
                continue
            if kind == "lines":
                for label, points in series.items():
                    xs, ys = zip(*sorted(points))
                    ours = label.startswith(("QuerySet", "Model."))
                    ax.plot(xs, ys, marker="o", linewidth=2.2 if ours else 1.2, color=colour(label), label=label)
                ax.set_xscale("log")
                if wide([y for points in series.values() for _, y in points]):
                    ax.set_yscale("log")
                ax.set_ylabel(unit)
                ax.legend(fontsize=7)
                ax.grid(True, alpha=0.3)
            else:
                labels = list(series)
                values = [series[label] for label in labels]
                colours = ["#c44e52" if name == "latest" else colour(label) for label in labels]
                ax.barh(labels[::-1], values[::-1], color=colours[::-1])
                for y, value in enumerate(values[::-1]):
                    ax.text(value, y, f" {number(value)}", va="center", fontsize=7)
                if name == "latest":
                    ax.axvline(1.2, color="#7f7f7f", linestyle="--", linewidth=1)
                if wide(values):
                    ax.set_xscale("log")
                    unit += ", log scale"
                ax.set_xlabel(unit)
                ax.tick_params(axis="y", labelsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    print(f"plot: {path}")
