"""Query-set state: construction, the read interface and copying."""

import copy
from types import SimpleNamespace
from typing import Any

import pytest
from pydantic_partial import create_partial_model
from qs_support import Courier, Parcel, Recorder, Shipment

from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetCount, QuerySetOne, QuerySetOneRequired
from kestrum_models.querysets.executor import DEFAULT_DB_ALIAS, AsyncExecutor, Executor
from kestrum_utils.query.data_models.order_by import OrderBy
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.data_models.query_specifier import QuerySpecifier
from kestrum_utils.query.utils import Q


STATE = ["_entity", "_executor", "_async_executor", "_paginator", "_order_by", "_query_specifier", "_conditions",
         "_using", "_select_related", "_annotations", "_strict_class_version"]  # fmt: skip
VARIANTS = [QuerySetBase, QuerySet, QuerySetCount]


def custom_executor(queryset: Any) -> Any:
    raise AssertionError("not called while building")


class Refuses:
    """An object whose truth test fails."""

    def __bool__(self) -> bool:
        raise ValueError("no truth value")


# ---- Construction ------------------------------------------------------------------------


@pytest.mark.parametrize("cls", VARIANTS)
def test_constructor_sets_the_eleven_defaults_in_order(cls: type) -> None:
    qs = cls(Parcel)
    assert list(vars(qs)) == STATE
    assert qs._entity is Parcel
    assert qs._executor is Executor and qs._async_executor is AsyncExecutor
    assert isinstance(qs._paginator, NumberPaginator) and (qs._paginator.limit, qs._paginator.offset) == (None, None)
    assert qs._order_by == [] and qs._annotations == {}
    specifier = qs._query_specifier
    assert isinstance(specifier, QuerySpecifier) and specifier.only == [] == specifier.distinct
    assert specifier.only is not specifier.distinct
    assert qs._conditions is None and qs._using is DEFAULT_DB_ALIAS
    assert qs._select_related is False and qs._strict_class_version is False
    other = cls(Parcel)
    assert other._order_by is not qs._order_by and other._annotations is not qs._annotations


def test_constructor_passes_keywords_to_the_paginator_and_specifier(recorder: Recorder) -> None:
    QuerySetBase(Parcel)
    assert recorder.calls == [
        ("NumberPaginator", (), {"limit": None, "offset": None}),
        ("QuerySpecifier", (), {"only": [], "distinct": []}),
    ]


@pytest.mark.parametrize(("given", "stored"), [(1, True), ([], False), ("x", True), (0.0, False), (True, True)])
def test_strict_class_version_is_stored_as_a_bool(given: Any, stored: bool) -> None:
    qs = QuerySetBase(Parcel, None, None, strict_class_version=given)
    assert qs._strict_class_version is stored


@pytest.mark.parametrize("executor", [None, 0, [], "", {}])
def test_false_executors_are_replaced_by_the_defaults(executor: Any) -> None:
    qs = QuerySetBase(Parcel, executor, async_executor=executor)
    assert qs._executor is Executor and qs._async_executor is AsyncExecutor


def test_given_executors_are_kept() -> None:
    qs = QuerySetBase(entity=Parcel, executor=custom_executor, async_executor=custom_executor)
    assert qs._executor is custom_executor and qs._async_executor is custom_executor


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: QuerySetBase(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: QuerySetBase(Parcel, None, None, True), "__init__() takes at most 4 positional arguments (5 given)"),
        (lambda: QuerySetBase(Parcel, strict=True), "__init__() got an unexpected keyword argument 'strict'"),
        (lambda: QuerySetBase(Parcel, entity=Parcel), "__init__() got multiple values for keyword argument 'entity'"),
    ],
)
def test_constructor_argument_errors(call: Any, message: str) -> None:
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_a_failing_truth_test_stops_the_constructor() -> None:
    qs = QuerySetBase.__new__(QuerySetBase)
    with pytest.raises(ValueError, match="no truth value"):
        qs.__init__(Parcel, strict_class_version=Refuses())
    assert vars(qs) == {}
    with pytest.raises(ValueError, match="no truth value"):
        qs.__init__(Parcel, Refuses())
    assert vars(qs) == {"_entity": Parcel}


def test_a_failing_collaborator_leaves_the_half_built_state(monkeypatch: pytest.MonkeyPatch) -> None:
    def broken(**kwargs: Any) -> None:
        raise RuntimeError("paginator unavailable")

    monkeypatch.setattr(dunmere, "NumberPaginator", broken)
    qs = QuerySetBase.__new__(QuerySetBase)
    with pytest.raises(RuntimeError, match="paginator unavailable"):
        qs.__init__(Parcel)
    assert list(vars(qs)) == ["_entity", "_executor", "_async_executor"]


# ---- Read interface -----------------------------------------------------------------------


