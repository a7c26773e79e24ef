"""Queries of one shape share their statement, never their values; reads cost no needless round trip."""

from __future__ import annotations

import asyncio
import datetime
import math
import os
import signal
import sqlite3
import threading
import time
from typing import Any

import pytest
from psycopg_pool import AsyncConnectionPool, ConnectionPool
from store_models import Item

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.config import configure_databases
from kestrum_data.store import InvalidValueError, UnknownFieldError, close_databases, postgres, sqlite
from kestrum_data.store.query import Source, lookup_sql, plain_lookup
from kestrum_data.store.storage import storage
from kestrum_models.storage import atransaction
from kestrum_utils.models.enums import Versions
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode

ITEMS = [
    dict(name="apple", rank=3, price=1.5),
    dict(name="Apricot", rank=None, price=0.0),
    dict(name="banana", rank=7, price=-0.0),
    dict(name="Straße", rank=1, price=math.nan),
    dict(name="", rank=-2, price=None),
]


@pytest.fixture
def items(store: str) -> list[Item]:
    return Item.bulk_save([Item(**fields) for fields in ITEMS])


def names(objects: list[Item]) -> list[str]:
    return sorted(obj.name for obj in objects)


@pytest.mark.parametrize(
    ("key", "values"),
    [
        ("rank", [3, None, 7]),
        ("rank__ne", [None, 3]),
        ("rank__in", [[1, 7], [], [None, 3], [3]]),
        ("price", [0.0, math.nan, 1.5, -0.0]),
        ("price__lt", [1.0, math.nan, 0.0]),
        ("price__in", [[1.5, math.inf], [0.0], [math.nan, None], [-0.0, 1.5]]),
        ("name__contains", ["an", "", "ß"]),
        ("name__icontains", ["AP", "SS", "strasse", ""]),
        ("name", ["apple", "a\0b", ""]),
    ],
)
def test_values_that_compile_differently_never_share_a_statement(items: list[Item], key: str, values: list[Any]) -> None:
    rows = [obj.model_dump() for obj in items]
    for value in values + values[::-1]:  # each value after each other one
        expected = sorted(row["name"] for row in rows if Q(**{key: value}).matches(row))
        assert names(Item.objects.filter(**{key: value}).execute()) == expected, value
        assert Item.objects.filter(**{key: value}).count().execute() == len(expected)
        assert names(Item.objects.exclude(**{key: value}).order_by("name")[0:10].execute()) == sorted(
            row["name"] for row in rows if not Q(**{key: value}).matches(row)
        )


def test_latest_versions_and_version_numbers_share_no_statement(items: list[Item]) -> None:
    items[0].rank = 4
    items[0].save()
    history = Item.objects.using(LAKEHOUSE_DB_ALIAS).filter(name="apple")
    for version, ranks in [(Versions.LATEST, [4]), (1, [3]), (Versions.LATEST, [4]), (2, [4])]:
        assert [obj.rank for obj in history.filter(_address__object_version=version).execute()] == ranks


LOOKUP_VALUES = [
    3, -(2**63), 2**63, "3", "x", "a\0b", "", None, True, 1.5, math.nan, b"b", [1], {"a": 1}, Versions.LATEST,
    datetime.date(2020, 1, 2), datetime.datetime(2020, 1, 2, 3, tzinfo=datetime.UTC),
]


@pytest.mark.parametrize(
    ("key", "plain"),
    [
        *[(key, True) for key in ("rank", "rank__ne", "rank__lt", "name", "name__neq", "name__gte", "flag", "day__lt",
                                  "at", "blob", "_address__object_id", "_address__object_id__ne", "_address__object_id__gt")],
        *[(key, False) for key in ("price", "price__lt", "tags", "attrs", "rank__in", "rank__isnull", "name__contains",
                                   "_address__object_version", "_address__class_version", "nosuch", "rank__x__y", "")],
    ],
)
def test_lookups_bound_without_compiling_are_what_the_compiler_writes(store: str, key: str, plain: bool) -> None:
    db = storage().latest_db
    source = Source(db.dialect, storage().ensure(Item, db), storage().model_fields(Item), False)
    found = plain_lookup(source, key)
    assert (found is not None) == plain
    for value in LOOKUP_VALUES:
        if found is None or not found.fits(value):
            continue
        try:
            expected: Any = lookup_sql(source, [(key, value)])
        except Exception as error:  # noqa: BLE001
            expected = type(error)
        try:
            bound: Any = ([found.sql], [found.encode(value)])
        except Exception as error:  # noqa: BLE001
            bound = type(error)
        assert bound == expected, value


@pytest.mark.parametrize(
    ("build", "error"),
    [
        (lambda qs: qs.get(rank="three"), InvalidValueError),
        (lambda qs: qs.get(rank__in=3), InvalidValueError),
        (lambda qs: qs.get(nosuch=3), UnknownFieldError),
        (lambda qs: qs[-1:1].get(rank=3), InvalidValueError),
        (lambda qs: qs.get(_address__object_id="x"), InvalidValueError),
    ],
)
def test_values_are_checked_on_every_run_of_a_known_shape(items: list[Item], build: Any, error: type[Exception]) -> None:
    for _ in range(2):
        assert Item.objects.get(rank=3).execute().name == "apple"
        assert Item.objects.get(_address__object_id=items[0].metadata["object_id"]).execute().name == "apple"
    with pytest.raises(error):
        build(Item.objects).execute()


