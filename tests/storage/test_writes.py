"""Saving, versions, deletion, transactions and class-schema evolution on the object store."""

from __future__ import annotations

import asyncio
import datetime
import gc
import threading
import weakref
from typing import Any

import pytest
from pydantic import BaseModel, model_serializer
from store_models import Item

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.store import ConflictError, InvalidValueError
from kestrum_data.store.collection import paused
from kestrum_data.store.storage import storage
from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_models.querysets.errors import BulkOperationError, ObjectDoesNotExistError
from kestrum_models.storage import atransaction, transaction
from kestrum_utils.utils.decorators import mode

HOSTILE = [
    "it's \"quoted\"; DROP TABLE items; --",
    "percent % underscore _ backslash \\",
    "non-BMP 𝄞 😀 and combining é",
    "x" * 1_000_000,
    "nul \x00 inside",
]


def history(model: type[Any], **lookups: Any) -> list[Any]:
    return model.objects.using(LAKEHOUSE_DB_ALIAS).filter(**lookups).order_by("_address__object_version").execute()


@pytest.mark.parametrize("text", HOSTILE, ids=lambda t: t[:12])
def test_values_are_stored_and_queried_back_unchanged(any_store: str, text: str) -> None:
    if "\x00" in text and any_store in ("postgresql", "split-mixed"):
        # PostgreSQL text cannot hold NUL: refused with a clear error, nothing stored.
        with pytest.raises(InvalidValueError, match="NUL"):
            Item(name=text).save()
        assert Item.objects.count().execute() == 0
        return
    item = Item(
        name=text, rank=2**62, price=-0.1, flag=True, tags=[text, "b"], attrs={"k": [1, {"z": None}], "t": text},
        blob=bytes(range(256)), day=datetime.date(1999, 12, 31),
        at=datetime.datetime(2001, 2, 3, 4, 5, 6, 789, tzinfo=datetime.timezone(datetime.timedelta(hours=-5))),
    ).save()
    loaded = Item.objects.get(name=text).execute()
    assert loaded.model_dump() == item.model_dump()
    assert loaded.at == item.at and loaded.at.tzinfo is not None
    assert Item.objects.filter(tags__contains=text).count().execute() == 1


def test_saves_make_versions_and_jorvale_loads_any_of_them(any_store: str) -> None:
    item = Item(name="v1", rank=1).save()
    first = dict(item.metadata)
    item.name, item.rank = "v2", 2
    item.save()
    assert (first["object_version"], item.metadata["object_version"]) == (1, 2)
    assert item.metadata["object_id"] == first["object_id"] and Item.objects.count().execute() == 1
    assert [(i.name, i.metadata["object_version"]) for i in history(Item)] == [("v1", 1), ("v2", 2)]
    assert [i.name for i in Item.objects.using(LAKEHOUSE_DB_ALIAS).latest().execute()] == ["v2"]
    assert Jorvale(item.to_reference()).load_reference().name == "v2"
    old = Jorvale(item.to_reference(latest=False)).load_reference()
    assert old.name == "v2"
    first_ref = item.to_reference(latest=False).model_copy(deep=True)
    first_ref.ref.object_version = "1"
    assert Jorvale(first_ref).load_reference(only=["rank"]).rank == 1
    first_ref.ref.object_version = "3"
    with pytest.raises(ObjectDoesNotExistError):
        Jorvale(first_ref).load_reference()

    async def load() -> tuple[str, str]:
        latest = await Jorvale(item.to_reference()).aload_reference()
        first_ref.ref.object_version = "1"
        return latest.name, (await Jorvale(first_ref).aload_reference()).name

    with mode("async"):
        assert asyncio.run(load()) == ("v2", "v1")


