"""Faults: files that are not databases, a server that goes away, killed writers, cancelled coroutines."""

from __future__ import annotations

import asyncio
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from store_models import Item

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.config import configure_databases, reset_databases
from kestrum_data.store import DatabaseError, DatabaseUnavailableError, close_databases
from kestrum_data.store.postgres import PostgresDatabase
from kestrum_data.store.storage import storage
from kestrum_utils.utils.decorators import mode

ROOT = Path(__file__).resolve().parents[2]


def test_a_file_that_is_not_sqlite_is_reported_and_left_alone(tmp_path: Path) -> None:
    path = tmp_path / "notes.txt"
    path.write_bytes(b"these are my notes, not a database" * 100)
    configure_databases(f"sqlite:///{path}")
    try:
        with pytest.raises(DatabaseError, match="notes.txt") as raised:
            Item.objects.execute()
        assert "not a database" in str(raised.value)
        with pytest.raises(DatabaseError):
            Item(name="x").save()
        assert path.read_bytes() == b"these are my notes, not a database" * 100
    finally:
        close_databases()
        reset_databases()


@pytest.fixture
def own_server(monkeypatch: pytest.MonkeyPatch) -> Iterator[Any]:
    """A PostgreSQL server of this test's own, which the test may stop and start."""
    from postgres import PostgresServer, find_bindir

    bindir = find_bindir()
    if bindir is None:
        pytest.skip("PostgreSQL is not installed")
    server = PostgresServer(bindir)
    server.start()
    monkeypatch.setattr(PostgresDatabase, "pool_timeout", 2.0)
    try:
        configure_databases(server.dsn("postgres"))
        yield server
    finally:
        close_databases()
        reset_databases()
        server.stop()


def _pg_ctl(server: Any, action: str) -> None:
    args = ["--pgdata", str(server.datadir), "--wait"]
    if action == "start":
        args += ["--log", str(server.logfile), "-o", f"-p {server.port}"]
    else:
        args += ["--mode=fast"]  # the test server runs without fsync: a crash would lose commits
    server._run("pg_ctl", action, *args)


def test_the_pool_recovers_when_the_server_comes_back(own_server: Any) -> None:
    Item(name="before").save()
    _pg_ctl(own_server, "stop")
    with pytest.raises(DatabaseUnavailableError, match="unavailable"):
        Item.objects.execute()
    with pytest.raises(DatabaseUnavailableError):
        Item(name="during").save()
    _pg_ctl(own_server, "start")
    deadline = time.monotonic() + 30
    while True:
        try:
            assert [i.name for i in Item.objects.execute()] == ["before"]
            break
        except DatabaseUnavailableError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)
    Item(name="after").save()

    async def again() -> int:
        return await Item.objects.count().aexecute()

    with mode("async"):
        assert asyncio.run(again()) == 2


def test_an_event_loop_ends_while_its_pool_is_still_connecting(monkeypatch: pytest.MonkeyPatch) -> None:
    # A "server" that accepts connections and never answers: the pool's worker is
    # still connecting when the runner ends and cancels every task of its loop.
    silent = socket.create_server(("127.0.0.1", 0))
    monkeypatch.setattr(PostgresDatabase, "pool_timeout", 0.3)
    configure_databases(f"postgresql://nobody@127.0.0.1:{silent.getsockname()[1]}/nothing?connect_timeout=2")

    async def query() -> None:
        with pytest.raises(DatabaseUnavailableError):
            await Item.objects.aexecute()

    def run() -> None:
        with mode("async"):
            asyncio.run(query())

    runner = threading.Thread(target=run, daemon=True)
    try:
        runner.start()
        runner.join(30)
        assert not runner.is_alive(), "the event loop did not shut down"
    finally:
        silent.close()
        close_databases()
        reset_databases()


WRITER = textwrap.dedent(
    """
    import sys
    from kestrum_data.config import configure_databases
    sys.path.insert(0, {tests!r})
    from store_models import Item
    configure_databases(**{urls!r})
    objects = Item.bulk_save([Item(name=f"{{n}}", rank=1) for n in range(50)])
    print("ready", flush=True)
    while True:
        for item in objects:
            item.rank += 1
            item.price = float(item.rank)
        Item.bulk_save(objects)
        extra = Item.bulk_save([Item(name="x", rank=0, tags=["y"] * 100) for _ in range(200)])
        for item in extra[::2]:
            item.delete()
    """
)


@pytest.mark.parametrize("layout", ["sqlite", "postgresql", "split-sqlite"])
def test_a_writer_killed_mid_save_leaves_every_earlier_version_intact(
    layout: str, tmp_path: Path, request: pytest.FixtureRequest
) -> None:
    if layout == "postgresql":
        server, conn = request.getfixturevalue("postgres_server"), request.getfixturevalue("pg_conn")
        urls = {"default": server.dsn(conn.info.dbname)}
    elif layout == "sqlite":
        urls = {"default": f"sqlite:///{tmp_path}/one.sqlite3"}
    else:
        urls = {"default": f"sqlite:///{tmp_path}/latest.sqlite3", "lakehouse": f"sqlite:///{tmp_path}/history.sqlite3"}
    urls.setdefault("lakehouse", urls["default"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    for pause in (0.4, 0.9):
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER.format(tests=str(ROOT / "tests" / "storage"), urls=urls)],
            stdout=subprocess.PIPE, env=env,
        )
        assert writer.stdout is not None and writer.stdout.readline().strip() == b"ready"
        time.sleep(pause)
        writer.send_signal(signal.SIGKILL)
        writer.wait()
    configure_databases(**urls)
    try:
        versions: dict[int, list[Any]] = {}
        for item in Item.objects.using(LAKEHOUSE_DB_ALIAS).execute():
            versions.setdefault(item.metadata["object_id"], []).append(item)
        latest = {item.metadata["object_id"]: item for item in Item.objects.execute()}
        assert len(versions) >= 100
        for object_id, found in versions.items():
            found.sort(key=lambda item: item.metadata["object_version"])
            numbers = [item.metadata["object_version"] for item in found]
            # Versions count up without gaps (a deletion record sits between a deleted
            # object's last version and nothing).
            assert numbers == list(range(1, len(numbers) + 1)), object_id
            assert all(item.price in (None, float(item.rank)) for item in found)
            if object_id in latest:
                assert latest[object_id].model_dump() == found[-1].model_dump()
                assert latest[object_id].metadata["object_version"] == numbers[-1]
        assert Item.objects.using(LAKEHOUSE_DB_ALIAS).latest().count().execute() == len(latest)
    finally:
        close_databases()
        reset_databases()


def test_cancelled_coroutines_leave_no_half_write_and_no_busy_connection(store: str) -> None:
    async def scenario() -> tuple[int, int]:
        task = asyncio.ensure_future(Item.abulk_save([Item(name=f"c{n}", tags=["t"] * 20) for n in range(20_000)]))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        stored = await Item.objects.count().aexecute()
        await Item(name="after").asave()
        reader = asyncio.ensure_future(Item.objects.aexecute())
        await asyncio.sleep(0)
        reader.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reader
        return stored, await Item.objects.filter(name="after").count().aexecute()

    with mode("async"):
        stored, after = asyncio.run(scenario())
    assert stored in (0, 20_000) and after == 1
    assert Item.objects.count().execute() == stored + 1
    assert storage().history_db is storage().latest_db
