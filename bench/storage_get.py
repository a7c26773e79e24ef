"""One-row ``get()`` by an indexed field: the fixed cost of a query.

``Reading.objects.get(level=k).execute()`` (and ``aexecute()``) over the store of
``--objects`` objects saved once each (``level`` unique), the keys cycling through
the objects. Baseline: the bare driver running ``SELECT ... WHERE level = ?`` on the
plain table plus one ``PlainReading``; on SQLite over one open connection, on
PostgreSQL through a connection pool (``psycopg_pool``, autocommit, no check on
checkout). The other mappers run their own ``get`` in the same rounds.
"""

from __future__ import annotations

import itertools

from storage_base import Backend, Context, Dataset, Op, Reading, bare_get_sql, compare, one, reading

SYNC = "QuerySet.get().execute()"
ASYNC = "QuerySet.get().aexecute()"


def run(ctx: Context) -> None:
    for backend in ctx.backends:
        get(ctx, backend)


def get(ctx: Context, backend: Backend) -> None:
    objects = ctx.args.objects
    data = Dataset(objects, objects, 1)
    backend.store(data)
    table = backend.plain(data)
    step = max(1, objects // 97)
    levels = [reading(i, objects)["level"] for i in range(0, objects, step)]
    sql = bare_get_sql(backend, table)
    pool = None
    if backend.kind == "sqlite":
        bare_name = "bare query + BaseModel"
        conn = backend.connect_plain(autocommit=True)
        key = itertools.cycle(levels).__next__
        ops = [Op(bare_name, lambda: one(conn.execute(sql, (key(),)).fetchall()))]
    else:
        from psycopg_pool import ConnectionPool

        bare_name = "bare pooled query + BaseModel"
        pool = ConnectionPool(backend.plain_source, min_size=1, max_size=1, kwargs={"autocommit": True}, open=True)
        key = itertools.cycle(levels).__next__

        def bare() -> object:
            with pool.connection() as c:
                return one(c.execute(sql, (key(),)).fetchall())

        ops = [Op(bare_name, bare)]
    sync_key, async_key = itertools.cycle(levels).__next__, itertools.cycle(levels).__next__
    ops += [
        Op(SYNC, lambda: Reading.objects.get(level=sync_key()).execute()),
        Op(ASYNC, acall=lambda: Reading.objects.get(level=async_key()).aexecute()),
    ]
    for peer in ctx.peers_on(backend):
        peer_get, peer_key = peer.get(backend.kind, table), itertools.cycle(levels).__next__
        ops.append(Op(peer.name, lambda g=peer_get, k=peer_key: g(k())))
    for op in ops:
        assert op.once().level in levels, op.name
    figures = compare(ops, backend.clock, ctx.rounds(), ctx.args.min_time)
    if pool is not None:
        pool.close()
    lines = []
    for name, fig in figures.items():
        lines.append([name, fig.time_text(), fig.ratio_text()])
        ctx.report.plot("get", backend.name, name, fig.time * 1e6)
    per_async = [a / s for a, s in zip(figures[ASYNC].times, figures[SYNC].times)]
    ctx.report.table(
        f"One-row get() by an indexed field, {objects:,} objects, {backend.name} ({ctx.how(backend, ctx.rounds())})",
        ["run", "per get", f"vs {bare_name}"],
        lines,
    )
    if backend.kind == "sqlite":
        ctx.report.target(f"get {backend.name}: {SYNC} / bare query", figures[SYNC].ratios, 3.0)
        ctx.report.target(f"get {backend.name}: aexecute() / execute()", per_async, 1.3)
    else:
        ctx.report.target(f"get {backend.name}: {SYNC} / bare pooled query", figures[SYNC].ratios, 1.5)
