"""Instances from the store's row records, the decoding of their ids, and the collector during loads."""

import asyncio
import copy
import gc
import json
import os
import threading
import warnings
import weakref
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from pydantic import ValidationError, field_validator
from qs_support import Parcel

from kestrum_glue import Data
from kestrum_glue._records import RowLayout, build
from kestrum_models.classes.model import Model
from kestrum_models.querysets.dunmere import QuerySet
from kestrum_models.querysets.testing import prepared_async_executor, prepared_executor
from kestrum_utils.utils.decorators import mode

PARCEL_ROWS = RowLayout(("code", "weight"), (0, 1), (), None, None)


def records(*object_ids: Any) -> list[Data]:
    """Row records of parcels, as the store makes them, one per object id."""
    return build([(f"c{i}", i, object_id, 1, 1) for i, object_id in enumerate(object_ids)], lambda v: PARCEL_ROWS, {})


def load(twin: str, model: type[Model], rows: list[Data]) -> Any:
    qs = QuerySet(model, prepared_executor(rows), prepared_async_executor(rows))
    if twin == "async":
        with mode("async"):
            return asyncio.run(qs.aexecute())
    return qs.execute()


@pytest.fixture(params=["sync", "async"])
def twin(request: pytest.FixtureRequest) -> str:
    return request.param


@pytest.fixture(autouse=True)
def collector_on() -> Iterator[None]:
    gc.enable()
    yield
    gc.enable()


def test_row_records_become_the_instances_their_fields_make(twin: str) -> None:
    rows = records("7", 8)
    copies = [Data(copy.deepcopy(row.data)) for row in records("7", 8)]
    made, expected = load(twin, Parcel, rows), load(twin, Parcel, copies)
    assert [(obj.model_dump(), obj.metadata) for obj in made] == [(obj.model_dump(), obj.metadata) for obj in expected]
    assert made[0].metadata["object_id"] == 7
    assert rows[0].data["_metadata"]["object_id"] == 7  # decoded in the record's own address


@pytest.mark.parametrize("object_id", [5, '"x"'])
def test_a_replaced_json_loads_sees_every_id(twin: str, monkeypatch: pytest.MonkeyPatch, object_id: Any) -> None:
    seen: list[Any] = []

    def spy(text: Any) -> Any:
        seen.append(text)
        return ("spied", text)

    monkeypatch.setattr(json, "loads", spy)
    (obj,) = load(twin, Parcel, records(object_id))
    assert seen == [object_id] and obj.metadata["object_id"] == ("spied", object_id)


# ---- The collector ----------------------------------------------------------------------------

SEEN: list[bool] = []
GARBAGE: list[weakref.ref[Any]] = []


class Cycle:
    me: Any = None


class Watched(Model):
    __table_name__ = "watched_parcels"

    code: str = ""

    @field_validator("code")
    @classmethod
    def watch(cls, value: str) -> str:
        SEEN.append(gc.isenabled())
        cycle = Cycle()
        cycle.me = cycle
        GARBAGE.append(weakref.ref(cycle))
        if value == "bad":
            raise ValueError("bad code")
        return value


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("failing", [False, True])
def test_the_collector_is_paused_while_instances_are_made(twin: str, enabled: bool, failing: bool) -> None:
    SEEN.clear()
    rows = [Data({"code": "a"}), Data({"code": "bad" if failing else "b"})]
    (gc.enable if enabled else gc.disable)()
    if failing:
        with pytest.raises(ValidationError):
            load(twin, Watched, rows)
    else:
        load(twin, Watched, rows)
    assert SEEN == [False, False] and gc.isenabled() is enabled


def test_cycles_made_during_a_load_are_collected_afterwards(twin: str) -> None:
    GARBAGE.clear()
    loaded = load(twin, Watched, [Data({"code": str(i)}) for i in range(50)])
    assert len(loaded) == 50 and gc.isenabled()
    kept = [[] for _ in range(5000)]  # enough allocations to start a collection of their own
    assert len(kept) == 5000 and [ref() for ref in GARBAGE] == [None] * 50