def test_delete_keeps_history_and_stale_writers_conflict(any_store: str) -> None:
    item = Item(name="doomed").save()
    stale = Item.objects.get(name="doomed").execute()
    item.delete()
    assert Item.objects.count().execute() == 0
    assert [i.name for i in history(Item)] == ["doomed"]
    assert Item.objects.using(LAKEHOUSE_DB_ALIAS).latest().count().execute() == 0
    for action in (stale.save, stale.delete):
        with pytest.raises(ConflictError, match="version 2"):
            action()
    item.name = "back"
    item.save()  # the instance that deleted the object may store it again
    assert [i.name for i in Item.objects.execute()] == ["back"] and item.metadata["object_version"] == 3
    with pytest.raises(InvalidValueError, match="not saved"):
        Item(name="never").delete()


def test_transactions_store_everything_or_nothing(any_store: str) -> None:
    kept = Item(name="kept").save()
    with pytest.raises(RuntimeError, match="boom"), transaction():
        Item(name="lost").save()
        kept.name = "changed"
        kept.save()
        assert sorted(i.name for i in Item.objects.execute()) == ["changed", "lost"] or any_store.startswith("split")
        raise RuntimeError("boom")
    assert [i.name for i in Item.objects.execute()] == ["kept"] and kept.metadata["object_version"] == 1
    kept.name = "again"
    with transaction():
        kept.save()
        Item.bulk_save([Item(name=f"n{i}") for i in range(3)])
    assert Item.objects.count().execute() == 4 and kept.metadata["object_version"] == 2
    with pytest.raises(BulkOperationError):
        Item.bulk_save([Item(name="a"), Model.model_construct()])  # type: ignore[list-item]
    with pytest.raises(InvalidValueError, match="twice"):
        Item.bulk_save([kept, kept])


def test_async_writes_and_transactions(any_store: str) -> None:
    async def scenario() -> list[str]:
        item = await Item(name="a").asave()
        item.name = "b"
        await item.asave()
        with pytest.raises(ValueError, match="boom"):
            async with atransaction():
                await Item(name="gone").asave()
                raise ValueError("boom")
        async with atransaction():
            await Item.abulk_save([Item(name="c"), Item(name="d")])
        await item.adelete()
        return sorted(i.name for i in await Item.objects.aexecute())

    with mode("async"):
        assert asyncio.run(scenario()) == ["c", "d"]
    assert [i.name for i in history(Item, name__in=["a", "b"])] == ["a", "b"]


def test_values_of_the_wrong_type_are_refused_on_save(store: str) -> None:
    item = Item(name="ok")
    item.rank = "seven"  # type: ignore[assignment]  # not validated on assignment
    with pytest.raises(InvalidValueError, match="integer"):
        item.save()
    item.rank, item.day = 7, "2020-01-01"  # type: ignore[assignment]
    with pytest.raises(InvalidValueError, match="date"):
        item.save()
    assert Item.objects.count().execute() == 0 and item.metadata is None


