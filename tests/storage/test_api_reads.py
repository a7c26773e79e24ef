"""Reads that build no instances (exists, values, aggregates), keyset iteration, and lookups across relations."""

from __future__ import annotations

import asyncio
import datetime
import math
from collections.abc import Callable
from typing import Any

import pytest
from store_models import UTC, Item

from kestrum_models.storage import (
    LAKEHOUSE_DB_ALIAS,
    Avg,
    Count,
    InvalidValueError,
    Max,
    Min,
    Model,
    Q,
    Sum,
    UnknownFieldError,
    UnknownLookupError,
    transaction,
)

DAY = datetime.date(2024, 2, 29)
ITEMS = [
    dict(name="apple", rank=3, price=1.5, flag=True, tags=["red"], attrs={"a": 1}, day=DAY,
         at=datetime.datetime(2024, 1, 1, 12, tzinfo=UTC), blob=b"\x00\xff"),
    dict(name="banana", rank=None, price=math.nan, tags=["y"]),
    dict(name="cherry", rank=3, price=-0.0, flag=True, day=DAY + datetime.timedelta(days=1)),
    dict(name="date", rank=7, price=None),
    dict(name="elder", rank=-2, price=2.5, flag=True, attrs={"b": [1, 2]}),
    dict(name="fig", rank=1, price=0.0, tags=["red", "green"]),
]


@pytest.fixture
def items(store: str) -> list[Item]:
    return Item.bulk_save([Item(**fields) for fields in ITEMS])


def run(kind: str, lazy: Any) -> Any:
    """``lazy.execute()``, or its coroutine twin on an event loop."""
    return lazy.execute() if kind == "sync" else asyncio.run(lazy.aexecute())


TWINS = pytest.mark.parametrize("kind", ["sync", "async"])
FIELDS = [name for name in Item.model_fields if name != "metadata"]


def same(a: Any, b: Any) -> bool:
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize(
    "condition",
    [Q(), Q(rank=3), Q(rank__gt=100), Q(price__lt=2.0) | Q(price=None), ~Q(flag=True), Q(tags__contains="red")],
    ids=repr,
)
@TWINS
def test_exists_and_values_agree_with_the_loaded_instances(items: list[Item], kind: str, condition: Q) -> None:
    qs = Item.objects.filter(condition).order_by("name")
    loaded = qs.execute()
    assert run(kind, qs.exists()) is bool(loaded)
    dicts = run(kind, qs.values())
    assert [list(row) for row in dicts] == [FIELDS] * len(loaded)
    for row, obj in zip(dicts, loaded):  # values as the instances hold them: dates, JSON, NaN, bytes
        assert all(same(row[name], getattr(obj, name)) and type(row[name]) is type(getattr(obj, name))
                   for name in FIELDS), (row, obj)
    picked = run(kind, qs.values_list("day", "name", "at"))
    assert picked == [(obj.day, obj.name, obj.at) for obj in loaded]
    assert run(kind, qs.values_list("attrs", flat=True)) == [obj.attrs for obj in loaded]
    assert run(kind, qs.values("_address__object_id", "rank")) == [{"_address__object_id": o.pk, "rank": o.rank}
                                                                    for o in loaded]


@pytest.mark.parametrize(
    ("build", "error", "match"),
    [
        (lambda: Item.objects.values("name", "nope"), UnknownFieldError, "'nope'"),
        (lambda: Item.objects.filter(nope=1).exists(), UnknownFieldError, "'nope'"),
        (lambda: Item.objects.values("name", "name"), InvalidValueError, "twice"),
        (lambda: Item.objects.aggregate(s=Sum("nope")), UnknownFieldError, r"'nope' \(in aggregate s=Sum"),
        (lambda: Item.objects.group_by("rank", "nope").aggregate(n=Count()), UnknownFieldError, "in group_by"),
        (lambda: Item.objects.aggregate(s=Sum("name")), UnknownLookupError, "Sum"),
        (lambda: Item.objects.aggregate(s=Max("tags")), UnknownLookupError, "Max"),
        (lambda: Item.objects.group_by("attrs").aggregate(n=Count()), UnknownLookupError, "grouped"),
        (lambda: Item.objects.group_by("rank").aggregate(rank=Count()), InvalidValueError, "'rank'"),
    ],
)
def test_names_and_functions_are_checked_against_the_model(
    items: list[Item], build: Callable[[], Any], error: type[Exception], match: str
) -> None:
    with pytest.raises(error, match=match):
        build().execute()


