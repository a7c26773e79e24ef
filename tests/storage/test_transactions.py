"""Transactions keep their promises: no silent rollback, provisional metadata, cancelled commits, split layouts."""

from __future__ import annotations

import asyncio
import contextlib
import sqlite3
from collections.abc import Iterator
from typing import Any

import psycopg
import pytest
from store_models import Book, Item, Shelf

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.config import DatabaseURL
from kestrum_data.store import ConflictError, DatabaseError, InvalidValueError, StorageError
from kestrum_data.store.storage import storage
from kestrum_models.storage import atransaction, transaction
from kestrum_utils.utils.decorators import mode


@contextlib.contextmanager
def raw(url: DatabaseURL) -> Iterator[Any]:
    """A connection of its own to a store database, in autocommit mode."""
    if url.kind == "sqlite":
        conn: Any = sqlite3.connect(url.target, isolation_level=None)
    else:
        conn = psycopg.connect(url.target, autocommit=True)
    try:
        yield conn
    finally:
        conn.close()


def refuse(url: DatabaseURL, table: str, name: str) -> None:
    """Make the database itself refuse rows of ``table`` whose name is ``name``."""
    with raw(url) as conn:
        if url.kind == "sqlite":
            conn.execute(
                f'CREATE TRIGGER refuse BEFORE INSERT ON "{table}" WHEN NEW.name = \'{name}\' '
                "BEGIN SELECT RAISE(ABORT, 'refused'); END"
            )
        else:
            conn.execute(f'ALTER TABLE "{table}" ADD CONSTRAINT refuse CHECK (name IS DISTINCT FROM \'{name}\')')


def names(**lookups: Any) -> list[str]:
    return sorted(item.name for item in Item.objects.filter(**lookups).execute())


def test_a_failed_write_is_undone_alone_and_the_transaction_goes_on(store: str) -> None:
    Item(name="first").save()
    refuse(storage().history_db.url, "items__history", "bad")
    with transaction():
        kept = Item(name="kept").save()
        with pytest.raises(StorageError):
            Item(name="bad").save()
        with pytest.raises(StorageError):
            Item.bulk_save([Item(name="fresh"), Item(name="bad")])
        kept.name = "bad"
        with pytest.raises(StorageError):
            kept.save()
        assert kept.metadata["object_version"] == 1  # the failed write reverted its own change only
        kept.name = "kept again"
        kept.save()
        with pytest.raises(RuntimeError), transaction():  # a nested block is undone alone
            Item(name="inner").save()
            raise RuntimeError
    assert names() == ["first", "kept again"] and kept.metadata["object_version"] == 2


def test_any_other_failed_statement_makes_the_block_raise_at_its_end(store: str) -> None:
    lost = Item(name="lost")
    with pytest.raises(DatabaseError, match="rolled back") as raised, transaction() as tx:
        lost.save()
        with pytest.raises(Exception):
            tx.driver.query("SELECT * FROM no_such_table")
        with pytest.raises(DatabaseError, match="cannot go on"):
            Item(name="later").save()
    assert raised.value.__cause__ is not None
    assert names() == [] and lost.metadata is None


@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_later_writes_of_an_instance_in_one_transaction_follow_on(any_store: str, asynchronous: bool) -> None:
    loaded = Item(name="loaded").save()
    new = Item(name="new")

    def steps() -> Iterator[Any]:
        yield new.save, new.asave
        yield new.save, new.asave  # the same object, version 2
        yield loaded.save, loaded.asave
        yield loaded.delete, loaded.adelete
        yield loaded.save, loaded.asave  # deleted, then saved again

    async def run_async() -> None:
        async with atransaction():
            for _, step in steps():
                await step()

    if asynchronous:
        with mode("async"):
            asyncio.run(run_async())
    else:
        with transaction():
            for step, _ in steps():
                step()
    assert (new.metadata["object_version"], loaded.metadata["object_version"]) == (2, 4)
    versions = Item.objects.using(LAKEHOUSE_DB_ALIAS).order_by("_address__object_version").execute()
    assert sorted((i.name, i.metadata["object_version"]) for i in versions) == [
        ("loaded", 1), ("loaded", 2), ("loaded", 4), ("new", 1), ("new", 2)
    ]
    assert names() == ["loaded", "new"]


