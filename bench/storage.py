"""The object store end to end, against bare driver access and three other mappers, in one run.

Run: ``scripts/bench.sh storage -- [flags]`` (or ``PYTHONPATH=bench .venv/bin/python
bench/storage.py [flags]``). One run prints a table per measurement, then one line
per target with the measured ratio and PASS or MISS, and writes a plot of every
contender (``--plot``, default ``bench/storage.png``).

Scenarios (``--only`` / ``--skip`` pick some), each on SQLite and on PostgreSQL (a
throwaway server, as the tests use; ``--no-postgres`` leaves it out):

``load``    every object of a store of N objects of an eight-field model, for N in
            ``--load-sizes``: ``execute()`` and ``aexecute()`` against the bare loop
            and the other mappers (bench/storage_load.py).
``memory``  the peak memory of loading every object of the largest load size, each
            run in a fresh process (bench/storage_load.py); SQLite, and PostgreSQL
            with ``--memory-postgres``.
``page``    a 100-row page of ``--page-rows`` objects, then deep offsets
            (bench/storage_page.py).
``latest``  reads of the latest objects with ``--versions`` versions each against one
            version each, ``--objects`` objects (bench/storage_latest.py).
``get``     one-row ``get()`` by an indexed field (bench/storage_get.py).
``save``    ``bulk_save`` at each of ``--save-sizes`` and single ``save()`` against bare
            inserts (bench/storage_save.py).
``history`` ``as_of()`` against the same query on the latest objects (the long history
            of the latest reads), ``history()`` of one object of ``--history-versions``
            versions and ``changes()`` reading ``--feed-changes`` changes against bare
            SQL, and the time of one ``prune()`` removing 90% of the long history
            (bench/storage_history.py).
``api``     ``update()`` of ``--update-rows`` objects against the same statements bare;
            ``exists()`` and ``values_list(flat=True)`` on 1-row and 10,000-row results
            against the bare query; ``iterator()`` over ``--iter-rows`` objects: time
            against ``execute()`` and peak memory (bench/storage_api.py).

Timing, baselines and clocks: see bench/storage_base.py. In short: interleaved
rounds (``--repeat``, default 5; ``--repeat-large`` for runs of 10^5 rows or more,
default 3), median with lowest–highest; ratios per round against the baseline of the
same round; process CPU time on SQLite (``--clock wall`` for wall time), wall time on
PostgreSQL; baselines and mappers read plain tables filled with the same rows, never
the store's own tables (but for the bare replay of ``update()``'s own statements).

The default run (load at 10^3, 10^4, 10^5 and memory at 10^5; page and deep pages at
10^6; latest reads at 10,000 objects x 100 versions; bulk save at 10^3 to 10^5) took
16 minutes on a two-core machine busy with other work, a third of it filling the
stores (the long history alone about four minutes). ``--full`` adds 10^6 to the load
and bulk-save sizes, so that memory is measured at 10^6 too (estimated at about twice
as long). The ``api`` scenario at moderate sizes (``--update-rows 100000 --iter-rows
200000``) took two minutes; at its defaults it iterates the page data set of 10^6
objects (filled once for both).
For a quick look:
``--load-sizes 1000 10000 --page-rows 100000 --objects 2000 --versions 20
--save-sizes 1000 10000``.
"""

from __future__ import annotations

import argparse
import json
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import storage_api
import storage_get
import storage_history
import storage_latest
import storage_load
import storage_page
import storage_save
from storage_base import Backend, Clock, Context, Report, SQLiteBackend, close_stores, start_postgres

from kestrum_models.storage import reset_databases

SCENARIOS: dict[str, Callable[[Context], None]] = {
    "load": storage_load.run,
    "memory": storage_load.run_memory,
    "page": storage_page.run,
    "latest": storage_latest.run,
    "get": storage_get.run,
    "save": storage_save.run,
    "history": storage_history.run,
    "api": storage_api.run,
}


# -- other mappers, each over the plain tables -------------------------------------------
#
# Each gives, for a backend kind and a plain table: ``load`` (every row as its own row
# objects), ``page`` (the filtered, ordered 100-row page) and ``get`` (the one row of a
# level).


