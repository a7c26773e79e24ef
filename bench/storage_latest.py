"""Reads of the latest objects with a long history against the same reads with none.

Two stores hold the same ``--objects`` objects (default 10,000; ``level`` indexed and
unique, ``count`` unique and not indexed): one saved once each, the other saved
``--versions`` times each (default 100, ``value`` changing from version to version).
Each read runs against both, interleaved: ``count()``, ``get(level=...)``,
``get(count=...)`` (the keys cycling through the objects) and the load of every
latest object. The ratio is the long history's time over the short one's.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable
from typing import Any

from storage_base import Backend, Case, Context, Dataset, Reading, calibrate, measure, reading
from kestrum_models.storage import configure_databases


def keys(objects: int, field: str) -> Callable[[], Any]:
    step = max(1, objects // 97)
    return itertools.cycle([reading(i, objects)[field] for i in range(0, objects, step)]).__next__


def reads(objects: int) -> dict[str, Callable[[], Any]]:
    level, count = keys(objects, "level"), keys(objects, "count")
    return {
        "count()": lambda: Reading.objects.count().execute(),
        "get() by an indexed field": lambda: Reading.objects.get(level=level()).execute(),
        "get() by an unindexed field": lambda: Reading.objects.get(count=count()).execute(),
        "load of all latest": lambda: Reading.objects.execute(),
    }


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        latest(ctx, backend)


def latest(ctx: Context, backend: Backend) -> None:
    objects, versions = ctx.args.objects, ctx.args.versions
    short = backend.store(Dataset(objects, objects, 1))
    long = backend.store(Dataset(objects, objects, versions))
    lines = []
    for name, read in reads(objects).items():
        # Calls per round: enough for the short history, bounded for the long one.
        configure_databases(short)
        read()
        calls = calibrate(read, backend.clock, ctx.args.min_time)
        configure_databases(long)
        read()
        start = backend.clock.now()
        read()
        slow = backend.clock.now() - start
        calls = min(calls, max(3, math.ceil(2 * ctx.args.min_time / max(slow, 1e-9))))

        def case(label: str, url: str) -> Case:
            def prepare() -> None:
                configure_databases(url)
                read()  # the store of a new configuration checks its tables on first use

            def run() -> list[Any]:
                return [read() for _ in range(calls)]

            return Case(label, run, prepare)

        figures = measure([case("1 version", short), case(f"{versions} versions", long)], backend.clock,
                          ctx.rounds(), calls)
        one, many = figures["1 version"], figures[f"{versions} versions"]
        lines.append([name, one.time_text(), many.time_text(), many.ratio_text()])
        ctx.report.plot("latest", backend.name, name, many.ratio)
        ctx.report.target(f"latest {backend.name}: {name}, {versions} versions / 1", many.ratios, 1.2)
    ctx.report.table(
        f"Latest reads of {objects:,} objects, {backend.name} "
        f"({ctx.how(backend, ctx.rounds(), 'as many reads on each store')})",
        ["read", "1 version each", f"{versions} versions each", "ratio"],
        lines,
    )
