"""The history: reads as of an instant, one object's versions, the change feed, pruning.

``as_of``   the same query on the latest objects and ``as_of(when)`` on the long history
            of ``--objects`` objects x ``--versions`` versions (default 10,000 x 100,
            ``level`` indexed): ``get()`` by the indexed field and a 100-row range of
            it, as of now and as of the middle of the history. Ratio: as-of over latest.
``history`` ``history(pk).execute()`` of one object of ``--history-versions`` versions
            (default 1,000) against the bare SQL of that history, one plain model per row.
``feed``    ``changes(since=...)`` reading ``--feed-changes`` changes (default 100,000)
            against the bare SQL of the same feed, one tuple per row.
``prune``   ``prune(keep_last=...)`` removing 90% of the long history's versions in one
            transaction, timed once (the long store is filled again if a later scenario
            needs it).

One run at the default sizes (two cores busy with other work; median ratios of 3 rounds),
SQLite / PostgreSQL: as_of get() by the indexed field 1.30x / 1.37x as of now, 1.73x /
1.08x as of the middle; 100 rows of an indexed range 3.11x / 1.81x as of now, 3.83x /
1.71x as of the middle (SQLite reads a row per index entry a search looks at, so its
slices are chosen in the index first, but a range still walks every version in it);
history() of 1,000 versions 1.23x / 1.24x; changes() of 100,000 1.18x / 1.13x, from a
cursor 1.33x / 0.76x; prune of 900,000 of 1,000,000 rows 7.5 s / 1.4 s. The whole
scenario took about 4 minutes, filling the stores included.
"""

from __future__ import annotations

import datetime
import itertools
import time
from collections.abc import Callable
from typing import Any

from storage_base import (
    FIELDS,
    Backend,
    Case,
    Context,
    Dataset,
    PlainReading,
    Reading,
    calibrate,
    close_stores,
    measure,
    reading,
)

from kestrum_models.storage import configure_databases

STAMPS = '"_saved_at", "_note", "_deleted"'


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        as_of(ctx, backend)
        history(ctx, backend)
        feed(ctx, backend)
        prune(ctx, backend)


def _connect(backend: Backend, url: str) -> Any:
    if backend.kind == "sqlite":
        import sqlite3

        return sqlite3.connect(url.removeprefix("sqlite:///"))
    import psycopg

    return psycopg.connect(url, autocommit=True)


def _compare(ctx: Context, backend: Backend, title: str, cases: dict[str, Callable[[], Any]],
             target: str, limit: float, large: bool = False) -> list[str]:
    """Time each case (the first is the baseline) at as many calls per round; the ratio's row."""
    for once in cases.values():
        once()
    calls = max(1, min(calibrate(once, backend.clock, ctx.args.min_time) for once in cases.values()))
    figures = measure([Case(name, (lambda once=once: [once() for _ in range(calls)])) for name, once in cases.items()],
                      backend.clock, ctx.rounds(large), calls)
    names = list(cases)
    base, other = figures[names[0]], figures[names[1]]
    ctx.report.plot("history", backend.name, title, other.ratio)
    ctx.report.target(f"history {backend.name}: {target}", other.ratios, limit)
    return [title, base.time_text(), other.time_text(), other.ratio_text()]