class Peer:
    name: str

    def __init__(self, sources: dict[str, str]) -> None:
        self.sources = dict(sources)
        self._models: dict[tuple[str, str], Any] = {}

    def supports(self, kind: str) -> bool:
        return kind in self.sources

    def model(self, kind: str, table: str) -> Any:
        key = (kind, table)
        if key not in self._models:
            self._models[key] = self.make_model(kind, table)
        return self._models[key]

    def probe(self, kind: str) -> None: ...
    def make_model(self, kind: str, table: str) -> Any: ...
    def load(self, kind: str, table: str) -> Callable[[], list[Any]]: ...
    def page(self, kind: str, table: str, low: int, offset: int) -> Callable[[], list[Any]]: ...
    def get(self, kind: str, table: str) -> Callable[[int], Any]: ...


class SQLAlchemyPeer(Peer):
    name = "SQLAlchemy ORM"

    def __init__(self, sources: dict[str, str]) -> None:
        from sqlalchemy import create_engine

        super().__init__(sources)
        self.engines = {
            kind: create_engine(f"sqlite:///{source}" if kind == "sqlite" else
                                source.replace("postgresql://", "postgresql+psycopg://", 1))
            for kind, source in sources.items()
        }

    def probe(self, kind: str) -> None:
        from sqlalchemy import text

        with self.engines[kind].connect() as conn:
            conn.execute(text("SELECT 1"))

    def make_model(self, kind: str, table: str) -> Any:
        from sqlalchemy import BigInteger, Boolean, Float, String
        from sqlalchemy.orm import DeclarativeBase, mapped_column

        class Base(DeclarativeBase):
            pass

        return type(f"SaReading_{kind}_{table}", (Base,), {
            "__tablename__": table,
            "id": mapped_column(BigInteger, primary_key=True),
            "sensor": mapped_column(String),
            "value": mapped_column(Float),
            "unit": mapped_column(String),
            "count": mapped_column(BigInteger),
            "ok": mapped_column(Boolean),
            "note": mapped_column(String, nullable=True),
            "level": mapped_column(BigInteger),
            "score": mapped_column(Float),
        })

    def load(self, kind: str, table: str) -> Callable[[], list[Any]]:
        from sqlalchemy import select
        from sqlalchemy.orm import Session

        model, engine = self.model(kind, table), self.engines[kind]

        def run() -> list[Any]:
            with Session(engine) as session:
                return list(session.scalars(select(model)))

        return run

    def page(self, kind: str, table: str, low: int, offset: int) -> Callable[[], list[Any]]:
        from sqlalchemy import select
        from sqlalchemy.orm import Session

        model, engine = self.model(kind, table), self.engines[kind]

        def run() -> list[Any]:
            query = select(model).where(model.level >= low).order_by(model.level, model.id).offset(offset).limit(100)
            with Session(engine) as session:
                return list(session.scalars(query))

        return run

    def get(self, kind: str, table: str) -> Callable[[int], Any]:
        from sqlalchemy import select
        from sqlalchemy.orm import Session

        model, engine = self.model(kind, table), self.engines[kind]

        def run(level: int) -> Any:
            with Session(engine) as session:
                return session.scalars(select(model).where(model.level == level)).one()

        return run


