"""A 100-row page of a large store: ``filter(level__gte=low).order_by("level")[offset:offset + 100]``.

The data set has ``--page-rows`` objects (default 1,000,000) with ``level`` indexed;
99% of them match the filter. The page at offset 1,000 is compared with the same
query on the plain table, ``WHERE level >= ? ORDER BY level, id LIMIT 100 OFFSET ?``
plus one ``PlainReading`` per row, and with the other mappers; then the page at deep
offsets (1,000, a tenth and nine tenths of the rows) through the store and bare, to
show how each grows with the offset. The slope compares the growth from the first to
the deepest offset: store over bare, taken per round.
"""

from __future__ import annotations

import math
import statistics
from typing import Any

from storage_base import Backend, Context, Dataset, Op, Reading, bare_page, compare, fmt_time, ratio_text

BARE = "bare query + BaseModel per row"
SYNC = "QuerySet.execute()"
ASYNC = "QuerySet.aexecute()"


def data_set(rows: int) -> Dataset:
    return Dataset(rows, max(rows // 10, 1))


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        page(ctx, backend)
        deep(ctx, backend)


def offsets(rows: int) -> list[int]:
    return sorted({min(1000, rows // 10), rows // 10, rows * 9 // 10})


def page_of(low: int, offset: int) -> Any:
    return Reading.objects.filter(level__gte=low).order_by("level")[offset : offset + 100]


def setup(ctx: Context, backend: Backend) -> tuple[Dataset, str, int]:
    data = data_set(ctx.args.page_rows)
    backend.store(data)
    return data, backend.plain(data), data.levels // 100


def check(name: str, found: list[Any], bare: list[Any]) -> None:
    assert len(found) == 100 and [r.count for r in found] == [r.count for r in bare], f"{name}: the pages differ"


def page(ctx: Context, backend: Backend) -> None:
    data, table, low = setup(ctx, backend)
    offset = offsets(data.rows)[0]
    conn = backend.connect_plain(autocommit=True)
    ops = [
        Op(BARE, bare_page(backend, conn, table, low, offset)),
        Op(SYNC, lambda: page_of(low, offset).execute()),
        Op(ASYNC, acall=lambda: page_of(low, offset).aexecute()),
    ]
    ops += [Op(peer.name, peer.page(backend.kind, table, low, offset)) for peer in ctx.peers_on(backend)]
    bare = ops[0].once()
    for op in ops:
        check(op.name, op.once(), bare)
    figures = compare(ops, backend.clock, ctx.rounds(), ctx.args.min_time)
    conn.close()
    lines = []
    for name, fig in figures.items():
        lines.append([name, fig.time_text(), fig.ratio_text()])
        ctx.report.plot("page", backend.name, name, fig.time * 1e3)
    ctx.report.table(
        f"100-row page at offset {offset:,} of {data.rows:,} objects, {backend.name} "
        f"({ctx.how(backend, ctx.rounds())})",
        ["run", "per page", f"vs {BARE}"],
        lines,
    )
    for name in (SYNC, ASYNC):
        ctx.report.target(f"page {backend.name}: {name} / bare SQL", figures[name].ratios, 1.15)


def deep(ctx: Context, backend: Backend) -> None:
    data, table, low = setup(ctx, backend)
    conn = backend.connect_plain(autocommit=True)
    lines = []
    times: dict[int, dict[str, list[float]]] = {}
    for offset in offsets(data.rows):
        ops = [
            Op(BARE, bare_page(backend, conn, table, low, offset)),
            Op(SYNC, lambda o=offset: page_of(low, o).execute()),
        ]
        check(SYNC, ops[1].once(), ops[0].once())
        figures = compare(ops, backend.clock, ctx.rounds(large=True), ctx.args.min_time / 2)
        times[offset] = {name: fig.times for name, fig in figures.items()}
        lines.append([f"{offset:,}", figures[BARE].time_text(), figures[SYNC].time_text(), figures[SYNC].ratio_text()])
        for name, fig in figures.items():
            ctx.report.plot_point("deep", backend.name, name, (offset, fig.time * 1e3))
    conn.close()
    # Growth per 1,000 rows skipped, from the first offset to the deepest, in each round.
    first, last = min(times), max(times)
    growth = {
        name: [(deep - near) / (last - first) * 1000 for near, deep in zip(times[first][name], times[last][name])]
        for name in (BARE, SYNC)
    }
    slopes = [ours / bare if bare > 0 else math.inf for ours, bare in zip(growth[SYNC], growth[BARE])]
    ctx.report.table(
        f"100-row page by offset, {data.rows:,} objects, {backend.name} "
        f"({ctx.how(backend, ctx.rounds(large=True), f'about {ctx.args.min_time / 2:g} s of calls per run')})",
        ["offset", BARE, SYNC, "store / bare"],
        lines + [["growth per 1,000 rows skipped", fmt_time(statistics.median(growth[BARE])),
                  fmt_time(statistics.median(growth[SYNC])), ratio_text(slopes)]],
    )
    ctx.report.target(f"deep pages {backend.name}: slope of the store / slope of bare SQL", slopes, 1.15)