def as_of(ctx: Context, backend: Backend) -> None:
    objects, versions = ctx.args.objects, ctx.args.versions
    configure_databases(backend.store(Dataset(objects, objects, versions)))
    now = datetime.datetime.now(datetime.UTC)
    middle = Reading.objects.history(1)[versions // 2 - 1 : versions // 2].execute()[0].saved_at
    step = max(1, objects // 97)
    levels = [reading(i, objects)["level"] for i in range(0, objects, step)]
    lines = []
    for label, when in (("now", now), ("the middle", middle)):
        for query, make in (
            ("get() by an indexed field", lambda qs, key: qs.get(level=key).execute()),
            ("100 rows of an indexed range", lambda qs, key: qs.filter(level__gte=key).order_by("level")[:100].execute()),
        ):
            keys = itertools.cycle(levels).__next__
            latest = Reading.objects
            past = Reading.objects.as_of(when)
            if label == "the middle":
                # The same objects at that instant: their values then, as the latest holds them now.
                assert past.get(level=levels[0]).execute().value < latest.get(level=levels[0]).execute().value
            cases = {
                "latest": lambda make=make, keys=keys: make(latest, keys()),
                "as_of": lambda make=make, keys=keys, past=past: make(past, keys()),
            }
            lines.append(_compare(ctx, backend, f"{query}, as of {label}", cases,
                                  f"as_of ({label}) / latest: {query}", 1.5))
    ctx.report.table(
        f"As-of reads over {objects:,} objects x {versions} versions, {backend.name} "
        f"({ctx.how(backend, ctx.rounds())})",
        ["query", "latest objects", "as_of", "ratio"],
        lines,
    )


def _long_object(backend: Backend, versions: int) -> tuple[str, int]:
    """A store whose object 1 has ``versions`` versions."""
    url = backend.new_store(f"history_{versions}")
    configure_databases(url)
    obj = Reading(**reading(0, 1)).save()
    for n in range(1, versions):
        obj.value = float(n)
        obj.save()
    close_stores()
    backend.after_fill(url)
    configure_databases(url)
    return url, obj.pk


def history(ctx: Context, backend: Backend) -> None:
    versions = ctx.args.history_versions
    url, pk = _long_object(backend, versions)
    conn = _connect(backend, url)
    sql = backend.sql(
        f"SELECT {', '.join(FIELDS)}, {STAMPS}, \"_object_version\" FROM readings__history "
        'WHERE "_object_id" = ? ORDER BY "_object_version"'
    )
    width = len(FIELDS)

    def bare() -> list[PlainReading]:
        return [PlainReading(**dict(zip(FIELDS, row[:width]))) for row in conn.execute(sql, (pk,)).fetchall()]

    def store() -> list[Reading]:
        return Reading.objects.history(pk).execute()

    assert len(bare()) == len(store()) == versions
    line = _compare(ctx, backend, f"history() of {versions:,} versions", {"bare SQL": bare, "history()": store},
                    f"history() of {versions:,} versions / bare SQL", 1.5)
    conn.close()
    ctx.report.table(
        f"One object's history, {backend.name} ({ctx.how(backend, ctx.rounds())})",
        ["read", "bare SQL + one model per row", "history()", "ratio"],
        [line],
    )


def feed(ctx: Context, backend: Backend) -> None:
    changes = ctx.args.feed_changes
    url = backend.store(Dataset(changes, changes, 1))
    conn = _connect(backend, url)
    if backend.kind == "sqlite":
        sql = ('SELECT h."_tx", h."_object_id", h."_object_version", h."_deleted", h."_saved_at", h."_note" '
               'FROM readings__history AS h WHERE h."_tx" >= 0 ORDER BY h."_tx", h."_object_id", h."_object_version"')
    else:
        sql = ('SELECT f.position, h."_object_id", h."_object_version", h."_deleted", h."_saved_at", h."_note" '
               'FROM readings__feed AS f JOIN readings__history AS h ON h."_tx" = f.tx WHERE f.position >= 0 '
               'ORDER BY f.position, h."_object_id", h."_object_version"')

    def bare() -> list[Any]:
        return conn.execute(sql).fetchall()

    def store() -> list[Any]:
        return Reading.objects.changes(since=None).execute()

    # Resumed from a cursor: the first change's.
    first = Reading.objects.changes()[:1].execute()[0]

    def resumed() -> list[Any]:
        return Reading.objects.changes(since=first.cursor).execute()

    assert len(bare()) == len(store()) == changes == len(resumed()) + 1
    lines = [
        _compare(ctx, backend, f"changes() reading {changes:,}", {"bare SQL": bare, "changes()": store},
                 f"changes() of {changes:,} / bare SQL", 1.3, large=True),
        _compare(ctx, backend, f"changes(since=cursor) reading {changes - 1:,}", {"bare SQL": bare, "changes()": resumed},
                 f"changes(since=...) of {changes - 1:,} / bare SQL", 1.3, large=True),
    ]
    conn.close()
    ctx.report.table(
        f"The change feed, {backend.name} ({ctx.how(backend, ctx.rounds(True))})",
        ["read", "bare SQL", "changes()", "ratio"],
        lines,
    )


def prune(ctx: Context, backend: Backend) -> None:
    objects, versions = ctx.args.objects, ctx.args.versions
    data = Dataset(objects, objects, versions)
    configure_databases(backend.store(data))
    keep = max(1, versions // 10)
    rows = objects * versions
    start = time.perf_counter()
    removed = Reading.objects.prune(keep_last=keep)
    elapsed = time.perf_counter() - start
    assert removed == objects * (versions - keep), removed
    assert Reading.objects.count().execute() == objects
    close_stores()
    # The long store lost its history: a later scenario fills a new one.
    backend._stores.pop(data.key, None)
    ctx.report.table(
        f"Pruning, {backend.name} (wall time, one run)",
        ["history rows", "removed", "one transaction"],
        [[f"{rows:,}", f"{removed:,} ({removed / rows:.0%})", f"{elapsed:.1f} s"]],
    )
    ctx.report.note(f"prune of {removed:,} of {rows:,} history rows on {backend.name}: {elapsed:.1f} s")
