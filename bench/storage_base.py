"""What the storage benchmark's scenarios share: the model, the data, the databases, timing and the report.

Every comparison runs its contenders in interleaved rounds (the order rotating from
round to round), with a ``gc.collect()`` and any set-up outside the timed part. A
figure is the median of the rounds with its spread (lowest to highest); a ratio is
taken per round, against the baseline's time in the same round, and reported the
same way.

Clocks: on SQLite everything runs in this process, so the default is the process's
CPU time (user + system, all threads, so ``aiosqlite``'s worker thread counts), which
other load on the machine disturbs least; ``--clock wall`` switches to wall time. On
PostgreSQL part of the work is the server's, in its own processes: wall time, always.
The PostgreSQL server is the tests' throwaway one (durability off, local TCP).

The store is only used through its public API. Baselines and other mappers never
read the store's tables: each reads a plain table of its own (``plain_...``), filled
from the same generated rows, with a primary key on ``id`` and the index the model
declares, ``(level, id)``.
"""

from __future__ import annotations

import asyncio
import gc
import math
import sqlite3
import statistics
import sys
import time
from collections.abc import Awaitable, Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeVar

import _timing
from pydantic import BaseModel

from kestrum_models.classes.model import Model
from kestrum_models.storage import close_databases, configure_databases

T = TypeVar("T")

FIELDS = ("sensor", "value", "unit", "count", "ok", "note", "level", "score")
COLUMNS = ", ".join(FIELDS)


class Reading(Model):
    __table_name__ = "readings"
    __indexes__ = ("level",)

    sensor: str
    value: float
    unit: str
    count: int
    ok: bool
    note: str | None = None
    level: int
    score: float


class PlainReading(BaseModel):
    sensor: str
    value: float
    unit: str
    count: int
    ok: bool
    note: str | None = None
    level: int
    score: float


def reading(i: int, levels: int) -> dict[str, Any]:
    """Row ``i`` of a data set; any ``levels`` consecutive rows take every level once (7919 is prime)."""
    return {
        "sensor": f"sensor-{i % 97}",
        "value": i * 0.5,
        "unit": "C",
        "count": i,
        "ok": i % 3 == 0,
        "note": None if i % 2 else f"checked {i}",
        "level": (i * 7919) % levels,
        "score": i / 7.0,
    }


def plain(row: tuple[Any, ...]) -> PlainReading:
    """The bare loop's model construction: one plain model per fetched row."""
    return PlainReading(**dict(zip(FIELDS, row)))


def fmt_count(n: int) -> str:
    return f"10^{round(math.log10(n))}" if n >= 1000 and 10 ** round(math.log10(n)) == n else f"{n:,}"


# -- timing --------------------------------------------------------------------------


@dataclass
class Case:
    """One contender of a comparison: ``run`` is one round's timed work."""

    name: str
    run: Callable[[], Any]
    prepare: Callable[[], Any] | None = None


@dataclass
class Figure:
    """Seconds per operation in each round, and the ratio to the baseline's time in the same round."""

    times: list[float]
    ratios: list[float]

    @property
    def time(self) -> float:
        return statistics.median(self.times)

    @property
    def ratio(self) -> float:
        return statistics.median(self.ratios)

    def time_text(self) -> str:
        return f"{fmt_time(self.time)} ({fmt_time(min(self.times), False)}–{fmt_time(max(self.times), False)})"

    def ratio_text(self) -> str:
        return ratio_text(self.ratios)


def ratio_text(ratios: list[float], unit: str = "x") -> str:
    return f"{statistics.median(ratios):.2f}{unit} ({min(ratios):.2f}–{max(ratios):.2f})"


def fmt_time(seconds: float, unit: bool = True) -> str:
    for scale, name in ((1.0, "s"), (1e-3, "ms"), (1e-6, "µs")):
        if seconds >= scale or scale == 1e-6:
            text = f"{seconds / scale:.3g}" if seconds / scale < 100 else f"{seconds / scale:.0f}"
            return f"{text} {name}" if unit else text
    raise AssertionError


