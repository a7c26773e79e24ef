"""A suspended coroutine method holds nothing the garbage collector cannot see."""

import asyncio
import gc
import weakref
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from qs_support import Parcel

import kestrum_models.querysets.dunmere as dunmere
from kestrum_glue import Data
from kestrum_models.querysets.dunmere import QuerySet
from kestrum_utils.utils.decorators import mode


class Suspend:
    """Gives `value` to its awaiter, after suspending it once when `suspends`; `owner` can
    point back at the awaiter. Every instance is recorded (weakly) in `made`."""

    made: list[weakref.ref] = []

    def __init__(self, value: Any = None, suspends: bool = True) -> None:
        self.value, self.suspends, self.owner = value, suspends, None
        Suspend.made.append(weakref.ref(self))

    def __await__(self) -> Iterator[None]:
        if self.suspends:
            yield
        return self.value


class Back:
    """Placed among the rows (after those ever reached), it points back at the coroutine."""

    owner: Any = None


class Executor:
    """An executor whose query() and count() give a Suspend of the rows or their number."""

    def __init__(self, rows: list[Any], suspends: bool) -> None:
        self.rows, self.suspends = rows, suspends

    def __call__(self, queryset: Any) -> "Executor":
        return self

    def query(self) -> Suspend:
        return Suspend(self.rows, self.suspends)

    def count(self) -> Suspend:
        return Suspend(len(self.rows), self.suspends)


def versioned() -> Data:
    """A row whose schema version is looked up (awaited) when it becomes an instance."""
    reference = {"ref": {"object_version": "v1"}}
    return Data({"code": "a", "_metadata": {"object_id": "1", "class_schema_reference": reference}})


class Creating(QuerySet):
    """A query set whose own _acreate_instance suspends."""

    async def _acreate_instance(self, *, _is_partial: bool, data: Any) -> Any:
        return await Suspend(data)


# Each case: the query set, the coroutine to run, whether the query suspends (else the
# schema-version lookup of the first row does), and where the cycle back to the
# coroutine goes: through the awaited object, or through the rows the frame holds.
CASES: dict[str, tuple[Callable[[], Any], Callable[[Any], Any], bool, str]] = {
    "_aexecute_query": (lambda: QuerySet(Parcel), lambda qs: qs._aexecute_query(), True, "awaited"),
    "_aexecute_count": (lambda: QuerySet(Parcel), lambda qs: qs._aexecute_count(), True, "awaited"),
    "_acreate_instance": (
        lambda: QuerySet(Parcel),
        lambda qs: qs._acreate_instance(_is_partial=False, data=versioned()),
        False,
        "awaited",
    ),
    "QuerySet.aexecute": (lambda: QuerySet(Parcel), lambda qs: qs.aexecute(), True, "awaited"),
    "QuerySet.aexecute at a row": (lambda: QuerySet(Parcel), lambda qs: qs.aexecute(), False, "rows"),
    "QuerySet.aexecute, own _acreate_instance": (lambda: Creating(Parcel), lambda qs: qs.aexecute(), False, "rows"),
    "QuerySetOne.aexecute": (lambda: QuerySet(Parcel).first(), lambda qs: qs.aexecute(), True, "awaited"),
    "QuerySetOne.aexecute at the row": (lambda: QuerySet(Parcel).first(), lambda qs: qs.aexecute(), False, "rows"),
    "QuerySetOneRequired.aexecute": (lambda: QuerySet(Parcel).get(), lambda qs: qs.aexecute(), True, "awaited"),
    "QuerySetCount.aexecute": (lambda: QuerySet(Parcel).count(), lambda qs: qs.aexecute(), True, "awaited"),
}


@pytest.fixture(autouse=True)
def suspending_lookup(monkeypatch: pytest.MonkeyPatch) -> None:
    """The schema-version lookup of every row suspends."""

    class Manager:
        def get_latest_schema_version(self, class_name: str) -> Suspend:
            return Suspend("v2")

    monkeypatch.setattr(dunmere, "AsyncHistoricalSchemaVersionManager", Manager)
    Suspend.made = []


def suspended_in_a_cycle(case: str) -> tuple[weakref.ref, weakref.ref]:
    make, run, query_suspends, through = CASES[case]
    back = Back()
    rows = [versioned(), versioned(), back]
    qs = make()
    qs._async_executor = Executor(rows, query_suspends)
    coro = run(qs)
    coro.send(None)
    if through == "rows":
        back.owner = coro
    else:
        Suspend.made[-1]().owner = coro
    return weakref.ref(coro), weakref.ref(qs)


@pytest.mark.parametrize("case", list(CASES))
def test_a_dropped_suspended_coroutine_in_a_cycle_is_collected(case: str) -> None:
    with mode("async"):
        coro, qs = suspended_in_a_cycle(case)
        gc.collect()
    assert (coro(), qs()) == (None, None)


VARIANTS: dict[str, Callable[[Any], Any]] = {
    "QuerySet": QuerySet,
    "QuerySetOne": lambda entity: QuerySet(entity).first(),
    "QuerySetOneRequired": lambda entity: QuerySet(entity).get(),
    "QuerySetCount": lambda entity: QuerySet(entity).count(),
}


@pytest.mark.parametrize("variant", list(VARIANTS))
def test_abandoned_tasks_are_collected(variant: str) -> None:
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    alive = []
    with mode("async"):
        for _ in range(50):
            qs = VARIANTS[variant](Parcel)
            qs._async_executor = Executor([], suspends=False)
            qs._async_executor.query = qs._async_executor.count = loop.create_future
            loop.create_task(qs.aexecute())
            alive.append(weakref.ref(qs))
        loop.run_until_complete(asyncio.sleep(0))
    loop.close()
    del loop, qs
    gc.collect()
    assert sum(ref() is not None for ref in alive) == 0
