"""Query sets on the object store: every lookup agrees with the conditions' own Python meaning."""

from __future__ import annotations

import datetime

import pytest
from store_models import UTC, Book, Item, Shelf

from kestrum_data.store import InvalidValueError, UnknownFieldError, UnknownLookupError
from kestrum_data.store.query import Source, compile_select
from kestrum_data.store.reads import row_cap as _row_cap
from kestrum_data.store.storage import storage
from kestrum_models.querysets.dunmere import QuerySet
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode

DAY = datetime.date(2024, 2, 29)
ITEMS = [
    dict(name="apple", rank=3, price=1.5, flag=True, tags=["red", "fruit"], attrs={"a": 1}, day=DAY,
         at=datetime.datetime(2024, 1, 1, 12, tzinfo=UTC)),
    dict(name="Apricot", rank=1, price=None, tags=["fruit"], attrs={"a": 2}, blob=b"\x00\xff"),
    dict(name="banana", rank=None, price=0.25, flag=True, tags=[], day=DAY + datetime.timedelta(days=1)),
    dict(name="100%_sure", rank=7, price=-3.0, tags=["100%"], attrs={"b": [1, 2]},
         at=datetime.datetime(2023, 6, 1, tzinfo=UTC)),
    dict(name="cherry 🍒", rank=3, price=2.0, tags=["red", "fruit"]),
    dict(name="", rank=-2, flag=True),
]


@pytest.fixture
def items(store: str) -> list[Item]:
    return Item.bulk_save([Item(**fields) for fields in ITEMS])


CONDITIONS = [
    Q(name="apple"),
    Q(name__neq="apple"),
    Q(name__ne="apple"),
    Q(rank=3),
    Q(rank__gt=1),
    Q(rank__gte=3),
    Q(rank__lt=3),
    Q(rank__lte=1),
    Q(rank=None),
    Q(rank__isnull=True),
    Q(rank__isnull=False),
    Q(rank__in=[1, 7, None]),
    Q(rank__in=[]),
    Q(price__lt=1.0),
    Q(flag=True),
    Q(name__contains="an"),
    Q(name__contains="%_"),
    Q(name__icontains="AP"),
    Q(name__startswith="Ap"),
    Q(name__startswith="100%_"),
    Q(name__endswith="y 🍒"),
    Q(name__endswith="_sure"),
    Q(tags__contains="red"),
    Q(tags__contains="100%"),
    Q(tags=["fruit"]),
    Q(attrs={"a": 1}),
    Q(attrs__in=[{"a": 2}, {"b": [1, 2]}]),
    Q(day__gt=DAY),
    Q(day=DAY),
    Q(at__lt=datetime.datetime(2024, 1, 1, 13, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))),
    Q(blob=b"\x00\xff"),
    Q(rank__gt=1) | Q(price=None),
    ~Q(rank__gt=1),
    ~Q(price__lt=1.0) & Q(flag=True),
    ~(Q(rank=3) | ~Q(flag=True)),
    Q(name__in=["apple", "banana", "nope"]),
]


def names(objects: list[Item]) -> list[str]:
    return sorted(obj.name for obj in objects)


@pytest.mark.parametrize("condition", CONDITIONS, ids=repr)
def test_filter_and_exclude_agree_with_python_meaning(items: list[Item], condition: Q) -> None:
    rows = [obj.model_dump() for obj in items]
    expected = sorted(row["name"] for row in rows if condition.matches(row))
    assert names(Item.objects.filter(condition).execute()) == expected
    assert names(Item.objects.exclude(condition).execute()) == sorted(
        row["name"] for row in rows if not condition.matches(row)
    )
    assert Item.objects.filter(condition).count().execute() == len(expected)


@pytest.mark.parametrize(
    ("ordering", "expected"),
    [
        (("rank", "name"), ["banana", "", "Apricot", "apple", "cherry 🍒", "100%_sure"]),
        (("-rank", "-name"), ["100%_sure", "cherry 🍒", "apple", "Apricot", "", "banana"]),
        (("-price", "name"), ["cherry 🍒", "apple", "banana", "100%_sure", "", "Apricot"]),
    ],
)
def test_ordering_puts_nulls_first_ascending_and_last_descending(
    items: list[Item], ordering: tuple[str, ...], expected: list[str]
) -> None:
    assert [obj.name for obj in Item.objects.order_by(*ordering).execute()] == expected


def test_slices_distinct_only_and_count(items: list[Item]) -> None:
    ordered = Item.objects.order_by("name")
    everything = [obj.name for obj in ordered.execute()]
    assert [obj.name for obj in ordered[1:4].execute()] == everything[1:4]
    assert [obj.name for obj in ordered[4:100].execute()] == everything[4:]
    assert ordered[1:4].count().execute() == 3 and ordered[5:9].count().execute() == 1
    assert [obj.name for obj in ordered.distinct(["rank"]).execute()] == ["", "100%_sure", "Apricot", "apple", "banana"]
    assert ordered.distinct(["flag", "rank"]).count().execute() == 6
    partial = Item.objects.only(["name", "rank"]).filter(name="apple").execute()
    assert [(type(obj).__name__, obj.name, obj.rank, obj.price) for obj in partial] == [("ItemPartial", "apple", 3, None)]
    assert partial[0].metadata["object_id"] == items[0].metadata["object_id"]


