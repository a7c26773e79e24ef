"""The query-building operations."""

from collections.abc import Callable
from typing import Any

import pytest
from qs_support import Parcel

from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetCount
from kestrum_models.querysets.errors import BulkOperationError
from kestrum_models.querysets.executor import AsyncExecutor, Executor
from kestrum_utils.models.enums import Versions
from kestrum_utils.query.data_models.order_by import OrderBy
from kestrum_utils.query.utils import Q


VARIANTS = [QuerySetBase, QuerySet, QuerySetCount]

# Each copying operation, applied to a query set.
OPERATIONS: dict[str, Callable[[Any], Any]] = {
    "using": lambda qs: qs.using("replica"),
    "only": lambda qs: qs.only(["code"]),
    "distinct": lambda qs: qs.distinct(["code"]),
    "filter": lambda qs: qs.filter(code="a"),
    "exclude": lambda qs: qs.exclude(Q(weight=1)),
    "_filter": lambda qs: qs._filter(code="a", negated=True),
    "order_by": lambda qs: qs.order_by("-weight"),
    "slice": lambda qs: qs[1:3],
    "index": lambda qs: qs[2],
    "latest": lambda qs: qs.latest(),
    "select_related": lambda qs: qs.select_related("courier"),
}


def executor(queryset: Any) -> Any:
    raise AssertionError("not called while building")


class Counting(QuerySet):
    copies = 0

    def _copy(self) -> Any:
        type(self).copies += 1
        return super()._copy()


@pytest.mark.parametrize("cls", VARIANTS)
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_every_copying_operation_returns_a_new_query_set_and_leaves_the_receiver(cls: type, operation: str) -> None:
    source = cls(Parcel, executor, executor, strict_class_version=True)
    source.annotate(score=1)
    before = {name: repr(value) for name, value in vars(source).items()}
    qs = OPERATIONS[operation](source)
    assert type(qs) is cls and qs is not source
    assert (qs._executor, qs._async_executor, qs._strict_class_version) == (Executor, AsyncExecutor, False)
    assert qs._annotations == {"score": 1}
    assert {name: repr(value) for name, value in vars(source).items()} == before


@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_operations_copy_through_self(operation: str) -> None:
    Counting.copies = 0
    OPERATIONS[operation](Counting(Parcel))
    assert Counting.copies == 1


# ---- using, only, distinct ------------------------------------------------------------------


def test_using_sets_the_alias() -> None:
    assert QuerySet(Parcel).using("replica")._using == "replica"


class Text(str):
    pass


class Fields(list[str]):
    pass


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda qs: qs.using(None), "Argument 'value' has incorrect type (expected str, got NoneType)"),
        (lambda qs: qs.using(Text("x")), "Argument 'value' has incorrect type (expected str, got Text)"),
        (lambda qs: qs.only(("a",)), "Argument 'fields' has incorrect type (expected list, got tuple)"),
        (lambda qs: qs.only(None), "Argument 'fields' has incorrect type (expected list, got NoneType)"),
        (lambda qs: qs.distinct(Fields()), "Argument 'fields' has incorrect type (expected list, got Fields)"),
    ],
)
def test_argument_checks_come_before_any_copy(call: Callable[[Any], Any], message: str) -> None:
    Counting.copies = 0
    with pytest.raises(TypeError) as raised:
        call(Counting(Parcel))
    assert str(raised.value) == message
    assert Counting.copies == 0
    subclass_given = "got Text" in message or "got Fields" in message
    assert bool(getattr(raised.value, "__notes__", None)) is subclass_given


@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        ([["code", "weight"]], ["code", "weight"]),
        ([["code", "weight"], ["weight", "tags"]], ["code", "weight", "tags"]),
        ([["code", "code"], ["code"]], ["code"]),
        ([[]], []),
        ([[1, "code", 1.0]], [1, "code"]),  # equal items count once, as in a set
    ],
)
def test_only_accumulates_the_union_in_first_seen_order(steps: list[list[Any]], expected: list[Any]) -> None:
    qs = QuerySet(Parcel)
    for fields in steps:
        previous, qs = qs, qs.only(fields)
        assert previous._query_specifier.only is not qs._query_specifier.only
    assert qs._query_specifier.only == expected


