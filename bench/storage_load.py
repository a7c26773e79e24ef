"""Loading every object of a store into instances, and the peak memory of doing so.

Speed: ``Reading.objects.execute()`` and ``aexecute()`` against the bare loop (fetch
the same rows from a plain table with the bare driver, one ``PlainReading`` per row)
and the other mappers, at each size of ``--load-sizes``.

Memory: each contender loads every object of the largest load size once in a fresh
interpreter (``storage.py --memory-child``), which reports how far its resident set
grew at the peak of the load above its size just before it (``VmHWM`` reset through
``/proc/self/clear_refs``, minus ``VmRSS``). Resident memory counts what the
interpreter, the drivers and native code allocate alike; the imports and connections
are made and warmed with a 100-row query before the base line is taken.
"""

from __future__ import annotations

import gc
import json
import statistics
import subprocess
import sys
from pathlib import Path
from typing import Any

from storage_base import (
    Backend,
    Context,
    Dataset,
    Op,
    COLUMNS,
    Reading,
    bare_load,
    compare,
    fmt_count,
    plain,
    ratio_text,
)

BARE = "bare fetch + BaseModel per row"
SYNC = "QuerySet.execute()"
ASYNC = "QuerySet.aexecute()"


def data_set(rows: int) -> Dataset:
    return Dataset(rows, max(rows // 10, 1))


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        for rows in ctx.args.load_sizes:
            load(ctx, backend, rows)


def load(ctx: Context, backend: Backend, rows: int) -> None:
    data = data_set(rows)
    backend.store(data)
    table = backend.plain(data)
    conn = backend.connect_plain(autocommit=True)
    ops = [
        Op(BARE, bare_load(conn, table)),
        Op(SYNC, lambda: Reading.objects.execute()),
        Op(ASYNC, acall=lambda: Reading.objects.aexecute()),
    ]
    peers = ctx.peers_on(backend)
    ops += [Op(peer.name, peer.load(backend.kind, table)) for peer in peers]
    for op in ops:  # warm-up, and every contender loads every row
        loaded = len(op.once())
        assert loaded == rows, (op.name, loaded, rows)
    large = rows >= 100_000
    figures = compare(ops, backend.clock, ctx.rounds(large), ctx.args.min_time, 1 if large else None)
    conn.close()

    lines = []
    for name, fig in figures.items():
        per_row = fig.time / rows
        lines.append([name, fig.time_text(), f"{per_row * 1e6:.2f} µs", f"{rows / fig.time:,.0f}", fig.ratio_text()])
        ctx.report.plot_point("load", backend.name, name, (rows, per_row * 1e6))
    ctx.report.table(
        f"Load of {rows:,} objects, {backend.name} "
        f"({ctx.how(backend, ctx.rounds(large), 'one load' if large else None)})",
        ["run", "per load", "per row", "rows/s", f"vs {BARE}"],
        lines,
    )
    for name in (SYNC, ASYNC):
        ctx.report.target(f"load {fmt_count(rows)} {backend.name}: {name} / bare loop", figures[name].ratios, 1.05)
    if peers:
        fastest = [min(figures[p.name].times[r] for p in peers) for r in range(len(figures[BARE].times))]
        for name in (SYNC, ASYNC):
            ratios = [t / f for t, f in zip(figures[name].times, fastest)]
            ctx.report.target(f"load {fmt_count(rows)} {backend.name}: {name} / fastest other mapper", ratios, 1.0)


# -- memory --------------------------------------------------------------------------


def run_memory(ctx: Context) -> None:
    for backend in ctx.backends:
        if backend.kind == "sqlite" or ctx.args.memory_postgres:
            memory(ctx, backend)


def memory(ctx: Context, backend: Backend) -> None:
    data = data_set(max(ctx.args.load_sizes))
    url = backend.store(data)
    table = backend.plain(data)
    contenders = [BARE, SYNC] + [peer.name for peer in ctx.peers_on(backend)]
    peaks: dict[str, list[float]] = {name: [] for name in contenders}
    method = ""
    for r in range(ctx.rounds(large=True)):
        shift = r % len(contenders)
        for name in contenders[shift:] + contenders[:shift]:
            job = {
                "contender": name, "kind": backend.kind, "url": url, "plain": backend.plain_source,
                "table": table, "rows": data.rows,
            }
            out = subprocess.run(
                [sys.executable, str(Path(__file__).with_name("storage.py")), "--memory-child", json.dumps(job)],
                capture_output=True, text=True, check=False,
            )
            if out.returncode != 0:
                raise RuntimeError(f"memory run of {name} failed:\n{out.stdout}{out.stderr}")
            result = json.loads(out.stdout.strip().splitlines()[-1])
            peaks[name].append(result["peak"])
            method = result["method"]
    base = peaks[BARE]
    lines = []
    for name, values in peaks.items():
        ratios = [v / b for v, b in zip(values, base)]
        median = statistics.median(values)
        lines.append([name, f"{median / 2**20:,.1f} MiB ({min(values) / 2**20:,.1f}–{max(values) / 2**20:,.1f})",
                      f"{median / data.rows:,.0f} B", ratio_text(ratios)])
        ctx.report.plot("memory", backend.name, name, median / 2**20)
        if name == SYNC:
            ctx.report.target(f"memory {fmt_count(data.rows)} rows {backend.name}: {SYNC} / bare loop", ratios, 1.0)
    ctx.report.table(
        f"Peak memory of loading {data.rows:,} objects, {backend.name} ({method}; fresh process per run, "
        f"{ctx.rounds(large=True)} runs each; median (lowest–highest))",
        ["run", "peak growth", "per row", f"vs {BARE}"],
        lines,
    )


def _status(key: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def memory_child(job: dict[str, Any], peers: list[Any]) -> None:
    """One memory run: set up one contender, warm it, then load everything once and report the peak."""
    name, kind, table, rows = job["contender"], job["kind"], job["table"], job["rows"]
    if name == BARE:
        if kind == "sqlite":
            import sqlite3

            conn: Any = sqlite3.connect(job["plain"])
        else:
            import psycopg

            conn = psycopg.connect(job["plain"], autocommit=True)
        [plain(row) for row in conn.execute(f"SELECT {COLUMNS} FROM {table} LIMIT 100").fetchall()]
        run = bare_load(conn, table)
    elif name == SYNC:
        from kestrum_models.storage import configure_databases

        configure_databases(job["url"])
        Reading.objects[0:100].execute()
        run = Reading.objects.execute
    else:
        (peer,) = [p for p in peers if p.name == name]
        peer.page(kind, table, 0, 0)()
        run = peer.load(kind, table)
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident size
        method = "peak RSS growth over RSS before the load"
    except OSError:
        method = "peak RSS growth over RSS before the load (peak not resettable: set-up peaks count)"
    before = _status("VmRSS")
    result = run()
    peak = _status("VmHWM")
    assert len(result) == rows
    print(json.dumps({"peak": peak - before, "method": method}))