def test_a_new_configuration_reads_its_own_database(store: str, tmp_path: Any) -> None:
    Item(name="first").save()
    assert names(Item.objects.filter(rank=None).execute()) == ["first"]
    configure_databases(f"sqlite:///{tmp_path}/other.sqlite3")
    Item(name="second").save()
    assert names(Item.objects.filter(rank=None).execute()) == ["second"]


@pytest.mark.parametrize("store", ["postgresql"], indirect=True)
@pytest.mark.parametrize("signalled", [True, False], ids=["seen-idle", "found-on-use"])
def test_the_pool_checks_connections_only_when_they_may_be_dead(
    store: str, monkeypatch: pytest.MonkeyPatch, pg_conn: Any, signalled: bool
) -> None:
    checks = []
    for pool in (ConnectionPool, AsyncConnectionPool):
        original = pool.check_connection
        monkeypatch.setattr(pool, "check_connection", staticmethod(lambda conn, o=original: checks.append(1) or o(conn)))
    Item(name="a").save()

    async def read() -> list[str]:
        return names(await Item.objects.filter(name="a").aexecute())

    for n in range(5):
        assert names(Item.objects.filter(name="a").execute()) == ["a"] and Item.objects.count().execute() == 1 + n
        Item(name="b").save()
        with mode("async"):
            assert asyncio.run(read()) == ["a"]
    assert checks == []  # a healthy pool: no query but the work's own
    if not signalled:  # a connection that died without a word is found when it is used
        monkeypatch.setattr(postgres, "_suspect", lambda conn: False)
    pg_conn.execute(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND datname = %s",
        [pg_conn.info.dbname],
    )
    assert names(Item.objects.filter(name="a").execute()) == ["a"]
    Item(name="c").save()
    assert Item.objects.count().execute() == 7


@pytest.mark.parametrize("store", ["postgresql"], indirect=True)
def test_repeated_shapes_are_prepared_on_the_server(store: str, pg_conn: Any, postgres_server: Any) -> None:
    configure_databases(postgres_server.dsn(pg_conn.info.dbname) + "?pool_size=1")
    Item.bulk_save([Item(name=f"n{n}") for n in range(3)])
    for n in range(3):
        assert Item.objects.get(name=f"n{n}").execute().name == f"n{n}"
    with storage().latest_db.connect() as driver:
        prepared = [row[0] for row in driver.query("SELECT statement FROM pg_prepared_statements")]
    assert any('"name" = $1' in statement and "LIMIT $2" in statement for statement in prepared), prepared


@pytest.mark.parametrize("store", ["sqlite"], indirect=True)
def test_small_async_reads_wait_for_a_locked_database_off_the_loop(store: str) -> None:
    Item(name="a").save()
    path = storage().latest_db.url.target
    close_databases()  # the lock below needs the file to itself
    locker = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    locker.execute("PRAGMA locking_mode = EXCLUSIVE")
    locker.execute("BEGIN EXCLUSIVE")
    locker.execute("UPDATE items__history SET name = name")
    ticks = []

    async def tick() -> None:
        while True:
            ticks.append(1)
            await asyncio.sleep(0.01)

    async def scenario() -> list[str]:
        ticker = asyncio.create_task(tick())
        threading.Timer(0.5, locker.close).start()
        try:
            found = [(await Item.objects.get(name="a").aexecute()).name]
        finally:
            ticker.cancel()
        found.append((await Item.objects.get(name="a").aexecute()).name)
        async with atransaction():  # reads inside a transaction run on it and see its writes
            await Item(name="b").asave()
            found.append((await Item.objects.get(name="b").aexecute()).name)
        return found

    try:
        with mode("async"):
            assert asyncio.run(scenario()) == ["a", "a", "b"]
    finally:
        locker.close()
    assert len(ticks) >= 5  # the loop ran on while the read waited for the lock


@pytest.mark.parametrize("store", ["sqlite"], indirect=True)
def test_small_async_reads_that_run_long_move_off_the_loop(store: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sqlite, "DIRECT_READ_INSTRUCTIONS", 2_000)
    Item.bulk_save([Item(name=f"n{n}", rank=n) for n in range(1000)])

    async def scenario() -> list[Any]:
        return [
            (await Item.objects.first(name="n999").aexecute()).rank,  # an unindexed scan: too long for the loop
            (await Item.objects.get(rank=5).aexecute()).name,  # through an index: at once
            (await Item.objects.first(name="n998").aexecute()).rank,
        ]

    with mode("async"):
        assert asyncio.run(scenario()) == [999, "n5", 998]
    assert len(storage().latest_db._slow) == 1  # one statement, found too long once



@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_forked_while_another_thread_reads_can_read(store: str) -> None:
    Item(name="a").save()
    db = storage().latest_db
    inside, done = threading.Event(), threading.Event()

    def reading() -> None:  # a thread caught while it takes its hold on the database
        with db._lease_lock:
            inside.set()
            done.wait(30)

    reader = threading.Thread(target=reading)
    reader.start()
    inside.wait(30)
    pid = os.fork()
    if pid == 0:
        try:
            code = 0 if names(Item.objects.execute()) == ["a"] else 1
        except BaseException:  # noqa: BLE001
            code = 2
        os._exit(code)
    done.set()
    reader.join()
    deadline = time.monotonic() + 30
    while (found := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if found[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    assert found[0] == pid and os.waitstatus_to_exitcode(found[1]) == 0
