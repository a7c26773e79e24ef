"""No operation keeps references it does not own, on success or failure."""

import asyncio
import gc
import json
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest
from qs_support import Parcel, refcounts_unchanged

from kestrum_data.connections.historical.schema_version_manager import register_schema_version
from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_glue import Data
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetCount
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode


FIELDS = ["code", "weight"]
CONDITION = Q(code="a")
VALUE = object()


def receiver() -> Any:
    qs = QuerySet(Parcel).filter(CONDITION).order_by("code").only(FIELDS)[1:4].select_related("a__b")
    qs.annotate(score=VALUE)
    return qs


BUILDING: dict[str, Callable[[Any], Any]] = {
    "construct": lambda qs: QuerySetBase(Parcel, strict_class_version=True),
    "copy": lambda qs: qs._copy(),
    "convert": lambda qs: QuerySetCount._from_queryset(qs),
    "using": lambda qs: qs.using("replica"),
    "only": lambda qs: qs.only(FIELDS),
    "only with a set": lambda qs: qs.only([*FIELDS, 1]),
    "distinct": lambda qs: qs.distinct(FIELDS),
    "filter": lambda qs: qs.filter(CONDITION, code=VALUE),
    "exclude": lambda qs: qs.exclude(CONDITION),
    "_filter": lambda qs: qs._filter(negated=True, weight=VALUE),
    "order_by": lambda qs: qs.order_by("-code", "weight"),
    "slice": lambda qs: qs[2:8],
    "index": lambda qs: qs[3],
    "latest": lambda qs: qs.latest(),
    "select_related": lambda qs: qs.select_related("a__b", "c"),
    "read interface": lambda qs: (qs.entity_name, qs.table_name, qs.entity, qs.get_using(), qs.get_order_by()),
    "type guard": lambda qs: qs._check_type(Parcel()),
}


def failing(call: Callable[[Any], Any], error: type[BaseException]) -> Callable[[Any], None]:
    def run(qs: Any) -> None:
        with pytest.raises(error):
            call(qs)

    return run


FAILING: dict[str, Callable[[Any], Any]] = {
    "using(None)": failing(lambda qs: qs.using(None), TypeError),
    "only(tuple)": failing(lambda qs: qs.only(tuple(FIELDS)), TypeError),
    "only(unhashable)": failing(lambda qs: qs.only([FIELDS]), TypeError),
    "exclude(negated=)": failing(lambda qs: qs.exclude(negated=VALUE), TypeError),
    "bad lookup": failing(lambda qs: qs.filter(code__=VALUE), ValueError),
    "step": failing(lambda qs: qs[::2], ValueError),
    "open start": failing(lambda qs: qs[:VALUE], TypeError),
    "bad index": failing(lambda qs: qs[VALUE], TypeError),
    "bad ordering": failing(lambda qs: qs.order_by(VALUE), TypeError),
    "bad related": failing(lambda qs: qs.select_related(VALUE), AttributeError),
    "type guard": failing(lambda qs: qs._check_type(VALUE), Exception),
    "iteration": failing(lambda qs: list(qs), TypeError),
}


@pytest.mark.parametrize("operation", list(BUILDING) + list(FAILING))
def test_reference_counts_are_unchanged_after_many_calls(operation: str) -> None:
    call = BUILDING.get(operation) or FAILING[operation]
    qs = receiver()
    watched = [Parcel, qs, FIELDS, CONDITION, VALUE, qs._conditions, qs._paginator, qs._order_by, qs._annotations]
    assert refcounts_unchanged(watched, lambda: call(qs)) == [0] * len(watched)


def test_memory_does_not_grow_over_many_chains() -> None:
    def chains(count: int) -> None:
        for _ in range(count):
            receiver().filter(weight=1).exclude(code="b").using("replica")[0:5].latest()._copy()

    chains(200)
    gc.collect()
    tracemalloc.start()
    try:
        chains(200)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        chains(2000)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert second - first < 64 * 1024