def test_metadata_is_provisional_until_commit(any_store: str) -> None:
    kept = Item(name="kept").save()
    new = Item(name="new")
    with pytest.raises(RuntimeError), transaction():
        new.save()
        kept.save()
        kept.delete()
        assert new.metadata["object_version"] == 1 and kept.metadata["object_version"] == 3
        raise RuntimeError
    assert new.metadata is None and kept.metadata["object_version"] == 1
    twin = Item.objects.get().execute()
    with pytest.raises(InvalidValueError, match="two different instances"):
        Item.bulk_save([kept, twin])
    with transaction():
        kept.save()
        with pytest.raises(ConflictError, match="another instance"):
            twin.save()
    assert names() == ["kept"] and kept.metadata["object_version"] == 2


def test_a_cancellation_during_commit_leaves_the_outcome_on_the_instances(any_store: str) -> None:
    item = Item(name="committing")

    async def scenario() -> None:
        task = asyncio.current_task()
        assert task is not None
        async with atransaction():
            await item.asave()
            # Delivered at the block's first await after it: the one for COMMIT.
            asyncio.get_running_loop().call_soon(task.cancel)

    with mode("async"), pytest.raises(asyncio.CancelledError):
        asyncio.run(scenario())
    assert item.metadata is not None and names() == ["committing"]


@pytest.mark.parametrize("known", [False, True], ids=["new-class", "known-class"])
def test_reads_inside_the_first_writing_transaction_publish_nothing_uncommitted(any_store: str, known: bool) -> None:
    if known:  # registered, and published by an earlier write, but new to this process
        Item(name="old").save()
        storage().forget()
    with pytest.raises(RuntimeError), transaction():
        Item(name="ghost").save()
        assert ("ghost" in names()) is not any_store.startswith("split")  # split: published at commit
        raise RuntimeError
    assert names() == (["old"] if known else [])
    with transaction():
        Item(name="real").save()
        Item.objects.count().execute()
    assert names() == (["old", "real"] if known else ["real"])


def test_concurrent_transactions_reading_a_class_new_to_the_process(any_store: str) -> None:
    Item(name="old").save()
    storage().forget()

    async def write(n: int) -> None:
        async with atransaction():
            await Item(name=f"t{n}").asave()
            await Item.objects.count().aexecute()

    async def scenario() -> list[str]:
        await asyncio.gather(*(write(n) for n in range(8)))
        return sorted(i.name for i in await Item.objects.aexecute())

    with mode("async"):
        assert asyncio.run(scenario()) == sorted(["old", *(f"t{n}" for n in range(8))])


@pytest.mark.parametrize("any_store", ["split-sqlite", "split-mixed"], indirect=True)
def test_a_failed_publication_is_completed_by_the_same_process(any_store: str) -> None:
    Item(name="before").save()
    refuse(storage().latest_db.url, "items", "blocked")
    blocked = Item(name="blocked").save()  # stored in the history: the write reports success
    assert blocked.metadata["object_version"] == 1
    assert Item.objects.using(LAKEHOUSE_DB_ALIAS).filter(name="blocked").count().execute() == 1
    with raw(storage().latest_db.url) as conn:
        conn.execute("DROP TRIGGER refuse")
    assert names() == ["before", "blocked"]


def test_partial_instances_and_unloaded_references_are_refused(store: str) -> None:
    shelf = Shelf(label="top").save()
    Book(title="b", shelf=shelf).save()
    partial = Book.objects.only(["title"]).get().execute()
    stub = Book.objects.get().execute().shelf
    with raw(storage().history_db.url) as conn:
        listing = "SELECT count(*) FROM " + ("sqlite_master" if store == "sqlite" else "pg_class")
        tables = conn.execute(listing).fetchone()
    for write in (partial.save, partial.delete, lambda: type(partial).bulk_save([partial])):
        with pytest.raises(InvalidValueError, match="partial instances cannot be"):
            write()
    for refused in (stub.save, stub.delete, stub.model_dump, Book.objects.get().execute().model_dump_json):
        with pytest.raises(InvalidValueError, match="select_related"):
            refused()
    with raw(storage().history_db.url) as conn:
        assert conn.execute(listing).fetchone() == tables
    assert Book.objects.get().execute().model_dump(exclude={"shelf"}) == {"title": "b"}
    assert Book.objects.select_related("shelf").get().execute().model_dump()["shelf"] == {"label": "top"}
