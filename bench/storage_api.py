"""The everyday query-set API: writes by query, reads that build no instances, bounded iteration.

``update``   ``Reading.objects.update(note=...)`` over a store of ``--update-rows``
             objects (default 100,000), every object matched, against the same
             statements run bare: those the store sends for that update (its
             transaction included), recorded once from its drivers outside the timed
             part, and replayed with the bare driver on a connection of its own to
             the same database. Each round the two update the same objects in turn,
             so the history grows alike for both.
``exists``   ``filter(...).exists().execute()`` and
             ``filter(...).values_list("value", flat=True).execute()`` on the store of
             ``--objects`` objects (``level`` unique, as for ``get``), for a condition
             matching one object (``level=k``, the keys cycling) and one matching
             10,000 (``level__lt=10000``, every object when there are fewer), against
             the bare query on the plain table (``SELECT 1 ... LIMIT 1``,
             ``SELECT value ...``); on PostgreSQL through a one-connection pool, as the
             store reads.
``iterate``  ``iterator()`` over every object of a store of ``--iter-rows`` objects
             (default 1,000,000): its time against ``execute()`` of the same rows, and
             the peak memory of each above the process before it started, every run in
             a fresh process (``storage.py --memory-child``), as the load scenario
             measures memory.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import json
import statistics
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from storage_base import Backend, Context, Dataset, Op, Reading, close_stores, compare, fmt_count, reading

from kestrum_models.storage import configure_databases

UPDATE = "QuerySet.update()"
EXISTS = "exists().execute()"
VALUES = "values_list(flat=True).execute()"
ITERATOR = "QuerySet.iterator()"
EXECUTE = "QuerySet.execute()"
MANY = 10_000
MEMORY_LIMIT_MIB = 50.0


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        update(ctx, backend)
        reads(ctx, backend)
        iterate(ctx, backend)


# -- update() ------------------------------------------------------------------------


@contextlib.contextmanager
def recorded() -> Iterator[list[tuple[str, str, Any]]]:
    """The statements the store's synchronous drivers run meanwhile: (method, sql, parameters)."""
    from kestrum_data.store import postgres, sqlite

    log: list[tuple[str, str, Any]] = []
    saved = []
    for driver in (sqlite._SyncDriver, postgres._SyncDriver):
        for method in ("query", "execute", "execute_many"):
            original = driver.__dict__[method]
            saved.append((driver, method, original))

            def wrapper(self: Any, sql: str, params: Any = (), _original: Any = original, _method: str = method) -> Any:
                log.append((_method, sql, list(params) if _method == "execute_many" else params))
                return _original(self, sql, params)

            setattr(driver, method, wrapper)
    try:
        yield log
    finally:
        for driver, method, original in saved:
            setattr(driver, method, original)


def bare_connection(backend: Backend, url: str) -> Any:
    if backend.kind == "sqlite":
        import sqlite3

        conn = sqlite3.connect(url.removeprefix("sqlite:///"), isolation_level=None)
        conn.execute("PRAGMA synchronous = NORMAL")  # as the store's connections (the file is in WAL mode)
        return conn
    import psycopg

    return psycopg.connect(url, autocommit=True)


def replay(backend: Backend, conn: Any, statements: list[tuple[str, str, Any]]) -> Callable[[], int]:
    """The recorded statements, run bare in order (in a transaction of their own on PostgreSQL,
    where the store begins it on the connection rather than by a statement); the rows written."""
    wrap = backend.kind == "postgresql"

    def run() -> int:
        written = 0
        if wrap:
            conn.execute("BEGIN")
        for method, sql, params in statements:
            if method == "execute_many":
                conn.cursor().executemany(sql, params)
            else:
                cursor = conn.execute(sql, params)
                if method == "query":
                    cursor.fetchall()
                elif cursor.rowcount > 0:
                    written += cursor.rowcount
        if wrap:
            conn.execute("COMMIT")
        return written

    return run