class Clock:
    def __init__(self, name: str) -> None:
        self.name = name
        self.now = time.process_time if name == "cpu" else time.perf_counter

    def __str__(self) -> str:
        return "process CPU time" if self.name == "cpu" else "wall time"


def measure(cases: list[Case], clock: Clock, rounds: int, per_round: int | dict[str, int] = 1) -> dict[str, Figure]:
    """Time every case in ``rounds`` interleaved rounds; the first case is the baseline of the ratios.

    ``per_round``: operations per round (per case name, or one number for all), to give times per operation.
    """
    times: dict[str, list[float]] = {case.name: [] for case in cases}
    for r in range(rounds):
        shift = r % len(cases)
        for case in cases[shift:] + cases[:shift]:
            if case.prepare is not None:
                case.prepare()
            gc.collect()
            start = clock.now()
            result = case.run()
            elapsed = clock.now() - start
            del result  # freed outside the timed part
            ops = per_round if isinstance(per_round, int) else per_round[case.name]
            times[case.name].append(elapsed / ops)
    base = times[cases[0].name]
    return {name: Figure(t, [a / b for a, b in zip(t, base)]) for name, t in times.items()}


def calibrate(once: Callable[[], Any], clock: Clock, min_time: float) -> int:
    """How many calls of ``once`` (already warmed up) make a round of about ``min_time`` seconds."""
    calls = 1
    while True:
        start = clock.now()
        for _ in range(calls):
            once()
        elapsed = clock.now() - start
        if elapsed >= min_time / 4 or calls >= 1 << 20:
            return max(1, math.ceil(calls * min_time / max(elapsed, 1e-9)))
        calls *= 2


def repeated(once: Callable[[], T], calls: int) -> Callable[[], list[T]]:
    """``calls`` calls of ``once``; the results are kept, so that freeing them is not timed."""

    def run() -> list[T]:
        return [once() for _ in range(calls)]

    return run


@dataclass
class Op:
    """One operation of a contender: a plain call, or a coroutine run on the benchmark's event loop."""

    name: str
    call: Callable[[], Any] | None = None
    acall: Callable[[], Awaitable[Any]] | None = None

    def once(self) -> Any:
        return self.call() if self.acall is None else run_async(self.acall())

    def case(self, calls: int) -> Case:
        """A case making ``calls`` calls per round (a coroutine's calls awaited one by one in one loop run)."""
        if self.acall is None:
            assert self.call is not None
            return Case(self.name, repeated(self.call, calls))
        acall = self.acall

        async def many() -> list[Any]:
            return [await acall() for _ in range(calls)]

        return Case(self.name, lambda: run_async(many()))


def compare(ops: list[Op], clock: Clock, rounds: int, min_time: float, calls: int | None = None) -> dict[str, Figure]:
    """Figures per operation of each op (the first is the baseline).

    Each op makes ``calls`` calls per round, or (by default) as many as last about ``min_time`` seconds.
    """
    counts = {op.name: calls or calibrate(op.once, clock, min_time) for op in ops}
    return measure([op.case(counts[op.name]) for op in ops], clock, rounds, counts)


# -- coroutines ----------------------------------------------------------------------

_runner: asyncio.Runner | None = None


def run_async(coro: Awaitable[T]) -> T:
    """Run a coroutine on the benchmark's one event loop (the store keeps its async pools per loop)."""
    global _runner
    if _runner is None:
        _runner = asyncio.Runner()
    return _runner.run(coro)  # type: ignore[arg-type]


def close_stores() -> None:
    """Close the event loop (and with it the store's async pools), then the store's connections."""
    global _runner
    if _runner is not None:
        _runner.close()
        _runner = None
    close_databases()


# -- databases -----------------------------------------------------------------------


@dataclass(frozen=True)
class Dataset:
    """``rows`` objects of ``reading(i, levels)``, each saved ``versions`` times."""

    rows: int
    levels: int
    versions: int = 1

    @property
    def key(self) -> str:
        return f"r{self.rows}_l{self.levels}_v{self.versions}"

    @property
    def plain_table(self) -> str:
        return f"plain_r{self.rows}_l{self.levels}"