@pytest.mark.asyncio
async def test_coroutine_twins_return_the_same(items: list[Item]) -> None:
    qs = Item.objects.filter(Q(rank__gte=1) | Q(flag=True)).order_by("-rank")
    with mode("sync"):  # an explicit mode lets a blocking call run inside the loop
        expected = [obj.name for obj in qs.execute()]
    assert [obj.name for obj in await qs.aexecute()] == expected
    assert await qs.count().aexecute() == len(expected)
    assert (await qs.first().aexecute()).name == expected[0]
    assert await Item.objects.get_or_none(name="nope").aexecute() is None


def test_one_row_query_sets_fetch_at_most_two_rows(items: list[Item]) -> None:
    stored = storage().ensure(Item, storage().latest_db)
    source = Source(storage().latest_db.dialect, stored, storage().model_fields(Item), False, True)
    qs = QuerySet(Item).filter(rank=3)
    for variant, cap in [(qs.get(), 2), (qs.get_or_none(), 2), (qs.first(), 1), (qs[0:10].get(), 2), (qs[0:1].get(), 1)]:
        compiled = compile_select(source, variant, row_cap=_row_cap(variant))
        assert compiled.sql.endswith(" LIMIT ?") or compiled.sql.endswith(" LIMIT %s")
        assert compiled.params[-1] == cap
    from kestrum_models.querysets.errors import MultipleObjectsReturnedError

    with pytest.raises(MultipleObjectsReturnedError):
        qs.get().execute()
    assert qs.order_by("name").first().execute().name == "apple"


@pytest.mark.parametrize(
    ("build", "error", "names"),
    [
        (lambda qs: qs.filter(nosuch=1), UnknownFieldError, ["'nosuch'", "Item"]),
        (lambda qs: qs.exclude(Q(rank=1) | Q(nope__gt=2)), UnknownFieldError, ["'nope'"]),
        (lambda qs: qs.filter(rank__between=1), UnknownLookupError, ["'between'"]),
        (lambda qs: qs.filter(name__a__b=1), UnknownFieldError, ["name__a__b"]),
        (lambda qs: qs.filter(tags__gt=["x"]), UnknownLookupError, ["'gt'", "Item.tags"]),
        (lambda qs: qs.filter(rank__startswith="1"), UnknownLookupError, ["'startswith'", "Item.rank"]),
        (lambda qs: qs.order_by("-nosuch"), UnknownFieldError, ["'nosuch'", "ordering"]),
        (lambda qs: qs.order_by("attrs"), UnknownLookupError, ["Item.attrs"]),
        (lambda qs: qs.only(["name", 'x" FROM items; --']), UnknownFieldError, ['x" FROM items; --']),
        (lambda qs: qs.distinct(["nosuch"]), UnknownFieldError, ["'nosuch'", "distinct"]),
        (lambda qs: qs.filter(_address__nosuch=1), UnknownFieldError, ["_address__nosuch"]),
        (lambda qs: qs.filter(rank="three"), InvalidValueError, ["Item.rank"]),
        (lambda qs: qs.filter(rank__in=5), InvalidValueError, ["rank__in"]),
        (lambda qs: qs.filter(rank__isnull="yes"), InvalidValueError, ["rank__isnull"]),
        (lambda qs: qs.filter(_address__object_id="1; DROP TABLE items"), InvalidValueError, ["_address__object_id"]),
        (lambda qs: qs[-1:3], InvalidValueError, ["offset"]),
    ],
)
def test_names_and_values_are_checked_before_any_sql(
    items: list[Item], build: object, error: type[Exception], names: list[str]
) -> None:
    with pytest.raises(error) as raised:
        build(Item.objects).execute()  # type: ignore[operator]
    assert all(name in str(raised.value) for name in names) and isinstance(raised.value, ValueError)
    assert Item.objects.count().execute() == len(ITEMS)


def test_select_related_loads_related_objects_in_one_statement_per_level(store: str) -> None:
    shelves = Shelf.bulk_save([Shelf(label="top"), Shelf(label="low")])
    Book.bulk_save([Book(title=f"b{i}", shelf=shelves[i % 2]) for i in range(6)] + [Book(title="loose")])
    plain = Book.objects.order_by("title").execute()
    assert plain[0].shelf.metadata == {"object_id": shelves[0].metadata["object_id"], "unloaded": True}
    with pytest.raises(AttributeError):
        _ = plain[0].shelf.label
    loaded = Book.objects.select_related("shelf").order_by("title").execute()
    assert [(b.title, b.shelf and b.shelf.label) for b in loaded][:3] == [("b0", "top"), ("b1", "low"), ("b2", "top")]
    assert loaded[-1].shelf is None and loaded[0].shelf is loaded[2].shelf
    with pytest.raises(UnknownFieldError, match="'title'"):
        Book.objects.select_related("title").execute()
    # A book saved from a loaded instance keeps its reference, loaded or not.
    plain[1].title = "b1 again"
    plain[1].save()
    assert Book.objects.select_related("shelf").get(title="b1 again").execute().shelf.label == "low"