def fill(backend: Backend, name: str, rows: int) -> str:
    url = backend.new_store(name)
    configure_databases(url)
    for start in range(0, rows, 100_000):
        Reading.bulk_save([Reading(**reading(i, max(rows // 10, 1))) for i in range(start, min(rows, start + 100_000))])
    close_stores()
    backend.after_fill(url)
    configure_databases(url)
    return url


def update(ctx: Context, backend: Backend) -> None:
    rows = ctx.args.update_rows
    url = fill(backend, "api_update", rows)
    notes = itertools.count()

    def ours() -> int:
        return Reading.objects.update(note=f"pass {next(notes)}")

    assert ours() == rows  # tables checked, statements prepared
    with recorded() as statements:
        assert ours() == rows
    conn = bare_connection(backend, url)
    bare = replay(backend, conn, statements)
    assert bare() >= rows, "the replayed statements wrote fewer rows than the update"
    bare_name = "the same statements, bare"
    figures = compare([Op(bare_name, bare), Op(UPDATE, ours)], backend.clock, ctx.rounds(large=True),
                      ctx.args.min_time, 1)
    conn.close()
    close_stores()
    backend.drop_store("api_update")
    lines = [[name, fig.time_text(), f"{fig.time / rows * 1e6:.2f} µs", fig.ratio_text()]
             for name, fig in figures.items()]
    ctx.report.table(
        f"update() of {rows:,} objects, {backend.name} "
        f"({ctx.how(backend, ctx.rounds(large=True), 'one update')}; statements: "
        f"{', '.join(sql.split()[0] for _, sql, _ in statements)})",
        ["run", "per update", "per object", f"vs {bare_name}"],
        lines,
    )
    ctx.report.target(f"update {fmt_count(rows)} {backend.name}: update() / same statements bare",
                      figures[UPDATE].ratios, 1.5)


# -- exists(), values_list(flat=True) ------------------------------------------------------


def reads(ctx: Context, backend: Backend) -> None:
    objects = ctx.args.objects
    data = Dataset(objects, objects, 1)
    backend.store(data)
    table = backend.plain(data)
    many = min(MANY, objects)
    step = max(1, objects // 97)
    levels = [reading(i, objects)["level"] for i in range(0, objects, step)]
    exists_sql = backend.sql(f"SELECT 1 FROM {table} WHERE level = ? LIMIT 1")
    exists_many_sql = backend.sql(f"SELECT 1 FROM {table} WHERE level < ? LIMIT 1")
    values_sql = backend.sql(f"SELECT value FROM {table} WHERE level = ?")
    values_many_sql = backend.sql(f"SELECT value FROM {table} WHERE level < ?")
    pool = None
    if backend.kind == "sqlite":
        conn = backend.connect_plain(autocommit=True)

        def fetch(sql: str, params: tuple[Any, ...]) -> list[tuple[Any, ...]]:
            return conn.execute(sql, params).fetchall()  # type: ignore[no-any-return]
    else:
        from psycopg_pool import ConnectionPool

        pool = ConnectionPool(backend.plain_source, min_size=1, max_size=1, kwargs={"autocommit": True}, open=True)

        def fetch(sql: str, params: tuple[Any, ...]) -> list[tuple[Any, ...]]:
            with pool.connection() as c:
                return c.execute(sql, params).fetchall()

    def ours_exists(condition: Callable[[], dict[str, Any]]) -> Callable[[], bool]:
        return lambda: Reading.objects.filter(**condition()).exists().execute()

    def ours_values(condition: Callable[[], dict[str, Any]]) -> Callable[[], list[Any]]:
        return lambda: Reading.objects.filter(**condition()).values_list("value", flat=True).execute()

    def bare_exists(sql: str, key: Callable[[], int]) -> Callable[[], bool]:
        return lambda: bool(fetch(sql, (key(),)))

    def bare_values(sql: str, key: Callable[[], int]) -> Callable[[], list[Any]]:
        return lambda: [row[0] for row in fetch(sql, (key(),))]

    def one_key() -> Callable[[], int]:
        return itertools.cycle(levels).__next__

    def one(key: Callable[[], int]) -> Callable[[], dict[str, Any]]:
        return lambda: {"level": key()}

    def below() -> dict[str, Any]:
        return {"level__lt": many}

    cases = [
        (EXISTS, "1-row", [Op("bare query", bare_exists(exists_sql, one_key())),
                           Op(EXISTS, ours_exists(one(one_key())))], 1),
        (VALUES, "1-row", [Op("bare query", bare_values(values_sql, one_key())),
                           Op(VALUES, ours_values(one(one_key())))], 1),
        (EXISTS, f"{fmt_count(many)}-row", [Op("bare query", bare_exists(exists_many_sql, lambda: many)),
                                            Op(EXISTS, ours_exists(below))], 1),
        (VALUES, f"{fmt_count(many)}-row", [Op("bare query", bare_values(values_many_sql, lambda: many)),
                                            Op(VALUES, ours_values(below))], many),
    ]
    for name, label, ops, matched in cases:
        for op in ops:
            result = op.once()
            assert (result is True) if name == EXISTS else len(result) == matched, (op.name, label)
        figures = compare(ops, backend.clock, ctx.rounds(), ctx.args.min_time)
        ctx.report.table(
            f"{name} on a {label} result, {objects:,} objects, {backend.name} ({ctx.how(backend, ctx.rounds())})",
            ["run", "per call", "vs bare query"],
            [[op_name, fig.time_text(), fig.ratio_text()] for op_name, fig in figures.items()],
        )
        ctx.report.target(f"{name.split('(')[0]}() {label} {backend.name}: / bare query", figures[name].ratios, 1.3)
    if pool is not None:
        pool.close()
    else:
        conn.close()


# -- iterator() ------------------------------------------------------------------------


def iterate(ctx: Context, backend: Backend) -> None:
    rows = ctx.args.iter_rows
    data = Dataset(rows, max(rows // 10, 1))
    url = backend.store(data)
    ops = [
        Op(EXECUTE, lambda: len(Reading.objects.execute())),
        Op(ITERATOR, lambda: sum(1 for _ in Reading.objects.iterator())),
    ]
    for op in ops:
        assert op.once() == rows, op.name
    rounds = ctx.rounds(large=True)
    figures = compare(ops, backend.clock, rounds, ctx.args.min_time, 1)
    close_stores()
    peaks: dict[str, list[float]] = {EXECUTE: [], ITERATOR: []}
    method = ""
    for r in range(rounds):
        for name in list(peaks)[r % 2 :] + list(peaks)[: r % 2]:
            job = {"scenario": "iterate", "contender": name, "url": url, "rows": rows}
            out = subprocess.run(
                [sys.executable, str(Path(__file__).with_name("storage.py")), "--memory-child", json.dumps(job)],
                capture_output=True, text=True, check=False,
            )
            if out.returncode != 0:
                raise RuntimeError(f"memory run of {name} failed:\n{out.stdout}{out.stderr}")
            result = json.loads(out.stdout.strip().splitlines()[-1])
            peaks[name].append(result["peak"] / 2**20)
            method = result["method"]
    lines = []
    for name, fig in figures.items():
        mib = peaks[name]
        lines.append([name, fig.time_text(), fig.ratio_text(),
                      f"{statistics.median(mib):,.1f} MiB ({min(mib):,.1f}–{max(mib):,.1f})"])
    ctx.report.table(
        f"Every one of {rows:,} objects, {backend.name} ({ctx.how(backend, rounds, 'one pass')}; "
        f"memory: {method}, a fresh process per run)",
        ["run", "per pass", f"vs {EXECUTE}", "peak memory growth"],
        lines,
    )
    ctx.report.target(f"iterate {fmt_count(rows)} {backend.name}: iterator() / execute()",
                      figures[ITERATOR].ratios, 1.1)
    ctx.report.target(f"iterate {fmt_count(rows)} {backend.name}: iterator() peak MiB above start", peaks[ITERATOR],
                      MEMORY_LIMIT_MIB, unit=" MiB")


def _status(key: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def memory_child(job: dict[str, Any]) -> None:
    """One memory run: every object once, by ``iterator()`` or ``execute()``; prints the peak growth."""
    configure_databases(job["url"])
    Reading.objects[0:100].execute()  # imports, connection and tables checked before the base line
    if job["contender"] == ITERATOR:
        def run() -> int:
            return sum(1 for _ in Reading.objects.iterator())
    else:
        def run() -> int:
            return len(Reading.objects.execute())
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident size
        method = "peak RSS growth over RSS before the pass"
    except OSError:
        method = "peak RSS growth over RSS before the pass (peak not resettable: set-up peaks count)"
    before = _status("VmRSS")
    count = run()
    peak = _status("VmHWM")
    assert count == job["rows"]
    print(json.dumps({"peak": peak - before, "method": method}))