class Backend:
    """One kind of database: fresh stores, plain tables and bare connections to them."""

    name: str
    kind: str
    placeholder: str
    clock: Clock

    def __init__(self) -> None:
        self._stores: dict[str, str] = {}
        self._plain_tables: set[str] = set()

    # Implemented per database.
    def new_store(self, name: str) -> str: ...
    def drop_store(self, name: str) -> None: ...
    def after_fill(self, url: str) -> None: ...
    def connect_plain(self, autocommit: bool = False) -> Any: ...
    def create_table(self, conn: Any, table: str) -> None: ...
    def insert_rows(self, conn: Any, table: str, rows: Iterable[tuple[Any, ...]]) -> None: ...
    def finish_plain(self, conn: Any, table: str) -> None: ...
    def scratch(self, table: str) -> Any: ...
    @property
    def plain_source(self) -> str: ...

    def store(self, data: Dataset) -> str:
        """URL of a store holding ``data`` (filled on first use)."""
        url = self._stores.get(data.key)
        if url is None:
            started = time.perf_counter()
            url = self.new_store(data.key)
            configure_databases(url)
            objects: list[Reading] = []
            for start in range(0, data.rows, 100_000):
                chunk = [Reading(**reading(i, data.levels)) for i in range(start, min(data.rows, start + 100_000))]
                Reading.bulk_save(chunk)
                if data.versions > 1:
                    objects += chunk
            for _ in range(2, data.versions + 1):
                for obj in objects:
                    obj.value += 1.0
                Reading.bulk_save(objects)
            close_stores()
            self.after_fill(url)
            self._stores[data.key] = url
            versions = f", {data.versions} versions each" if data.versions > 1 else ""
            print(f"({self.name} store of {data.rows:,} objects{versions} filled in "
                  f"{time.perf_counter() - started:.0f} s)", flush=True)
        configure_databases(url)
        return url

    def plain(self, data: Dataset) -> str:
        """Name of the plain table holding the rows of ``data`` (created on first use)."""
        table = data.plain_table
        if table not in self._plain_tables:
            conn = self.connect_plain()
            self.create_table(conn, table)
            self.insert_rows(conn, table, ((i + 1, *reading(i, data.levels).values()) for i in range(data.rows)))
            self.finish_plain(conn, table)
            conn.close()
            self._plain_tables.add(table)
        return table

    def sql(self, text: str) -> str:
        return text.replace("?", self.placeholder)

    def close(self) -> None:
        pass


