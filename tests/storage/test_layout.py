"""The tables behind the store: the latest objects in a table of their own, stores of an earlier
layout migrated on first use, and orders that the indexes serve without sorting."""

from __future__ import annotations

import contextlib
import os
import sqlite3
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import psycopg
import pytest
from store_models import Item

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.config import DatabaseURL, configure_databases, reset_databases
from kestrum_data.store import close_databases
from kestrum_data.store.query import Source, compile_select
from kestrum_data.store.storage import storage

ROOT = Path(__file__).resolve().parents[2]
COLUMNS = '"_object_id", "_object_version", "_class_version", name, rank, price, flag, tags, attrs, blob, day, "at"'


@contextlib.contextmanager
def raw(url: DatabaseURL) -> Iterator[Any]:
    conn: Any = sqlite3.connect(url.target, isolation_level=None) if url.kind == "sqlite" else psycopg.connect(
        url.target, autocommit=True
    )
    try:
        yield conn
    finally:
        conn.close()


def earlier_layout() -> None:
    """Put the store's tables back in the layout earlier versions made: with one database, the
    latest objects a view over the history, the field indexes on the history; every index
    of the latest objects ending in the id, in PostgreSQL without a nulls placement."""
    latest_url, history_url = storage().latest_db.url, storage().history_db.url
    with raw(history_url) as conn:
        if latest_url == history_url:
            if history_url.kind == "sqlite":
                conn.execute('DROP TRIGGER "items__latest"')
            else:
                conn.execute('DROP TRIGGER "items__latest" ON "items__history"')
                conn.execute('DROP FUNCTION "items__latest"()')
            conn.execute("DROP TABLE items")
            conn.execute(f'CREATE VIEW items AS SELECT {COLUMNS} FROM items__history WHERE "_is_latest" = TRUE')
            conn.execute('CREATE INDEX "items__idx__rank" ON items__history (rank, "_object_id")')
            conn.execute('CREATE INDEX "items__idx__flag__rank" ON items__history (flag, rank, "_object_id")')
    if latest_url != history_url:
        with raw(latest_url) as conn:
            conn.execute('DROP INDEX "items__idx__rank"')
            conn.execute('CREATE INDEX "items__idx__rank" ON items (rank, "_object_id")')


def index_tables(url: DatabaseURL) -> dict[str, str]:
    """Each index (but primary keys) of the store's two tables, with the table it indexes."""
    with raw(url) as conn:
        if url.kind == "sqlite":
            rows = conn.execute(
                "SELECT name, tbl_name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"
            ).fetchall()
        else:
            rows = conn.execute(
                "SELECT c.relname, t.relname FROM pg_index AS i JOIN pg_class AS c ON c.oid = i.indexrelid "
                "JOIN pg_class AS t ON t.oid = i.indrelid WHERE NOT i.indisprimary"
            ).fetchall()
    return {name: table for name, table in rows if table in ("items", "items__history")}


def snapshot() -> tuple[list[Any], list[Any]]:
    latest = sorted((i.metadata["object_id"], i.metadata["object_version"], i.name) for i in Item.objects.execute())
    every = Item.objects.using(LAKEHOUSE_DB_ALIAS).execute()
    return latest, sorted((i.metadata["object_id"], i.metadata["object_version"], i.name) for i in every)


def test_a_store_of_the_earlier_layout_is_migrated_keeping_every_version(any_store: str) -> None:
    items = Item.bulk_save([Item(name=f"n{n}", rank=n % 7) for n in range(40)])
    for item in items[:10]:
        item.rank = 100
        item.save()
    items[3].delete()
    items[4].delete()
    before = snapshot()
    earlier_layout()
    configure_databases()  # as a new process
    assert snapshot() == before
    shared = storage().latest_db is storage().history_db
    kind = "sqlite_master" if any_store in ("sqlite", "split-sqlite", "split-mixed") else "pg_class"
    with raw(storage().latest_db.url) as conn:
        query = ("SELECT type FROM sqlite_master WHERE name = 'items'" if kind == "sqlite_master"
                 else "SELECT relkind FROM pg_class WHERE relname = 'items'")
        assert conn.execute(query).fetchone()[0] in ("table", "r")
        if kind == "sqlite_master":
            assert [row[2] for row in conn.execute("PRAGMA index_info('items__idx__rank')")] == ["rank"]
        else:
            definition = conn.execute("SELECT pg_get_indexdef('items__idx__rank'::regclass)").fetchone()[0]
            assert definition.endswith("(rank NULLS FIRST, _object_id)")
    indexes = index_tables(storage().latest_db.url)
    assert indexes["items__idx__rank"] == indexes["items__idx__flag__rank"] == "items"
    if shared:  # field indexes left the history (which keeps its feed and as-of indexes)
        assert {name for name, table in indexes.items() if table == "items__history" and "__idx__" in name} == set()
    assert sorted(i.name for i in Item.objects.filter(rank=100).execute()) == sorted(
        f"n{n}" for n in range(10) if n not in (3, 4)
    )
    items[0].name = "after"
    items[0].save()
    assert Item.objects.get(name="after").execute().metadata["object_version"] == 3
    assert Item.objects.using(LAKEHOUSE_DB_ALIAS).latest().count().execute() == 38 == Item.objects.count().execute()