# ---- Execution -------------------------------------------------------------------------------


def rows_of(count: int) -> list[Any]:
    rows = []
    for i in range(count):
        reference = {"ref": {"object_version": "v1" if i % 2 else "LATEST"}}
        metadata = json.dumps({"object_id": json.dumps(i), "class_schema_reference": reference})
        rows.append(Data({"code": f"c{i}", "weight": i, "_metadata": metadata}, {COMPATIBLE_CLASS_VERSIONS: ["v1"]}))
    return rows


@pytest.fixture
def schema_versions() -> None:
    register_schema_version("Parcel", "v2")  # odd rows become legacy wrappers


class Rows:
    """An executor of both twins over fixed rows that, unlike the prepared executors, keeps no record."""

    def __init__(self, rows: list[Any]) -> None:
        self.rows = rows

    def __call__(self, queryset: Any) -> "Rows":
        return self

    def query(self) -> list[Any]:
        return list(self.rows)

    def count(self) -> int:
        return len(self.rows)


class AsyncRows(Rows):
    async def query(self) -> list[Any]:  # type: ignore[override]
        return list(self.rows)

    async def count(self) -> int:  # type: ignore[override]
        return len(self.rows)


def prepared(rows: list[Any], qs: Any) -> Any:
    qs._executor, qs._async_executor = Rows(rows), AsyncRows(rows)
    return qs


def annotated(qs: Any) -> Any:
    qs.annotate(weight=VALUE)
    return qs


def first(qs: Any) -> Any:
    qs._raise_on_multiple = False
    return qs


# Query sets to execute, each over the rows given.
EXECUTED: dict[str, Callable[[list[Any]], Any]] = {
    "list": lambda rows: prepared(rows, QuerySet(Parcel)),
    "partial": lambda rows: prepared(rows, QuerySet(Parcel).only(["code"])),
    "annotated": lambda rows: prepared(rows, annotated(QuerySet(Parcel))),
    "first": lambda rows: prepared(rows, first(QuerySet(Parcel).first())),
    "required": lambda rows: prepared(rows[:1], QuerySet(Parcel).get()),
    "count": lambda rows: prepared(rows, QuerySet(Parcel).count()),
}


def run_in(twin: str, qs: Any) -> Any:
    if twin == "sync":
        with mode("sync"):
            return qs.execute()
    with mode("async"):
        return asyncio.run(qs.aexecute())


@pytest.mark.parametrize("twin", ["sync", "async"])
@pytest.mark.parametrize("execution", list(EXECUTED))
def test_executions_keep_no_references(schema_versions: None, twin: str, execution: str) -> None:
    rows = rows_of(6)
    qs = EXECUTED[execution](rows)
    watched = [Parcel, qs, VALUE, rows, *rows, *(row.data for row in rows), *(row.metadata for row in rows)]
    assert refcounts_unchanged(watched, lambda: run_in(twin, qs), times=50) == [0] * len(watched)


@pytest.mark.parametrize("twin", ["sync", "async"])
def test_failing_executions_keep_no_references(schema_versions: None, twin: str) -> None:
    rows = [*rows_of(3), Data({"code": VALUE})]
    qs = prepared(rows, QuerySet(Parcel))
    watched = [Parcel, qs, VALUE, rows, *rows]

    def failing() -> None:
        with pytest.raises(Exception, match="validation error"):
            run_in(twin, qs)

    assert refcounts_unchanged(watched, failing, times=50) == [0] * len(watched)


@pytest.mark.parametrize("twin", ["sync", "async"])
def test_memory_does_not_grow_over_many_executions(schema_versions: None, twin: str) -> None:
    rows = rows_of(20)
    qs = prepared(rows, QuerySet(Parcel))

    def executions(count: int) -> None:
        for _ in range(count):
            run_in(twin, qs)

    executions(20)
    gc.collect()
    tracemalloc.start()
    try:
        executions(20)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        executions(200)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert second - first < 64 * 1024