@pytest.mark.parametrize(
    ("build", "error"),
    [
        (lambda: Item.objects.values_list("name", "rank", flat=True), TypeError),
        (lambda: Item.objects.aggregate(), TypeError),
        (lambda: Item.objects.aggregate(n="count"), TypeError),
        (lambda: Item.objects.group_by(), TypeError),
        (lambda: Item.objects.iterator(chunk_size=0), ValueError),
    ],
)
def test_malformed_calls_are_refused_when_built(build: Callable[[], Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        build()


def python_aggregate(function: str, values: list[Any], distinct: bool = False) -> Any:
    """What an aggregate means, computed in Python (NaN counts as the greatest value, as the store sorts it)."""
    present = [v for v in values if v is not None]
    if distinct:
        present = list({v: None for v in present})
    if function == "count":
        return len(present)
    if not present:
        return None
    if any(isinstance(v, float) and math.isnan(v) for v in present):
        numbers = [v for v in present if not math.isnan(v)]
        return min(numbers) if function == "min" and numbers else math.nan
    if function == "sum":
        return sum(present)
    if function == "avg":
        return sum(present) / len(present)
    return min(present) if function == "min" else max(present)


AGGREGATES = [Count("rank"), Count("rank", distinct=True), Sum("rank"), Avg("rank"), Min("rank"), Max("rank"),
              Sum("price"), Avg("price"), Min("price"), Max("price"), Min("name"), Max("day"), Max("at"),
              Count("price", distinct=True)]


@pytest.mark.parametrize("condition", [Q(), Q(flag=True), Q(rank__gt=100), Q(price__gte=0.0)], ids=repr)
@TWINS
def test_aggregates_are_computed_by_the_database_as_python_computes_them(
    items: list[Item], kind: str, condition: Q
) -> None:
    qs = Item.objects.filter(condition)
    loaded = qs.execute()
    named = {f"a{i}": aggregate for i, aggregate in enumerate(AGGREGATES)}
    found = run(kind, qs.aggregate(n=Count(), **named))
    assert found["n"] == len(loaded)
    for name, aggregate in named.items():
        expected = python_aggregate(aggregate.function, [getattr(o, aggregate.field) for o in loaded], aggregate.distinct)
        assert same(found[name], expected) and type(found[name]) is type(expected), (aggregate, found[name], expected)


@TWINS
def test_grouped_and_sliced_aggregates(items: list[Item], kind: str) -> None:
    grouped = run(kind, Item.objects.group_by("flag", "rank").aggregate(n=Count(), hi=Max("price")))
    expected: dict[tuple[Any, Any], list[Item]] = {}
    for obj in items:
        expected.setdefault((obj.flag, obj.rank), []).append(obj)
    ordered = sorted(expected, key=lambda key: (key[0], key[1] is not None, key[1] or 0))  # nulls first
    assert [(row["flag"], row["rank"]) for row in grouped] == ordered
    for row in grouped:
        group = expected[row["flag"], row["rank"]]
        assert row["n"] == len(group) and same(row["hi"], python_aggregate("max", [o.price for o in group]))
    # -0.0 and 0.0 form one group; NaN one of its own.
    prices = run(kind, Item.objects.filter(price__isnull=False).group_by("price").aggregate(n=Count()))
    assert sorted(row["n"] for row in prices) == [1, 1, 1, 2]
    top = Item.objects.exclude(rank=None).order_by("-rank")[:2]
    assert run(kind, top.aggregate(total=Sum("rank"), n=Count())) == {"total": 10, "n": 2}


ORDERINGS = [(), ("-rank",), ("name",), ("price",), ("-price",), ("flag", "-rank"), ("-_address__object_id",),
             ("day", "-name")]


@pytest.mark.parametrize("ordering", ORDERINGS, ids=str)
@pytest.mark.parametrize(("start", "stop", "chunk"), [(None, None, 1), (None, None, 4), (1, 5, 2), (2, None, 3)])
def test_iteration_in_keyset_pages_gives_the_rows_of_one_query_in_its_order(
    items: list[Item], ordering: tuple[str, ...], start: int | None, stop: int | None, chunk: int
) -> None:
    qs = Item.objects.order_by(*ordering)[start:stop]
    # A sliced query orders totally, ties broken by the object id, as the pages do.
    expected = [obj.pk for obj in Item.objects.order_by(*ordering)[start or 0 : stop or 100].execute()]
    assert [obj.pk for obj in qs.iterator(chunk_size=chunk)] == expected

    async def collect() -> list[int]:
        return [obj.pk async for obj in qs.aiterator(chunk_size=chunk)]

    assert asyncio.run(collect()) == expected


def test_iteration_keeps_the_query_sets_selection_and_sees_its_transaction(items: list[Item]) -> None:
    partial = list(Item.objects.filter(flag=True).only(["name"]).iterator(chunk_size=2))
    assert sorted(obj.name for obj in partial) == ["apple", "cherry", "elder"]
    assert all(type(obj).__name__ == "ItemPartial" for obj in partial)
    history = list(Item.objects.using(LAKEHOUSE_DB_ALIAS).filter(name="apple").iterator(chunk_size=1))
    assert len(history) == 1
    with transaction():
        Item(name="late", rank=99).save()
        assert [obj.name for obj in Item.objects.filter(rank__gt=5).order_by("rank").iterator()] == ["date", "late"]
    pages = Item.objects.iterator(chunk_size=2)
    assert next(pages).name and pages.close() is None  # left early: its pages end with it


# -- relations ---------------------------------------------------------------------


class Room(Model):
    name: str


class Rack(Model):
    label: str
    room: Room | None = None


class Volume(Model):
    title: str
    rack: Rack | None = None


@pytest.fixture
def library(store: str) -> dict[str, Any]:
    east, west = Room(name="east").save(), Room(name="west").save()
    racks = {label: Rack(label=label, room=room).save() for label, room in (("a", east), ("b", west), ("c", None))}
    volumes = [Volume(title=t, rack=racks[r] if r else None).save()
               for t, r in (("v1", "a"), ("v2", "b"), ("v3", "c"), ("v4", None), ("v5", "a"))]
    return {"east": east, "west": west, **racks, "volumes": volumes}


RELATION_CASES = [
    (lambda lib: Q(rack=lib["a"]), ["v1", "v5"]),
    (lambda lib: Q(rack__in=[lib["b"], lib["c"].pk]), ["v2", "v3"]),
    (lambda lib: Q(rack__label="b"), ["v2"]),
    (lambda lib: ~Q(rack__label="a"), ["v2", "v3", "v4"]),
    (lambda lib: Q(rack__room__name="east"), ["v1", "v5"]),
    (lambda lib: Q(rack__room__name__isnull=True), ["v3", "v4"]),
    (lambda lib: Q(rack__room=lib["west"]) | Q(rack=None), ["v2", "v4"]),
    (lambda lib: Q(rack__label__in=["a", "c"], rack__room__name="east"), ["v1", "v5"]),
]


@pytest.mark.parametrize(("condition", "titles"), RELATION_CASES)
@TWINS
def test_lookups_across_relations_join_the_related_latest_objects(
    library: dict[str, Any], kind: str, condition: Callable[[dict[str, Any]], Q], titles: list[str]
) -> None:
    qs = Volume.objects.filter(condition(library))
    assert sorted(v.title for v in run(kind, qs)) == titles
    assert run(kind, qs.count()) == len(titles) and run(kind, qs.exists()) is bool(titles)


@TWINS
def test_orderings_values_and_groups_across_relations(library: dict[str, Any], kind: str) -> None:
    qs = Volume.objects.order_by("-rack__room__name", "rack__label", "title")
    # Nulls last descending, first ascending (v4 has no rack, v3's rack no room).
    assert [v.title for v in run(kind, qs)] == ["v2", "v1", "v5", "v4", "v3"]
    assert run(kind, qs.values_list("title", "rack__room__name")) == [
        ("v2", "west"), ("v1", "east"), ("v5", "east"), ("v4", None), ("v3", None)
    ]
    assert [v.title for v in qs.iterator(chunk_size=2)] == ["v2", "v1", "v5", "v4", "v3"]
    assert run(kind, Volume.objects.group_by("rack__room__name").aggregate(n=Count())) == [
        {"rack__room__name": None, "n": 2}, {"rack__room__name": "east", "n": 2}, {"rack__room__name": "west", "n": 1}
    ]
    library["a"].delete()  # a deleted related object is no longer among the latest: as if there were none
    assert sorted(v.title for v in run(kind, Volume.objects.filter(rack__label=None))) == ["v1", "v4", "v5"]
    history = Volume.objects.using(LAKEHOUSE_DB_ALIAS).filter(rack__room__name="west")
    assert [v.title for v in run(kind, history)] == ["v2"]


@pytest.mark.parametrize(
    ("build", "error", "match"),
    [
        (lambda lib: Volume.objects.filter(rack__shelf="x"), UnknownFieldError, "Rack has no field 'shelf'"),
        (lambda lib: Volume.objects.order_by("rack__room__size"), UnknownFieldError, "Room has no field 'size'"),
        (lambda lib: Volume.objects.filter(title__name="x"), UnknownLookupError, "unknown lookup .name."),
        (lambda lib: Volume.objects.order_by("title__x"), UnknownFieldError, "no nested fields"),
        (lambda lib: Volume.objects.filter(rack=lib["east"]), InvalidValueError, "holds Rack objects, not Room"),
        (lambda lib: Volume.objects.filter(rack=Rack(label="new")), InvalidValueError, "not saved"),
        (lambda lib: Volume.objects.distinct(["title"]).order_by("rack__label"), UnknownLookupError, "distinct"),
    ],
)
def test_paths_across_relations_are_checked_against_each_related_model(
    library: dict[str, Any], build: Callable[[dict[str, Any]], Any], error: type[Exception], match: str
) -> None:
    with pytest.raises(error, match=match):
        build(library).execute()