def test_only_starts_from_a_false_selection() -> None:
    qs = QuerySet(Parcel)
    qs._query_specifier.only = None
    assert qs.only(["code"])._query_specifier.only == ["code"]
    qs._query_specifier.only = ("tags", "code")  # any iterable the specifier holds
    assert qs.only(["code", "weight"])._query_specifier.only == ["tags", "code", "weight"]


@pytest.mark.parametrize("existing", [[["x"]], []])
def test_only_refuses_unhashable_fields(existing: list[Any]) -> None:
    qs = QuerySet(Parcel)
    qs._query_specifier.only = existing
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        qs.only(["code", ["y"]])


def test_distinct_replaces_with_the_very_list() -> None:
    fields = ["weight"]
    qs = QuerySet(Parcel).distinct(["code"]).distinct(fields)
    assert qs._query_specifier.distinct is fields


# ---- Conditions ---------------------------------------------------------------------------------


def test_filter_and_exclude_without_conditions_return_the_receiver() -> None:
    qs = QuerySet(Parcel)
    assert qs.filter() is qs and qs.exclude() is qs and qs._filter(negated=True) is qs


A, B, C = Q(code="a"), Q(weight__gt=1), Q(tags__contains="x")


@pytest.mark.parametrize(
    ("build", "expected"),
    [
        (lambda qs: qs.filter(A), A),
        (lambda qs: qs.filter(A, B, weight=2), A & B & Q(weight=2)),
        (lambda qs: qs.filter(code="a", weight=2), Q(code="a", weight=2)),
        (lambda qs: qs.exclude(code="a"), ~Q(code="a")),
        (lambda qs: qs.exclude(A, weight=2), ~(A & Q(weight=2))),
        (lambda qs: qs.filter(negated=True, code="a"), ~Q(code="a")),
        (lambda qs: qs.filter(A).exclude(B), A & ~B),
        (lambda qs: qs.filter(A).filter(B, C), A & (B & C)),
        (lambda qs: qs.filter(A).filter(Q()), A),
        (lambda qs: qs.filter(Q()), None),
        (lambda qs: qs.exclude(Q()), None),
    ],
)
def test_conditions_combine_in_order(build: Callable[[Any], Any], expected: Any) -> None:
    assert build(QuerySet(Parcel))._conditions == expected


def test_the_first_condition_seeds_the_combination_and_receivers_keep_theirs() -> None:
    base = QuerySet(Parcel)
    assert base.filter(A)._conditions is A
    narrowed = base.filter(A)
    wider = narrowed.filter(B)
    assert narrowed._conditions == A and wider._conditions == A & B


def test_exclude_refuses_a_negated_keyword() -> None:
    with pytest.raises(TypeError) as raised:
        QuerySet(Parcel).exclude(negated=False)
    assert str(raised.value) == (
        "kestrum_models.querysets.dunmere.QuerySetBase._filter() got multiple values for keyword argument 'negated'"
    )


def test_lookup_errors_of_the_condition_type_propagate() -> None:
    with pytest.raises(ValueError, match="invalid lookup"):
        QuerySet(Parcel).filter(code__="a")
    with pytest.raises(TypeError):
        QuerySet(Parcel).filter(A, "not a condition")


def test_filter_and_exclude_go_through_the_receivers_filter() -> None:
    calls = []

    class Recording(QuerySet):
        def _filter(self, *args: Any, **kwargs: Any) -> Any:
            calls.append((args, kwargs))
            return super()._filter(*args, **kwargs)

    Recording(Parcel).filter(A, code="a").exclude(weight=1).latest()
    assert calls == [
        ((A,), {"code": "a"}),
        ((), {"negated": True, "weight": 1}),
        ((), {"_address__object_version": Versions.LATEST}),
    ]


def test_latest_filters_through_the_receivers_filter() -> None:
    class Marked(QuerySet):
        def filter(self, *args: Any, **kwargs: Any) -> Any:
            qs = super().filter(*args, **kwargs)
            qs.marked = True
            return qs

    qs = Marked(Parcel).filter(A).latest()
    assert qs.marked and qs._conditions == A & Q(_address__object_version=Versions.LATEST)


def test_conditions_read_the_module_q_at_call_time(monkeypatch: pytest.MonkeyPatch) -> None:
    built = []

    class RecordingQ(Q):
        def __init__(self, *children: Any, **lookups: Any) -> None:
            built.append(lookups)
            super().__init__(*children, **lookups)

    monkeypatch.setattr(dunmere, "Q", RecordingQ)
    QuerySet(Parcel).filter(A, code="a", weight=1)
    assert built == [{"code": "a", "weight": 1}]