class DjangoPeer(Peer):
    name = "Django ORM"

    def __init__(self, sources: dict[str, str]) -> None:
        import django
        from django.conf import settings

        super().__init__(sources)
        databases = {}
        for kind, source in sources.items():
            if kind == "sqlite":
                databases["sqlite"] = {"ENGINE": "django.db.backends.sqlite3", "NAME": source}
            else:
                url = urlsplit(source)
                databases["postgresql"] = {
                    "ENGINE": "django.db.backends.postgresql", "NAME": url.path.lstrip("/"),
                    "USER": url.username or "", "HOST": url.hostname or "", "PORT": str(url.port or ""),
                }
        databases["default"] = databases.get("sqlite", {})
        settings.configure(DATABASES=databases, INSTALLED_APPS=[], USE_TZ=True)
        django.setup()

    def probe(self, kind: str) -> None:
        from django.db import connections

        connections[kind].ensure_connection()

    def make_model(self, kind: str, table: str) -> Any:
        from django.db import models

        meta = type("Meta", (), {"app_label": "bench", "db_table": table})
        return type(f"DjReading_{kind}_{table}", (models.Model,), {
            "__module__": __name__,
            "Meta": meta,
            "id": models.BigAutoField(primary_key=True),
            "sensor": models.TextField(),
            "value": models.FloatField(),
            "unit": models.TextField(),
            "count": models.BigIntegerField(),
            "ok": models.BooleanField(),
            "note": models.TextField(null=True),
            "level": models.BigIntegerField(),
            "score": models.FloatField(),
        })

    def load(self, kind: str, table: str) -> Callable[[], list[Any]]:
        objects = self.model(kind, table).objects.using(kind)
        return lambda: list(objects.all())

    def page(self, kind: str, table: str, low: int, offset: int) -> Callable[[], list[Any]]:
        objects = self.model(kind, table).objects.using(kind)
        return lambda: list(objects.filter(level__gte=low).order_by("level", "id")[offset : offset + 100])

    def get(self, kind: str, table: str) -> Callable[[int], Any]:
        objects = self.model(kind, table).objects.using(kind)
        return lambda level: objects.get(level=level)


class PeeweePeer(Peer):
    name = "Peewee"

    def __init__(self, sources: dict[str, str]) -> None:
        import peewee

        super().__init__(sources)
        self.databases = {
            kind: peewee.SqliteDatabase(source) if kind == "sqlite" else
            peewee.PostgresqlDatabase(source, prefer_psycopg3=True)
            for kind, source in sources.items()
        }

    def probe(self, kind: str) -> None:
        self.databases[kind].connect(reuse_if_open=True)

    def make_model(self, kind: str, table: str) -> Any:
        import peewee

        meta = type("Meta", (), {"database": self.databases[kind], "table_name": table})
        return type(f"PwReading_{kind}_{table}", (peewee.Model,), {
            "Meta": meta,
            "id": peewee.BigAutoField(),
            "sensor": peewee.TextField(),
            "value": peewee.FloatField(),
            "unit": peewee.TextField(),
            "count": peewee.BigIntegerField(),
            "ok": peewee.BooleanField(),
            "note": peewee.TextField(null=True),
            "level": peewee.BigIntegerField(),
            "score": peewee.FloatField(),
        })

    def load(self, kind: str, table: str) -> Callable[[], list[Any]]:
        model = self.model(kind, table)
        return lambda: list(model.select())

    def page(self, kind: str, table: str, low: int, offset: int) -> Callable[[], list[Any]]:
        model = self.model(kind, table)
        return lambda: list(
            model.select().where(model.level >= low).order_by(model.level, model.id).offset(offset).limit(100)
        )

    def get(self, kind: str, table: str) -> Callable[[int], Any]:
        model = self.model(kind, table)
        return lambda level: model.get(model.level == level)


def make_peers(sources: dict[str, str], note: Callable[[str], None]) -> list[Peer]:
    """The mappers that are installed, each on the backends its drivers reach."""
    peers: list[Peer] = []
    for cls in (SQLAlchemyPeer, DjangoPeer, PeeweePeer):
        try:
            peer = cls(sources)
        except ImportError as error:
            note(f"{cls.name} left out: {error}")
            continue
        for kind in list(peer.sources):
            try:
                peer.probe(kind)
            except Exception as error:  # a missing driver, or one that cannot connect
                note(f"{cls.name} on {kind} left out: {type(error).__name__}: {error}")
                del peer.sources[kind]
        peers.append(peer)
    return peers