def test_names_of_plain_and_partial_entities() -> None:
    partial = create_partial_model(Shipment)
    assert partial.__name__ == "ShipmentPartial"
    assert QuerySetBase(Shipment).entity_name == "Shipment" and QuerySetBase(partial).entity_name == "Shipment"
    assert QuerySetBase(Parcel).table_name == "parcels"
    assert QuerySetBase(Courier).table_name == "Courier"  # no table name of its own
    assert QuerySetBase(partial).table_name == "shipments"  # the partial class inherits it
    assert QuerySetBase(Parcel).entity is Parcel


@pytest.mark.parametrize(("name", "expected"), [("ShortPartial", "Short"), ("Partial", ""), ("Tiny", ""), ("Elevens", "")])
def test_partial_names_lose_their_last_seven_characters(
    monkeypatch: pytest.MonkeyPatch, name: str, expected: str
) -> None:
    seen = []
    monkeypatch.setattr(dunmere, "is_partial_model", lambda cls: seen.append(cls) or 1)
    entity = type(name, (), {})
    assert QuerySetBase(entity).entity_name == expected
    assert seen == [entity]


@pytest.mark.parametrize("table", [None, ""])
def test_false_table_names_fall_back_to_the_entity_name(table: Any) -> None:
    entity = type("Crate", (), {"__table_name__": table})
    assert QuerySetBase(entity).table_name == "Crate"