class SQLiteBackend(Backend):
    name = "SQLite"
    kind = "sqlite"
    placeholder = "?"

    def __init__(self, workdir: Path, clock: Clock) -> None:
        super().__init__()
        self.workdir = workdir
        self.clock = clock
        self.path = workdir / "plain.sqlite3"

    @property
    def plain_source(self) -> str:
        return str(self.path)

    def _file(self, name: str) -> Path:
        return self.workdir / f"store_{name}.sqlite3"

    def new_store(self, name: str) -> str:
        self.drop_store(name)
        return f"sqlite:///{self._file(name)}"

    def drop_store(self, name: str) -> None:
        for suffix in ("", "-wal", "-shm"):
            Path(f"{self._file(name)}{suffix}").unlink(missing_ok=True)

    def after_fill(self, url: str) -> None:
        pass

    def connect_plain(self, autocommit: bool = False) -> sqlite3.Connection:
        # The store's settings: write-ahead log, commits without a sync each.
        conn = sqlite3.connect(self.path, isolation_level=None if autocommit else "DEFERRED")
        conn.execute("PRAGMA journal_mode = WAL")
        conn.execute("PRAGMA synchronous = NORMAL")
        return conn

    def create_table(self, conn: sqlite3.Connection, table: str) -> None:
        conn.execute(f"DROP TABLE IF EXISTS {table}")
        conn.execute(
            f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, sensor TEXT NOT NULL, value REAL NOT NULL, "
            "unit TEXT NOT NULL, count INTEGER NOT NULL, ok BOOLEAN NOT NULL, note TEXT, level INTEGER NOT NULL, "
            "score REAL NOT NULL)"
        )
        conn.execute(f"CREATE INDEX {table}_level ON {table} (level, id)")
        conn.commit()

    def insert_rows(self, conn: sqlite3.Connection, table: str, rows: Iterable[tuple[Any, ...]]) -> None:
        conn.executemany(f"INSERT INTO {table} (id, {COLUMNS}) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
        conn.commit()

    def finish_plain(self, conn: sqlite3.Connection, table: str) -> None:
        # Into the database file, as the store's files are when its connections close.
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def scratch(self, table: str) -> sqlite3.Connection:
        path = self.workdir / f"scratch_{table}.sqlite3"
        for suffix in ("", "-wal", "-shm"):
            Path(f"{path}{suffix}").unlink(missing_ok=True)
        conn = sqlite3.connect(path, isolation_level=None)
        conn.execute("PRAGMA journal_mode = WAL")
        conn.execute("PRAGMA synchronous = NORMAL")
        self.create_table(conn, table)
        return conn


class PostgresBackend(Backend):
    name = "PostgreSQL"
    kind = "postgresql"
    placeholder = "%s"

    def __init__(self, server: Any) -> None:
        import psycopg

        super().__init__()
        self.server = server
        self.clock = Clock("wall")
        self.admin = psycopg.connect(server.dsn("postgres"), autocommit=True)
        self.admin.execute("CREATE DATABASE plain TEMPLATE template0")
        self.plain_dsn = server.dsn("plain")

    @property
    def plain_source(self) -> str:
        return self.plain_dsn

    def new_store(self, name: str) -> str:
        self.drop_store(name)
        self.admin.execute(f"CREATE DATABASE store_{name} TEMPLATE template0")
        return self.server.dsn(f"store_{name}")

    def drop_store(self, name: str) -> None:
        self.admin.execute(f"DROP DATABASE IF EXISTS store_{name} WITH (FORCE)")

    def after_fill(self, url: str) -> None:
        # Planner statistics and the visibility map, as autovacuum would leave them; the
        # plain tables get the same.
        import psycopg

        with psycopg.connect(url, autocommit=True) as conn:
            conn.execute("VACUUM ANALYZE")

    def connect_plain(self, autocommit: bool = False) -> Any:
        import psycopg

        return psycopg.connect(self.plain_dsn, autocommit=autocommit)

    def create_table(self, conn: Any, table: str) -> None:
        conn.execute(f"DROP TABLE IF EXISTS {table}")
        conn.execute(
            f"CREATE TABLE {table} (id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, sensor text NOT NULL, "
            "value double precision NOT NULL, unit text NOT NULL, count bigint NOT NULL, ok boolean NOT NULL, note text, level bigint NOT NULL, "
            "score double precision NOT NULL)"
        )
        conn.execute(f"CREATE INDEX {table}_level ON {table} (level, id)")
        conn.commit()

    def insert_rows(self, conn: Any, table: str, rows: Iterable[tuple[Any, ...]]) -> None:
        with conn.cursor().copy(f"COPY {table} (id, {COLUMNS}) FROM STDIN") as copy:
            for row in rows:
                copy.write_row(row)
        conn.commit()

    def finish_plain(self, conn: Any, table: str) -> None:
        conn.autocommit = True
        conn.execute(f"VACUUM ANALYZE {table}")

    def scratch(self, table: str) -> Any:
        conn = self.connect_plain(autocommit=True)
        self.create_table(conn, table)
        return conn

    def close(self) -> None:
        self.admin.close()
        self.server.stop()


def start_postgres() -> PostgresBackend | None:
    """A throwaway PostgreSQL server (the tests' own helper), or None without the server programs."""
    tests = Path(__file__).resolve().parents[1] / "tests"
    sys.path.insert(0, str(tests))
    try:
        from postgres import PostgresServer, find_bindir
    finally:
        sys.path.remove(str(tests))
    bindir = find_bindir()
    if bindir is None:
        return None
    server = PostgresServer(bindir)
    server.start()
    try:
        return PostgresBackend(server)
    except BaseException:
        server.stop()
        raise


# -- bare access to plain tables -------------------------------------------------------


def bare_load(conn: Any, table: str) -> Callable[[], list[PlainReading]]:
    sql = f"SELECT {COLUMNS} FROM {table}"

    def run() -> list[PlainReading]:
        return [plain(row) for row in conn.execute(sql).fetchall()]

    return run


def bare_page(backend: Backend, conn: Any, table: str, low: int, offset: int) -> Callable[[], list[PlainReading]]:
    sql = backend.sql(f"SELECT {COLUMNS} FROM {table} WHERE level >= ? ORDER BY level, id LIMIT 100 OFFSET ?")

    def run() -> list[PlainReading]:
        return [plain(row) for row in conn.execute(sql, (low, offset)).fetchall()]

    return run


def bare_get_sql(backend: Backend, table: str) -> str:
    return backend.sql(f"SELECT {COLUMNS} FROM {table} WHERE level = ?")


def one(rows: list[tuple[Any, ...]]) -> PlainReading:
    if len(rows) != 1:
        raise LookupError(f"{len(rows)} rows")
    return plain(rows[0])


# -- the report ----------------------------------------------------------------------


@dataclass
class Target:
    label: str
    ratios: list[float]
    limit: float
    unit: str = "x"

    @property
    def met(self) -> bool:
        return statistics.median(self.ratios) <= self.limit


@dataclass
class Report:
    """Tables as they are measured, the targets' verdicts and the plot's data."""

    targets: list[Target] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    plots: dict[str, dict[str, dict[str, Any]]] = field(default_factory=dict)

    def table(self, title: str, header: list[str], rows: list[list[str]]) -> None:
        _timing.table(title, header, rows)
        sys.stdout.flush()

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"note: {text}")
        sys.stdout.flush()

    def target(self, label: str, ratios: list[float], limit: float, unit: str = "x") -> None:
        """A verdict: the median of ``ratios`` (or of other figures, in ``unit``) at most ``limit``."""
        self.targets.append(Target(label, ratios, limit, unit))

    def plot(self, panel: str, backend: str, series: str, value: Any) -> None:
        self.plots.setdefault(panel, {}).setdefault(backend, {})[series] = value

    def plot_point(self, panel: str, backend: str, series: str, point: tuple[float, float]) -> None:
        self.plots.setdefault(panel, {}).setdefault(backend, {}).setdefault(series, []).append(point)

    def summary(self) -> None:
        if not self.targets:
            return
        print("\nTargets (median ratio of the rounds, lowest–highest in brackets)")
        width = max(len(t.label) for t in self.targets)
        for t in self.targets:
            print(f"  {t.label.ljust(width)}  {ratio_text(t.ratios, t.unit):<22} target <= {t.limit:.2f}{t.unit}  "
                  f"{'PASS' if t.met else 'MISS'}")
        met = sum(t.met for t in self.targets)
        print(f"  {met} of {len(self.targets)} met")


@dataclass
class Context:
    """What a scenario runs with."""

    backends: list[Backend]
    peers: list[Any]
    report: Report
    args: Any

    def peers_on(self, backend: Backend) -> list[Any]:
        return [peer for peer in self.peers if peer.supports(backend.kind)]

    def rounds(self, large: bool = False) -> int:
        return max(3, self.args.repeat_large if large else self.args.repeat)

    def how(self, backend: Backend, rounds: int, each: str | None = None) -> str:
        """How a table's figures were taken, for its title."""
        each = each or f"about {self.args.min_time:g} s of calls per run"
        return f"{backend.clock}; {rounds} rounds of {each}; median (lowest–highest)"
