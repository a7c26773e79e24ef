"""Saving new objects: ``Model.bulk_save`` and single ``save()`` against bare inserts.

Bulk: at each size of ``--save-sizes``, every round saves that many new objects into
an empty store (a fresh database, its tables made and its connection opened by one
untimed save), against a bare insert of the same values, taken from ``PlainReading``
objects, into a fresh plain table with the same index: ``executemany`` in one
transaction on SQLite, ``COPY`` on PostgreSQL. The objects are built before the
timed part on both sides.

Single: one ``save()`` of a new object at a time, against one autocommit ``INSERT``
of the same values at a time on an open connection.
"""

from __future__ import annotations

import operator
from typing import Any

from storage_base import (
    COLUMNS,
    FIELDS,
    Backend,
    Case,
    Context,
    PlainReading,
    Reading,
    calibrate,
    close_stores,
    fmt_count,
    measure,
    reading,
)
from kestrum_models.storage import configure_databases

values = operator.attrgetter(*FIELDS)
LEVELS = 1000


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        for rows in ctx.args.save_sizes:
            bulk(ctx, backend, rows)
        single(ctx, backend)


def insert_sql(backend: Backend, table: str) -> str:
    return backend.sql(f"INSERT INTO {table} ({COLUMNS}) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")


def bare_bulk(backend: Backend, conn: Any, table: str, objects: list[PlainReading]) -> None:
    if backend.kind == "sqlite":
        conn.execute("BEGIN")
        conn.executemany(insert_sql(backend, table), [values(obj) for obj in objects])
        conn.execute("COMMIT")
    else:
        with conn.transaction(), conn.cursor().copy(f"COPY {table} ({COLUMNS}) FROM STDIN") as copy:
            for obj in objects:
                copy.write_row(values(obj))


def bulk(ctx: Context, backend: Backend, rows: int) -> None:
    state: dict[str, Any] = {}
    bare_name, ours_name = ("bare executemany" if backend.kind == "sqlite" else "bare COPY"), "Model.bulk_save()"

    def new_objects(cls: type) -> list[Any]:
        return [cls(**reading(i, LEVELS)) for i in range(1, rows + 1)]

    def prepare_bare() -> None:
        state.pop("objects", None)
        if "conn" in state:
            state.pop("conn").close()
        conn = state["conn"] = backend.scratch("bulk_plain")
        conn.execute(insert_sql(backend, "bulk_plain"), values(PlainReading(**reading(0, LEVELS))))
        state["objects"] = new_objects(PlainReading)

    def prepare_ours() -> None:
        state.pop("objects", None)
        close_stores()
        configure_databases(backend.new_store("bulk"))
        Reading(**reading(0, LEVELS)).save()
        state["objects"] = new_objects(Reading)

    cases = [
        Case(bare_name, lambda: bare_bulk(backend, state["conn"], "bulk_plain", state["objects"]), prepare_bare),
        Case(ours_name, lambda: Reading.bulk_save(state["objects"]), prepare_ours),
    ]
    large = rows >= 100_000
    figures = measure(cases, backend.clock, ctx.rounds(large), 1)
    state.pop("conn").close()
    state.clear()
    close_stores()
    backend.drop_store("bulk")
    lines = []
    for name, fig in figures.items():
        lines.append([name, fig.time_text(), f"{fig.time / rows * 1e6:.2f} µs", f"{rows / fig.time:,.0f}",
                      fig.ratio_text()])
        ctx.report.plot_point("save", backend.name, name, (rows, fig.time / rows * 1e6))
    ctx.report.table(
        f"Bulk save of {rows:,} new objects, {backend.name} ({ctx.how(backend, ctx.rounds(large), 'one save')})",
        ["run", "per save", "per object", "objects/s", f"vs {bare_name}"],
        lines,
    )
    ctx.report.target(f"bulk save {fmt_count(rows)} {backend.name}: bulk_save() / {bare_name}",
                      figures[ours_name].ratios, 1.2)


def single(ctx: Context, backend: Backend) -> None:
    url = backend.new_store("single")
    conn = backend.scratch("single_plain")
    sql = insert_sql(backend, "single_plain")
    template = PlainReading(**reading(0, LEVELS))
    calls = calibrate(lambda: conn.execute(sql, values(template)), backend.clock, ctx.args.min_time)
    state: dict[str, Any] = {}

    def prepare_bare() -> None:
        state["objects"] = [PlainReading(**reading(i, LEVELS)) for i in range(calls)]

    def prepare_ours() -> None:
        configure_databases(url)
        Reading(**reading(0, LEVELS)).save()  # the store of a new configuration checks its tables on first use
        state["objects"] = [Reading(**reading(i, LEVELS)) for i in range(calls)]

    def run_bare() -> None:
        for obj in state["objects"]:
            conn.execute(sql, values(obj))

    def run_ours() -> None:
        for obj in state["objects"]:
            obj.save()

    bare_name = "bare autocommit INSERT"
    figures = measure([Case(bare_name, run_bare, prepare_bare), Case("Model.save()", run_ours, prepare_ours)],
                      backend.clock, ctx.rounds(), calls)
    conn.close()
    close_stores()
    backend.drop_store("single")
    lines = []
    for name, fig in figures.items():
        lines.append([name, fig.time_text(), fig.ratio_text()])
        ctx.report.plot("single", backend.name, name, fig.time * 1e6)
    ctx.report.table(
        f"Single save of a new object, {backend.name} ({ctx.how(backend, ctx.rounds(), f'{calls} saves')})",
        ["run", "per save", f"vs {bare_name}"],
        lines,
    )
    ctx.report.target(f"single save {backend.name}: save() / {bare_name}", figures["Model.save()"].ratios, 2.0)