# ---- Ordering, slicing ------------------------------------------------------------------------


def test_order_by_replaces_the_ordering() -> None:
    qs = QuerySet(Parcel).order_by("code").order_by("-weight", "code")
    assert qs._order_by == [OrderBy(field="weight", descending=True), OrderBy(field="code")]
    assert qs.order_by()._order_by == []
    with pytest.raises(TypeError, match="an ordering must be a str"):
        qs.order_by(3)


@pytest.mark.parametrize(
    ("index", "offset", "limit"),
    [
        (slice(2, 5), 2, 3),
        (slice(2, 5, 1), 2, 3),
        (slice(2, 5, 1.0), 2, 3),
        (slice(-3, -1), -3, 2),
        (slice(None, 5), 0, 5),
        (slice(2, None), 2, None),
        (slice(None, None), 0, None),
        (slice(None, None, 1), 0, None),
        (5, 5, 1),
        (0, 0, 1),
    ],
)
def test_subscripts_set_offset_and_limit(index: Any, offset: int, limit: int | None) -> None:
    paginator = QuerySet(Parcel)[index]._paginator
    assert (paginator.offset, paginator.limit) == (offset, limit)


def test_an_index_asks_for_the_same_row_as_its_one_row_slice() -> None:
    for i in range(4):
        single, spanned = QuerySet(Parcel)[i]._paginator, QuerySet(Parcel)[i : i + 1]._paginator
        assert (single.offset, single.limit) == (spanned.offset, spanned.limit)


def test_a_later_slice_replaces_the_earlier_one() -> None:
    paginator = QuerySet(Parcel)[1:3][0:1]._paginator
    assert (paginator.offset, paginator.limit) == (0, 1)


@pytest.mark.parametrize(
    ("index", "error", "message"),
    [
        (slice(None, None, 2), ValueError, "QuerySet slicing does not support step: 2"),
        (slice(0, 4, -1), ValueError, "QuerySet slicing does not support step: -1"),
        (slice("a", 5), TypeError, "unsupported operand type"),
        ("a", TypeError, "can only concatenate str"),
    ],
)
def test_subscript_errors(index: Any, error: type, message: str) -> None:
    qs = QuerySet(Parcel)
    with pytest.raises(error) as raised:
        qs[index]
    assert message in str(raised.value)
    assert (qs._paginator.offset, qs._paginator.limit) == (None, None)


@pytest.mark.parametrize("use", [list, iter, lambda qs: [row for row in qs], lambda qs: Parcel() in qs])
def test_query_sets_are_not_iterable_or_searchable(use: Callable[[Any], Any]) -> None:
    with pytest.raises(TypeError, match=r"run the query with execute\(\)"):
        use(QuerySet(Parcel))


# ---- Annotations, related objects, type guard ------------------------------------------------


def test_annotate_adds_to_the_receiver() -> None:
    qs = QuerySet(Parcel)
    earlier = qs._copy()
    assert qs.annotate(score=1, rank=2) is qs
    later = qs._copy()
    later.annotate(extra=3)
    assert list(qs._annotations.items()) == [("score", 1), ("rank", 2)]
    assert earlier._annotations == {} and later._annotations == {"score": 1, "rank": 2, "extra": 3}


@pytest.mark.parametrize(
    ("fields", "tree"),
    [
        (("a__b", "a__c", "d"), {"a": {"b": {}, "c": {}}, "d": {}}),
        (("a", "a__b__c"), {"a": {"b": {"c": {}}}}),
        ((), {}),
    ],
)
def test_select_related_builds_a_tree(fields: tuple[str, ...], tree: dict[str, Any]) -> None:
    qs = QuerySet(Parcel).select_related("old").select_related(*fields)
    assert qs._select_related == tree and qs.get_select_related() is qs._select_related


def test_select_related_refuses_fields_without_split() -> None:
    with pytest.raises(AttributeError, match="split"):
        QuerySet(Parcel).select_related("a", 3)


def test_check_type_accepts_only_exact_instances_of_the_entity() -> None:
    class Special(Parcel):
        pass

    qs = QuerySet(Parcel)
    assert qs._check_type(Parcel()) is None
    for obj in (Special(), object(), Parcel):
        with pytest.raises(BulkOperationError) as raised:
            qs._check_type(obj)
        assert raised.value.args == ("Cannot update an object of a different type",)