MIGRATING = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {tests!r})
    from kestrum_data.config import configure_databases
    from store_models import Item
    configure_databases({url!r})
    print(Item.objects.count().execute(), flush=True)
    Item(name="from {n}").save()
    """
)


def test_processes_migrating_at_once_each_read_the_same_objects(store: str) -> None:
    Item.bulk_save([Item(name=f"n{n}") for n in range(30)])
    earlier_layout()
    url = storage().latest_db.url
    target = f"sqlite:///{url.target}" if url.kind == "sqlite" else url.target
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    code = [MIGRATING.format(tests=str(ROOT / "tests" / "storage"), url=target, n=n) for n in range(3)]
    workers = [subprocess.Popen([sys.executable, "-c", c], env=env, stdout=subprocess.PIPE) for c in code]
    outputs = [worker.communicate(timeout=120)[0] for worker in workers]
    assert [worker.returncode for worker in workers] == [0, 0, 0]
    assert {int(output) for output in outputs} <= {30, 31, 32}
    configure_databases()
    assert Item.objects.count().execute() == 33


ORDERS = [
    pytest.param(lambda qs: qs.filter(rank__gte=300).order_by("rank")[1000:1100], False, id="filtered-page"),
    pytest.param(lambda qs: qs.filter(rank__gte=300).order_by("-rank")[1000:1100], False, id="filtered-page-desc"),
    pytest.param(lambda qs: qs.order_by("-rank")[2500:2600], False, id="deep-page-desc"),
    pytest.param(lambda qs: qs.order_by("flag", "rank")[100:200], False, id="two-fields"),
    pytest.param(lambda qs: qs.order_by("-flag", "-rank")[100:200], False, id="two-fields-desc"),
    pytest.param(lambda qs: qs.filter(rank=5).order_by("-rank")[0:2], False, id="equal-desc"),
    pytest.param(lambda qs: qs[2000:2100], False, id="no-order"),
    pytest.param(lambda qs: qs.latest()[10:20], True, id="history-latest"),
]


@pytest.mark.parametrize(("page", "history"), ORDERS)
def test_pages_read_an_index_in_order_and_never_sort(store: str, page: Any, history: bool) -> None:
    Item.bulk_save([Item(name=f"n{n}", rank=n % 1000 or None, flag=n % 2 == 0) for n in range(3000)])
    db = storage().history_db if history else storage().latest_db
    queryset = page(Item.objects.using(LAKEHOUSE_DB_ALIAS) if history else Item.objects)
    source = Source(db.dialect, storage().ensure(Item, db), storage().model_fields(Item), history)
    compiled = compile_select(source, queryset)
    with raw(db.url) as conn:
        if store == "sqlite":
            plan = " ".join(row[3] for row in conn.execute("EXPLAIN QUERY PLAN " + compiled.sql, compiled.params))
            assert "USING INDEX" in plan or plan == "SCAN t"  # a scan of the table is one in id order
            assert "TEMP B-TREE" not in plan
        else:
            # Costs aside: the plan avoids sorting whenever an index can give the order.
            conn.execute("SET enable_seqscan = off")
            conn.execute("SET enable_sort = off")
            plan = " ".join(row[0] for row in conn.execute("EXPLAIN " + compiled.sql, compiled.params))
            assert "Index Scan" in plan and "Sort" not in plan
    found = [(i.rank, i.metadata["object_id"]) for i in queryset.execute()]
    assert found and all(type(object_id) is int for _, object_id in found)


def test_the_postgresql_latest_table_does_not_grow_with_versions(pg_conn: Any, postgres_server: Any) -> None:
    # Without a vacuum in between, every new version of every object used to leave a
    # dead row in the latest table: reads of the latest objects slowed with the history.
    configure_databases(postgres_server.dsn(pg_conn.info.dbname))
    try:
        Item.bulk_save([Item(name=f"n{i}", price=0.0) for i in range(2000)])

        def pages() -> int:
            return int(pg_conn.execute("SELECT pg_relation_size('items') / current_setting('block_size')::int")
                       .fetchone()[0])

        first = pages()
        for round_ in range(1, 13):
            assert Item.objects.update(price=float(round_)) == 2000
        assert pages() <= 3 * first  # grows to a steady size, about 2.3x
        assert Item.objects.filter(price=12.0).count().execute() == 2000
    finally:
        close_databases()
        reset_databases()