@pytest.mark.parametrize(
    ("entity", "prop", "error", "message"),
    [
        (type("NoTable", (), {}), "table_name", AttributeError, "__table_name__"),
        (SimpleNamespace(), "entity_name", AttributeError, "__name__"),
        (SimpleNamespace(__name__=5), "entity_name", TypeError, "Expected str, got int"),
        (type("Numbered", (), {"__table_name__": 7}), "table_name", TypeError, "Expected str, got int"),
    ],
)
def test_read_interface_failures(entity: Any, prop: str, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        getattr(QuerySetBase(entity), prop)


def test_accessors_return_the_stored_objects() -> None:
    qs = QuerySetBase(Parcel)
    assert qs.get_conditions() is qs._conditions and qs.get_select_related() is False
    assert qs.get_query_specifier() is qs._query_specifier and qs.get_paginator() is qs._paginator
    assert qs.get_using() is qs._using and qs.get_order_by() is qs._order_by
    qs.get_order_by().append(OrderBy.from_string("code"))
    assert qs._order_by == [OrderBy(field="code")]


@pytest.mark.parametrize(
    ("attribute", "value", "accessor", "message"),
    [
        ("_using", 5, "get_using", "Expected str, got int"),
        ("_using", type("Alias", (str,), {})("x"), "get_using", "Expected str, got Alias"),
        ("_order_by", (), "get_order_by", "Expected list, got tuple"),
    ],
)
def test_accessor_results_are_checked(attribute: str, value: Any, accessor: str, message: str) -> None:
    qs = QuerySetBase(Parcel)
    setattr(qs, attribute, value)
    with pytest.raises(TypeError, match=message):
        getattr(qs, accessor)()
    qs._using = None
    assert qs.get_using() is None


# ---- Copying ------------------------------------------------------------------------------


def rich(cls: type = QuerySet) -> Any:
    qs = cls(Parcel, custom_executor, custom_executor, strict_class_version=True)
    qs._paginator.offset, qs._paginator.limit = 3, 4
    qs._order_by = [OrderBy.from_string("-weight")]
    qs._query_specifier.only = ["code"]
    qs._query_specifier.distinct = ["weight"]
    qs._conditions = Q(code="a")
    qs._using = "archive"
    qs._select_related = {"courier": {"depot": {}}}
    qs._annotations = {"score": [1]}
    return qs


@pytest.mark.parametrize("make_copy", [lambda qs: qs._copy(), copy.copy, lambda qs: type(qs)._from_queryset(qs)])
@pytest.mark.parametrize("cls", VARIANTS)
def test_a_copy_describes_the_same_query_with_default_executors(make_copy: Any, cls: type) -> None:
    source = rich(cls)
    qs = make_copy(source)
    assert type(qs) is cls and qs is not source
    assert list(vars(qs)) == STATE
    assert (qs._executor, qs._async_executor, qs._strict_class_version) == (Executor, AsyncExecutor, False)
    assert qs._entity is Parcel and qs._using is source._using
    for name in ("_paginator", "_order_by", "_query_specifier", "_conditions", "_select_related", "_annotations"):
        assert getattr(qs, name) == getattr(source, name) and getattr(qs, name) is not getattr(source, name)
    assert qs._order_by[0] is source._order_by[0]  # the ordering items are shared
    assert qs._annotations["score"] is source._annotations["score"]  # and the annotation values


def test_editing_every_mutable_part_of_a_copy_leaves_the_source() -> None:
    source = rich()
    snapshot = copy.deepcopy(vars(source))
    qs = source._copy()
    qs._paginator.offset = 99
    qs._order_by.append(OrderBy.from_string("code"))
    qs._query_specifier.only.append("weight")
    qs._query_specifier.distinct.append("code")
    qs._conditions &= Q(weight=1)
    qs._select_related["courier"]["depot"]["city"] = {}
    qs._annotations["extra"] = 1
    qs._using = "other"
    assert vars(source) == snapshot


@pytest.mark.parametrize(
    ("select_related", "conditions", "annotations"),
    [(True, None, {}), (False, Q(), {}), ({}, None, {"x": 1})],
)
def test_what_a_copy_carries_as_it_is(select_related: Any, conditions: Any, annotations: dict[str, Any]) -> None:
    source = QuerySet(Parcel)
    source._select_related, source._conditions, source._annotations = select_related, conditions, annotations
    qs = source._copy()
    if isinstance(select_related, bool):
        assert qs._select_related is select_related
    else:
        assert qs._select_related == select_related and qs._select_related is not select_related
    assert qs._conditions is None  # None, or a condition with a false truth value
    assert qs._annotations == annotations and qs._annotations is not source._annotations


def test_the_copy_calls_model_copy_as_designed(recorder: Recorder) -> None:
    source = QuerySet(Parcel)
    recorder.calls.clear()
    source._copy()
    assert recorder.calls == [
        ("NumberPaginator", (), {"limit": None, "offset": None}),
        ("QuerySpecifier", (), {"only": [], "distinct": []}),
        ("paginator.model_copy", (), {}),
        ("specifier.model_copy", (), {"deep": True}),
    ]


def test_any_object_with_the_state_serves_as_source() -> None:
    source = SimpleNamespace(**{name: getattr(rich(), name) for name in STATE[:1] + STATE[3:10]})
    qs = QuerySetCount._from_queryset(source)
    assert type(qs) is QuerySetCount
    assert qs._using == "archive" and qs._conditions == Q(code="a")
    del source._using
    with pytest.raises(AttributeError, match="_using"):
        QuerySet._from_queryset(source)


def test_a_variant_converts_another_variants_state() -> None:
    source = rich(QuerySet)
    for target in (QuerySetOne, QuerySetOneRequired, QuerySetCount):
        qs = target._from_queryset(source)
        assert type(qs) is target and qs._paginator == source._paginator and qs._conditions == source._conditions


def test_errors_while_copying_propagate_and_leave_the_source() -> None:
    class Unpicklable:
        def __deepcopy__(self, memo: Any) -> Any:
            raise RuntimeError("cannot copy")

    source = QuerySet(Parcel)
    source._select_related = {"courier": Unpicklable()}
    with pytest.raises(RuntimeError, match="cannot copy"):
        source._copy()
    assert isinstance(source._select_related["courier"], Unpicklable)


# ---- Subclasses ---------------------------------------------------------------------------


class Tagged(QuerySet):
    """A subclass that adds state in its constructor and counts its copies."""

    copies = 0

    def __init__(self, entity: Any) -> None:
        super().__init__(entity)
        self.tag = "fresh"

    def _copy(self) -> Any:
        type(self).copies += 1
        return super()._copy()


class Watched(QuerySet):
    """A subclass that observes every attribute assignment."""

    def __setattr__(self, name: str, value: Any) -> None:
        self.__dict__.setdefault("assigned", []).append(name)
        super().__setattr__(name, value)


class Renamed(QuerySet):
    """A subclass that keeps the alias behind a property."""

    @property
    def _using(self) -> str:
        return self.__dict__["alias"]

    @_using.setter
    def _using(self, value: str) -> None:
        self.__dict__["alias"] = value.upper()


def test_a_subclass_constructor_runs_for_every_copy_and_its_attributes_are_not_carried() -> None:
    qs = Tagged(Parcel)
    qs.tag = "changed"
    copied = qs.using("x")
    assert type(copied) is Tagged and copied.tag == "fresh" and Tagged.copies == 1


def test_attribute_assignment_goes_through_the_class() -> None:
    qs = Watched(Parcel).using("x")
    assert qs.assigned == [*STATE, "_paginator", "_order_by", "_select_related", "_query_specifier",
                           "_conditions", "_using", "_annotations", "_using"]  # fmt: skip
    renamed = Renamed(Parcel).using("elsewhere")
    assert renamed._using == "ELSEWHERE" and renamed.get_using() == "ELSEWHERE"
    assert renamed._copy().alias == "ELSEWHERE"


def test_an_overridden_from_queryset_is_used_by_copies() -> None:
    class Logged(QuerySet):
        @classmethod
        def _from_queryset(cls, queryset: Any) -> Any:
            qs = super()._from_queryset(queryset)
            qs.origin = queryset
            return qs

    source = Logged(Parcel)
    assert source._copy().origin is source and copy.copy(source).origin is source
    assert source.filter(code="a").origin is source


def test_an_instance_attribute_shadows_the_class_copy() -> None:
    qs = QuerySet(Parcel)
    qs._copy = lambda: SimpleNamespace(origin="instance attribute")
    assert qs.using("x") == SimpleNamespace(origin="instance attribute", _using="x")
    assert copy.copy(qs) == SimpleNamespace(origin="instance attribute")