# -- the run -----------------------------------------------------------------------------


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="The object store against bare drivers and other mappers.")
    parser.add_argument("--only", nargs="+", choices=list(SCENARIOS), help="run only these scenarios")
    parser.add_argument("--skip", nargs="+", default=[], choices=list(SCENARIOS), help="leave these scenarios out")
    parser.add_argument("--full", action="store_true", help="add 10^6 to the load and bulk-save sizes")
    parser.add_argument("--load-sizes", nargs="+", type=int, default=[1_000, 10_000, 100_000], metavar="N",
                        help="objects loaded (default 10^3 10^4 10^5); memory is measured at the largest")
    parser.add_argument("--save-sizes", nargs="+", type=int, default=[1_000, 10_000, 100_000], metavar="N",
                        help="objects per bulk save (default 10^3 10^4 10^5)")
    parser.add_argument("--page-rows", type=int, default=1_000_000, metavar="N",
                        help="objects of the page data set (default 1,000,000)")
    parser.add_argument("--objects", type=int, default=10_000, metavar="N",
                        help="objects of the latest-reads and get() data sets (default 10,000)")
    parser.add_argument("--versions", type=int, default=100, metavar="N",
                        help="versions per object of the long history (default 100)")
    parser.add_argument("--history-versions", type=int, default=1_000, metavar="N",
                        help="versions of the object whose history() is read (default 1,000)")
    parser.add_argument("--feed-changes", type=int, default=100_000, metavar="N",
                        help="changes read from the change feed (default 100,000)")
    parser.add_argument("--update-rows", type=int, default=100_000, metavar="N",
                        help="objects every update() of the api scenario changes (default 100,000)")
    parser.add_argument("--iter-rows", type=int, default=1_000_000, metavar="N",
                        help="objects iterator() goes through in the api scenario (default 1,000,000)")
    parser.add_argument("--repeat", type=int, default=5, metavar="N", help="rounds per figure (at least 3)")
    parser.add_argument("--repeat-large", type=int, default=3, metavar="N",
                        help="rounds per figure of 10^5 rows or more, deep pages and memory (at least 3)")
    parser.add_argument("--min-time", type=float, default=0.2, metavar="S",
                        help="seconds of calls per round for short operations (default 0.2)")
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                        help="clock on SQLite (default cpu: process CPU time); PostgreSQL always uses wall time")
    parser.add_argument("--no-postgres", action="store_true", help="SQLite only")
    parser.add_argument("--memory-postgres", action="store_true", help="measure memory on PostgreSQL too")
    parser.add_argument("--plot", type=Path, default=Path(__file__).with_name("storage.png"), metavar="PNG",
                        help="where the plot goes (default bench/storage.png)")
    parser.add_argument("--memory-child", metavar="JSON", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.full:
        args.load_sizes = sorted({*args.load_sizes, 1_000_000})
        args.save_sizes = sorted({*args.save_sizes, 1_000_000})
    return args


def main() -> None:
    args = parse_args()
    if args.memory_child:
        job = json.loads(args.memory_child)
        if job.get("scenario") == "iterate":
            storage_api.memory_child(job)
        else:
            storage_load.memory_child(job, make_peers({job["kind"]: job["plain"]}, lambda text: None))
        return
    chosen = [name for name in (args.only or SCENARIOS) if name not in args.skip]
    started = time.perf_counter()
    report = Report()
    with tempfile.TemporaryDirectory(prefix="kestrum-bench-") as tmp:
        backends: list[Backend] = [SQLiteBackend(Path(tmp), Clock(args.clock))]
        if not args.no_postgres:
            postgres = start_postgres()
            if postgres is None:
                report.note("PostgreSQL server programs not found: PostgreSQL figures left out")
            else:
                backends.append(postgres)
        try:
            peers = make_peers({b.kind: b.plain_source for b in backends}, report.note)
            ctx = Context(backends, peers, report, args)
            for name in chosen:
                step = time.perf_counter()
                SCENARIOS[name](ctx)
                close_stores()
                print(f"({name}: {time.perf_counter() - step:.0f} s)")
        finally:
            close_stores()
            reset_databases()
            for backend in backends:
                backend.close()
    report.summary()
    import storage_plot

    storage_plot.plot(report, args.plot)
    print(f"\ntotal: {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