class OtherThread:
    """A thread running ``work(wait)``, held up in ``wait`` until the block that made it ends."""

    def __init__(self, work: Callable[[Callable[[Any], Any]], Any]) -> None:
        self.started, self.release = threading.Event(), threading.Event()
        self.thread = threading.Thread(target=work, args=(self.wait,))

    def wait(self, value: Any) -> Any:
        self.started.set()
        self.release.wait(30)
        return value

    def start(self) -> None:
        self.thread.start()
        assert self.started.wait(30)

    def __enter__(self) -> "OtherThread":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.release.set()
        if self.thread.ident:
            self.thread.join(30)


def records_waiting(wait: Callable[[Any], Any]) -> list[Data]:
    return build([("w", 1, 1, 1, 1)], lambda v: RowLayout(("code", "weight"), (0, 1), ((0, wait, None),), None, None), {})


def instances_waiting(wait: Callable[[Any], Any]) -> Any:
    class Waiting(Model):
        __table_name__ = "waiting_parcels"

        code: str = ""

        @field_validator("code")
        @classmethod
        def check(cls, value: str) -> str:
            return wait(value)

    return load("sync", Waiting, [Data({"code": "w"})])


@pytest.mark.parametrize("other_work", [instances_waiting, records_waiting])
def test_the_collector_stays_paused_until_the_last_load_of_any_thread_ends(other_work: Any) -> None:
    with OtherThread(other_work) as other:

        class Starting(Model):
            __table_name__ = "starting_parcels"

            code: str = ""

            @field_validator("code")
            @classmethod
            def check(cls, value: str) -> str:
                other.start()  # its work starts during this load and outlasts it
                return value

        load("sync", Starting, [Data({"code": "mine"})])
        paused_after_mine = not gc.isenabled()
    assert paused_after_mine and gc.isenabled()


def test_a_process_forked_while_another_thread_loads_collects_again() -> None:
    with OtherThread(records_waiting) as other:
        other.start()
        read, write = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
            pid = os.fork()
        if pid == 0:  # the child: the loading thread is not there, nor its pause
            os.write(write, b"1" if gc.isenabled() else b"0")
            os._exit(0)
        os.close(write)
        in_child = os.read(read, 1)
        os.close(read)
        os.waitpid(pid, 0)
        paused_here = not gc.isenabled()
    assert (in_child, paused_here) == (b"1", True)


class _Row:
    """A row record of the executor's own kind, which a weak reference can follow."""

    __slots__ = ("data", "metadata", "__weakref__")

    def __init__(self, code: str) -> None:
        self.data, self.metadata = {"code": code}, None


@pytest.mark.parametrize("kept_by_executor", [False, True])
def test_records_are_released_as_their_instances_are_made_unless_someone_holds_the_list(
    twin: str, kept_by_executor: bool
) -> None:
    made: list[_Row] = []
    alive_at_each_instance: list[int] = []
    refs: list[weakref.ref[_Row]] = []

    class Counted(Model):
        code: str

        @field_validator("code")
        @classmethod
        def count_live_rows(cls, value: str) -> str:
            alive_at_each_instance.append(sum(ref() is not None for ref in refs))
            return value

    def rows() -> list[_Row]:
        fresh = [_Row(f"c{i}") for i in range(4)]
        refs[:] = [weakref.ref(row) for row in fresh]
        if kept_by_executor:
            made[:] = fresh
        return fresh

    class Executor:
        def __init__(self, queryset: Any) -> None:
            pass

        def query(self) -> list[_Row]:
            return rows()

        async def aquery(self) -> list[_Row]:
            return rows()

    class AsyncExecutor(Executor):
        query = Executor.aquery  # type: ignore[assignment]

    qs = QuerySet(Counted, Executor, AsyncExecutor)
    if twin == "async":
        with mode("async"):
            loaded = asyncio.run(qs.aexecute())
    else:
        loaded = qs.execute()
    assert [obj.code for obj in loaded] == ["c0", "c1", "c2", "c3"]
    # The list passed on by the executor alone goes row by row; one it holds stays whole.
    assert alive_at_each_instance == ([4, 4, 4, 4] if kept_by_executor else [4, 3, 2, 1])
    assert all(ref() is not None for ref in refs) is kept_by_executor
