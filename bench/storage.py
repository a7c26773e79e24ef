"""The object store against bare database access and other mappers, in one run.

Load: 100,000 stored objects of an eight-field model become instances through
``QuerySet(M).execute()`` and ``aexecute()``; the limit is a bare fetch of the same
rows (same database, same table) plus one constructor call per row of a plain
pydantic ``BaseModel`` with the same eight fields. Target: at most 1.2x, sync and
async, on SQLite and on PostgreSQL. On SQLite the same table is also loaded through
three other mappers (their ORM layers, each with its own row classes).

Bulk save: 100,000 new objects with ``bulk_save`` against a bare ``executemany`` of
the same rows into a table of the same columns (target: at most 2x).

Page: a filtered, ordered 100-row page (``WHERE`` on an indexed field, ``ORDER BY``
it, offset 1,000) of a 1,000,000-object table against the same bare query plus the
constructor calls (target: at most 1.2x).

Every figure is the best of several interleaved repeats; ratios compare figures of
this run. A PNG of the load rates is written next to this file (storage_load.png).

Run: scripts/bench.sh storage  (PostgreSQL figures need the server programs;
``--rows N`` and ``--page-rows N`` scale the sizes down for a quick look).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import gc
import os
import sqlite3
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from _timing import table
from pydantic import BaseModel

from kestrum_data.config import configure_databases, reset_databases
from kestrum_data.store import close_databases
from kestrum_models.classes.model import Model
from kestrum_utils.utils.decorators import mode

FIELDS = ("sensor", "value", "unit", "count", "ok", "note", "level", "score")


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


def reading(i: int, levels: int = 1000) -> dict[str, Any]:
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


def best(runs: dict[str, Callable[[], Any]], repeat: int) -> dict[str, float]:
    """Seconds of each run, the best of ``repeat`` rounds in which every run takes its turn."""
    times = {name: float("inf") for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            gc.collect()
            start = time.process_time()
            result = run()
            elapsed = time.process_time() - start
            del result
            times[name] = min(times[name], elapsed)
    return times


# -- the bare loops ----------------------------------------------------------------

SELECT_FIELDS = ", ".join(f'"{name}"' for name in FIELDS)


def bare_sqlite(path: str) -> Callable[[], list[PlainReading]]:
    conn = sqlite3.connect(path)

    def run() -> list[PlainReading]:
        rows = conn.execute(f'SELECT {SELECT_FIELDS} FROM "readings__history" WHERE "_is_latest"').fetchall()
        return [PlainReading(**dict(zip(FIELDS, row))) for row in rows]

    return run


def bare_postgres(dsn: str) -> Callable[[], list[PlainReading]]:
    import psycopg

    conn = psycopg.connect(dsn, autocommit=True)

    def run() -> list[PlainReading]:
        rows = conn.execute(f'SELECT {SELECT_FIELDS} FROM "readings__history" WHERE "_is_latest"').fetchall()
        return [PlainReading(**dict(zip(FIELDS, row))) for row in rows]

    return run


def ours() -> list[Reading]:
    return Reading.objects.execute()


def ours_async() -> list[Reading]:
    async def load() -> list[Reading]:
        return await Reading.objects.aexecute()

    with mode("async"):
        return asyncio.run(load())


# -- other mappers, on a plain copy of the table ---------------------------------------


def plain_table(path: str) -> None:
    conn = sqlite3.connect(path)
    conn.execute("DROP TABLE IF EXISTS plain_readings")
    conn.execute(
        "CREATE TABLE plain_readings (id INTEGER PRIMARY KEY, sensor TEXT NOT NULL, value REAL NOT NULL, "
        "unit TEXT NOT NULL, count INTEGER NOT NULL, ok BOOLEAN NOT NULL, note TEXT, level INTEGER NOT NULL, "
        "score REAL NOT NULL)"
    )
    conn.execute(
        f'INSERT INTO plain_readings ({", ".join(FIELDS)}) SELECT {SELECT_FIELDS} FROM "readings__history" '
        'WHERE "_is_latest"'
    )
    conn.commit()
    conn.close()


def mapper_runs(path: str) -> dict[str, Callable[[], Any]]:
    runs: dict[str, Callable[[], Any]] = {}
    try:
        from sqlalchemy import Boolean, Float, Integer, String, create_engine, select
        from sqlalchemy.orm import DeclarativeBase, Session, mapped_column

        class Base(DeclarativeBase):
            pass

        class SaReading(Base):
            __tablename__ = "plain_readings"
            id = mapped_column(Integer, primary_key=True)
            sensor = mapped_column(String)
            value = mapped_column(Float)
            unit = mapped_column(String)
            count = mapped_column(Integer)
            ok = mapped_column(Boolean)
            note = mapped_column(String, nullable=True)
            level = mapped_column(Integer)
            score = mapped_column(Float)

        engine = create_engine(f"sqlite:///{path}")

        def sqlalchemy_run() -> list[Any]:
            with Session(engine) as session:
                return list(session.scalars(select(SaReading)))

        runs["SQLAlchemy 2 ORM"] = sqlalchemy_run
    except ImportError:
        print("SQLAlchemy is not installed: skipped", file=sys.stderr)
    try:
        import django
        from django.conf import settings

        if not settings.configured:
            settings.configure(
                DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": path}},
                INSTALLED_APPS=[],
                USE_TZ=True,
            )
            django.setup()
        from django.db import models

        class DjReading(models.Model):
            sensor = models.TextField()
            value = models.FloatField()
            unit = models.TextField()
            count = models.IntegerField()
            ok = models.BooleanField()
            note = models.TextField(null=True)
            level = models.IntegerField()
            score = models.FloatField()

            class Meta:
                app_label = "bench"
                db_table = "plain_readings"

        runs["Django ORM"] = lambda: list(DjReading.objects.all())
    except ImportError:
        print("Django is not installed: skipped", file=sys.stderr)
    try:
        import peewee

        pw_db = peewee.SqliteDatabase(path)

        class PwReading(peewee.Model):
            sensor = peewee.TextField()
            value = peewee.FloatField()
            unit = peewee.TextField()
            count = peewee.IntegerField()
            ok = peewee.BooleanField()
            note = peewee.TextField(null=True)
            level = peewee.IntegerField()
            score = peewee.FloatField()

            class Meta:
                database = pw_db
                table_name = "plain_readings"

        runs["Peewee"] = lambda: list(PwReading.select())
    except ImportError:
        print("Peewee is not installed: skipped", file=sys.stderr)
    return runs


# -- scenarios -----------------------------------------------------------------------


@contextlib.contextmanager
def store(url: str) -> Iterator[None]:
    configure_databases(url)
    try:
        yield
    finally:
        close_databases()
        reset_databases()


def fill(count: int, levels: int = 1000, chunk: int = 100_000) -> None:
    for start in range(0, count, chunk):
        Reading.bulk_save([Reading(**reading(i, levels)) for i in range(start, min(count, start + chunk))])


def load_figures(name: str, bare: Callable[[], Any], rows: int, repeat: int, extra: dict[str, Any]) -> list[list[str]]:
    times = best({"bare fetch + BaseModel per row": bare, "QuerySet.execute()": ours, "QuerySet.aexecute()": ours_async,
                  **extra}, repeat)
    limit = times["bare fetch + BaseModel per row"]
    results = []
    for label, seconds in times.items():
        results.append([name, label, f"{seconds:.3f} s", f"{rows / seconds:,.0f}", f"{seconds / limit:.2f}x"])
        RATES.append((f"{label} ({name})", rows / seconds))
    return results


RATES: list[tuple[str, float]] = []


def bench_sqlite(workdir: Path, rows: int, repeat: int) -> list[list[str]]:
    path = str(workdir / "load.sqlite3")
    with store(f"sqlite:///{path}"):
        fill(rows)
        assert len(ours()) == rows
        plain_table(path)
        return load_figures("SQLite", bare_sqlite(path), rows, repeat, mapper_runs(path))


def bench_postgres(dsn: str, rows: int, repeat: int) -> list[list[str]]:
    with store(dsn):
        fill(rows)
        assert len(ours()) == rows
        return load_figures("PostgreSQL", bare_postgres(dsn), rows, repeat, {})


def bench_bulk_save(workdir: Path, rows: int, repeat: int) -> list[list[str]]:
    data = [reading(i) for i in range(rows)]
    counter = iter(range(10**6))

    def ours_save() -> None:
        path = workdir / f"save{next(counter)}.sqlite3"
        with store(f"sqlite:///{path}"):
            Reading.bulk_save([Reading(**fields) for fields in data])

    def bare_save() -> None:
        path = workdir / f"bare{next(counter)}.sqlite3"
        conn = sqlite3.connect(path, isolation_level=None)
        conn.execute("PRAGMA journal_mode = WAL")
        conn.execute("PRAGMA synchronous = NORMAL")
        conn.execute(
            "CREATE TABLE r (id INTEGER PRIMARY KEY, sensor TEXT, value REAL, unit TEXT, count INTEGER, ok BOOLEAN, "
            "note TEXT, level INTEGER, score REAL)"
        )
        conn.execute("CREATE INDEX r_level ON r (level, id)")  # the index the model declares
        objects = [PlainReading(**fields) for fields in data]
        conn.execute("BEGIN")
        conn.executemany(
            f"INSERT INTO r ({', '.join(FIELDS)}) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            [tuple(getattr(obj, name) for name in FIELDS) for obj in objects],
        )
        conn.execute("COMMIT")
        conn.close()

    # Both sides build their model objects from the same dicts, then store them.
    times = best({"bare executemany": bare_save, "Model.bulk_save()": ours_save}, repeat)
    limit = times["bare executemany"]
    return [["SQLite", label, f"{s:.3f} s", f"{rows / s:,.0f}", f"{s / limit:.2f}x"] for label, s in times.items()]


def bench_page(workdir: Path, rows: int, repeat: int) -> list[list[str]]:
    path = str(workdir / "page.sqlite3")
    with store(f"sqlite:///{path}"):
        fill(rows, levels=rows // 10)
        low = rows // 100
        conn = sqlite3.connect(path)

        def bare() -> list[PlainReading]:
            found = conn.execute(
                f'SELECT {SELECT_FIELDS} FROM "readings__history" WHERE "_is_latest" = TRUE AND "level" >= ? '
                'ORDER BY "level", "_object_id" LIMIT 100 OFFSET 1000',
                (low,),
            ).fetchall()
            return [PlainReading(**dict(zip(FIELDS, row))) for row in found]

        def page() -> list[Reading]:
            return Reading.objects.filter(level__gte=low).order_by("level")[1000:1100].execute()

        assert [r.count for r in page()] == [r.count for r in bare()] and len(page()) == 100
        loops = 200

        def many(run: Callable[[], Any]) -> Callable[[], None]:
            def go() -> None:
                for _ in range(loops):
                    run()

            return go

        times = best({"bare query + BaseModel per row": many(bare), "QuerySet page": many(page)}, repeat)
    limit = times["bare query + BaseModel per row"]
    return [
        ["SQLite", label, f"{s / loops * 1e3:.3f} ms", f"{100 * loops / s:,.0f}", f"{s / limit:.2f}x"]
        for label, s in times.items()
    ]


def plot(path: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    labels = [label for label, _ in RATES]
    rates = [rate for _, rate in RATES]
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(labels) + 1.2))
    ax.barh(labels[::-1], rates[::-1], color="#4c72b0")
    ax.set_xlabel("rows per second (instances built)")
    ax.set_title("Loading 100,000 stored objects into instances")
    for y, rate in enumerate(rates[::-1]):
        ax.text(rate, y, f" {rate:,.0f}", va="center", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def postgres_dsn() -> tuple[str | None, Any]:
    """A database on a throwaway PostgreSQL server (the tests' own helper), if the programs exist."""
    tests = Path(__file__).resolve().parents[1] / "tests"
    sys.path.insert(0, str(tests))
    try:
        from postgres import PostgresServer, find_bindir
    finally:
        sys.path.remove(str(tests))
    bindir = find_bindir()
    if bindir is None:
        return None, None
    server = PostgresServer(bindir)
    server.start()
    import psycopg

    with psycopg.connect(server.dsn("postgres"), autocommit=True) as conn:
        conn.execute("CREATE DATABASE bench")
    return server.dsn("bench"), server


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--page-rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--skip", nargs="*", default=[], choices=["load", "postgres", "save", "page"])
    args = parser.parse_args()
    header = ["database", "run", "time", "rows/s", "vs limit"]
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        results = []
        if "load" not in args.skip:
            results += bench_sqlite(workdir, args.rows, args.repeat)
        if "postgres" not in args.skip:
            dsn, server = postgres_dsn()
            if dsn is None:
                print("PostgreSQL server programs not found: PostgreSQL figures skipped", file=sys.stderr)
            else:
                try:
                    results += bench_postgres(dsn, args.rows, args.repeat)
                finally:
                    server.stop()
        if results:
            table(f"Load {args.rows:,} objects of eight fields (limit: bare fetch + BaseModel per row)", header, results)
            plot(Path(__file__).with_name("storage_load.png"))
        if "save" not in args.skip:
            table(f"Bulk save of {args.rows:,} new objects (limit: bare executemany)", header,
                  bench_bulk_save(workdir, args.rows, max(3, args.repeat - 2)))
        if "page" not in args.skip:
            table(f"A 100-row page at offset 1,000 of {args.page_rows:,} objects (limit: bare query + BaseModel per row)",
                  header, bench_page(workdir, args.page_rows, args.repeat))


if __name__ == "__main__":
    os.environ.setdefault("KESTRUM_MODE", "sync")
    main()