def test_concurrent_writers_of_one_object_never_share_a_version(store: str) -> None:
    item = Item(name="contended").save()
    copies = [Item.objects.get(name="contended").execute() for _ in range(6)]
    results: list[str] = []
    barrier = threading.Barrier(len(copies))

    def write(copy: Item, n: int) -> None:
        copy.rank = n
        barrier.wait()
        try:
            copy.save()
            results.append("saved")
        except ConflictError:
            results.append("conflict")

    threads = [threading.Thread(target=write, args=(copy, n)) for n, copy in enumerate(copies)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(results) == ["conflict"] * 5 + ["saved"]
    assert [i.metadata["object_version"] for i in history(Item)] == [1, 2]
    assert Item.objects.get().execute().metadata["object_version"] == 2 == item.metadata["object_version"] + 1


SAVER = """
import sys
sys.path.insert(0, {tests!r})
from kestrum_data.config import configure_databases
from store_models import Item
configure_databases({url!r})
for n in range({start}, {start} + 20):
    Item(name=f"p{{n}}").save()
"""


def test_processes_saving_new_objects_get_distinct_ids(store: str) -> None:
    import os
    import subprocess
    import sys
    from pathlib import Path

    url = storage().latest_db.url
    target = f"sqlite:///{url.target}" if url.kind == "sqlite" else url.target
    tests = str(Path(__file__).parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    workers = [
        subprocess.Popen([sys.executable, "-c", SAVER.format(tests=tests, url=target, start=100 * n)], env=env)
        for n in range(3)
    ]
    assert [worker.wait(120) for worker in workers] == [0, 0, 0]
    stored = Item.objects.execute()
    assert len(stored) == 60 and len({i.metadata["object_id"] for i in stored}) == 60


def test_changed_fields_make_a_new_schema_version_and_old_rows_legacy(any_store: str) -> None:
    class Pet(Model):
        name: str
        age: int

    old = Pet(name="rex", age=3).save()
    assert old.metadata["class_version"] == 1

    class Pet(Model):  # type: ignore[no-redef]  # a compatible change: one more optional field
        name: str
        age: int
        owner: str | None = None

    assert type(Pet.objects.get().execute()) is Pet
    Pet(name="tom", age=1, owner="ann").save()

    class Pet(Model):  # type: ignore[no-redef]  # incompatible: age changes type, a required field appears
        name: str
        age: str
        weight: float

    new = Pet(name="max", age="two", weight=4.5).save()
    assert new.metadata["class_version"] == 3
    found = {p.name: p for p in Pet.objects.execute()}
    assert type(found["max"]) is Pet and found["max"].age == "two"
    assert isinstance(found["rex"], LegacyModel) and found["rex"].original_class is Pet
    assert (found["rex"].age, found["tom"].owner) == (3, "ann")  # type: ignore[attr-defined]
    assert found["rex"].metadata["class_version"] == 1
    assert Pet.objects.filter(age="two").count().execute() == 1
    ClassManager.unregister("Pet")


class _Cycle:
    def __init__(self) -> None:
        self.me = self


@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
def test_bulk_encoding_pauses_the_collector_and_gives_back_the_callers_setting(store: str, enabled: bool) -> None:
    seen: list[bool] = []
    cycles: list[weakref.ref[_Cycle]] = []

    class Probe(BaseModel):  # encoded (to JSON) with the objects holding it
        @model_serializer
        def dump(self) -> dict[str, int]:
            seen.append(gc.isenabled())
            cycles.append(weakref.ref(_Cycle()))
            return {"probe": 1}

    wrong = Item(name="wrong")
    wrong.day = "x"  # type: ignore[assignment]  # refused when encoded, after the probes
    (gc.enable if enabled else gc.disable)()
    try:
        Item.bulk_save([Item(name=f"n{n}", attrs={"p": Probe()}) for n in range(20)])
        with pytest.raises(InvalidValueError):
            Item.bulk_save([Item(name="fine", attrs={"p": Probe()}), wrong])
        assert gc.isenabled() is enabled
        if enabled:
            garbage = [[] for _ in range(50_000)]  # enough allocations for collections to run
            del garbage
            assert len(cycles) == 21 and all(ref() is None for ref in cycles)
    finally:
        gc.enable()
    assert seen and not any(seen)
    assert Item.objects.filter(attrs={"p": {"probe": 1}}).count().execute() == 20


def test_overlapping_pauses_of_threads_give_back_the_setting_found_first() -> None:
    inside, leave = threading.Event(), threading.Event()

    def other() -> None:
        with paused():
            inside.set()
            leave.wait(10)

    thread = threading.Thread(target=other)
    with paused():
        thread.start()
        inside.wait(10)
    assert not gc.isenabled()  # the other thread's pause goes on
    leave.set()
    thread.join()
    assert gc.isenabled()


def test_a_cancelled_save_of_one_object_keeps_its_outcome_on_the_instance(store: str) -> None:
    async def attempt(delay: int) -> tuple[Item, bool]:
        item = Item(name=f"d{delay}")
        task = asyncio.ensure_future(item.asave())
        for _ in range(delay):
            await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            return item, True
        return item, False

    async def scenario() -> list[tuple[Item, bool]]:
        await Item(name="warm").asave()
        return [await attempt(delay) for delay in range(12)]

    with mode("async"):
        outcomes = asyncio.run(scenario())
    stored = {i.name for i in Item.objects.execute()}
    assert any(cancelled for _, cancelled in outcomes)
    for item, _ in outcomes:
        assert (item.metadata is not None) == (item.name in stored), item.name
