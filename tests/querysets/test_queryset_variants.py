"""The terminal query sets: conversions, overrides and what execution yields."""

import asyncio
import gc
import inspect
import weakref
from typing import Any

import pytest
from pydantic import ValidationError
from pydantic_partial import create_partial_model
from qs_support import Parcel, Shipment, method_doc

from kestrum_glue import Data
from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetCount, QuerySetOne, QuerySetOneRequired
from kestrum_models.querysets.errors import MultipleObjectsReturnedError, ObjectDoesNotExistError
from kestrum_models.querysets.executor import DEFAULT_DB_ALIAS, register_backend, unregister_backend
from kestrum_models.querysets.testing import prepared_async_executor, prepared_executor
from kestrum_models.querysets.testing import MemoryBackend
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import ModeError, mode


ROWS = [Data({"code": code, "weight": weight}) for code, weight in [("a", 1), ("b", 2), ("c", 3)]]


class Twin:
    def __init__(self, name: str) -> None:
        self.is_async = name == "async"

    def execute(self, qs: Any) -> Any:
        if self.is_async:
            with mode("async"):
                return asyncio.run(qs.aexecute())
        with mode("sync"):
            return qs.execute()


@pytest.fixture(params=["sync", "async"])
def twin(request: pytest.FixtureRequest) -> Twin:
    return Twin(request.param)


def over(rows: list[Data], qs: Any) -> Any:
    """`qs` running over prepared rows (its copies use the default executors)."""
    qs._executor, qs._async_executor = prepared_executor(rows), prepared_async_executor(rows)
    return qs


# ---- Classes and interface texts ----------------------------------------------------------------

OVERRIDES = ["only", "distinct", "filter", "exclude", "order_by"]
METHODS = {
    QuerySet: ["get", "get_or_none", "first", "count", "select_related", "execute", "aexecute", *OVERRIDES],
    QuerySetOne: ["__init__", "execute", "aexecute", *OVERRIDES],
    QuerySetOneRequired: ["execute", "aexecute", *OVERRIDES],
    QuerySetCount: ["execute", "aexecute", *OVERRIDES],
}


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda cls: cls.__name__)
def test_variants_define_their_methods(cls: type) -> None:
    assert [name for name in vars(cls) if name in {*METHODS[cls], "__init__"}] == METHODS[cls]
    assert set(vars(cls)) - set(METHODS[cls]) == {"__module__", "__doc__", "__orig_bases__", "__parameters__"}


def function(cls: type, name: str) -> Any:
    value = vars(cls)[name]
    return getattr(value, "__wrapped__", value)


def args_block(*lines: str) -> list[str]:
    return ["Args:", *lines]


FILTERS = ("args (Q): The filters to be applied.", "kwargs (Any): The filters to be applied.")
STAR_FILTERS = ("*args (Q): The filters to be applied as positional arguments.",
                "**kwargs (Any): The filters to be applied as keyword arguments.")  # fmt: skip
D6 = method_doc(
    8,
    ["Return the list of items."],
    ["This method executes the query and returns a list of model instances.",
     "If the `only` attribute is set, partial model instances are created."],
    ["Returns:", "list[ModelType]: A list of model instances."],
)  # fmt: skip
D10 = method_doc(
    8,
    ["Query the database and return the single item or None."],
    ["This method executes the query and returns a single model instance or None.",
     "If multiple items are found, a `MultipleObjectsReturnedError` is raised."],
    ["Raises:", "MultipleObjectsReturnedError: If multiple items are found."],
    ["Returns:", "ModelType | None: The single model instance or None if no items are found."],
)  # fmt: skip
D11 = method_doc(
    8,
    ["Return the single item."],
    ["This method executes the query and returns a single model instance.",
     "If no items are found, an `ObjectDoesNotExistError` is raised."],
    ["Raises:", "ObjectDoesNotExistError: If no items are found."],
    ["Returns:", "ModelType: The single model instance."],
)  # fmt: skip
D12 = method_doc(
    8,
    ["Return the count of items."],
    ["This method executes the query and returns the count of model instances", "that match the query criteria."],
    ["Returns:", "int: The count of model instances."],
)
VARIANT_DOCS = {
    "get": method_doc(
        8,
        ["Change the QuerySet to a QuerySetOneRequired. Query execution will return a single item or raise an error."],
        args_block(*FILTERS),
        ["Returns:", "QuerySetOneRequired: A new instance of the QuerySetOneRequired with the applied filters."],
    ),
    "get_or_none": method_doc(
        8,
        ["Change the QuerySet to a QuerySetOne. Query execution will return a single item or None."],
        args_block(*FILTERS),
        ["Returns:", "QuerySetOne: A new instance of the QuerySetOne with the applied filters."],
    ),
    "first": method_doc(
        8,
        ["Change the QuerySet to a QuerySetOne. Query execution will return the first item or None."],
        args_block(*FILTERS),
        ["Returns:", "QuerySetOne: A new instance of the QuerySetOne with the applied filters."],
    ),
    "count": method_doc(
        8,
        ["Change the QuerySet to a QuerySetCount. Query execution will return the count of items."],
        ["Returns:", "QuerySetCount: A new instance of the QuerySetCount."],
    ),
    "select_related": method_doc(
        8,
        ["Include related objects in the query results."],
        ["This method creates a copy of the current query set and sets the `select_related`",
         "attribute to the specified fields, including related objects in the query results."],
        args_block("*fields (str): The related objects to include in the query results."),
        ["Returns:", "Self: A new instance of the query set with the specified related objects."],
    ),  # fmt: skip
    "filter": method_doc(
        8,
        ["Apply filters to the query. The filters are combined with AND."],
        ["This method creates a copy of the current query set and applies the specified",
         "filters to it. The filters can be provided as positional arguments or keyword",
         "arguments, and they are combined using the AND operator."],
        args_block(*STAR_FILTERS),
        ["Returns:", "Self: A new instance of the query set with the applied filters."],
    ),  # fmt: skip
    "exclude": method_doc(
        8,
        ["Exclude filters from the query. The filters are combined with AND."],
        ["This method creates a copy of the current query set and applies the specified",
         "filters to exclude certain results. The filters can be provided as positional",
         "arguments or keyword arguments, and they are combined using the AND operator."],
        args_block(*STAR_FILTERS),
        ["Returns:", "Self: A new instance of the query set with the applied exclusion filters."],
    ),  # fmt: skip
    "order_by": method_doc(
        8,
        ["Order the query by the given fields."],
        ["This method creates a copy of the current query set and sets the `order_by`",
         "attribute to the specified fields, determining the order of the query results."],
        args_block("*args (str): The fields to order by."),
        ["Returns:", "Self: A new instance of the query set with the specified order."],
    ),  # fmt: skip
}
EXECUTE_DOCS = {QuerySet: D6, QuerySetOne: D10, QuerySetOneRequired: D11, QuerySetCount: D12}
EXECUTE_RESULTS = {QuerySet: "list[ModelType]", QuerySetOne: "ModelType | None", QuerySetOneRequired: "ModelType",
                   QuerySetCount: "int"}  # fmt: skip


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda cls: cls.__name__)
def test_variant_docstrings_and_annotations(cls: type) -> None:
    for name in ("execute", "aexecute"):
        assert function(cls, name).__doc__ == EXECUTE_DOCS[cls]
        assert function(cls, name).__annotations__ == {"self": "Self", "return": EXECUTE_RESULTS[cls]}
    for name in ("filter", "exclude", "order_by"):
        assert function(cls, name).__doc__ == VARIANT_DOCS[name]
    for name in ("only", "distinct"):
        assert function(cls, name).__doc__ == vars(QuerySetBase)[name].__doc__
        assert function(cls, name).__annotations__ == {"self": "Self", "fields": "list[str]", "return": "Self"}
    assert function(cls, "filter").__annotations__ == {"self": "Self", "args": "Q", "kwargs": "Any", "return": "Self"}
    assert function(cls, "order_by").__annotations__ == {"self": "Self", "args": "str", "return": "Self"}
    assert inspect.iscoroutinefunction(cls.aexecute) and not inspect.iscoroutinefunction(cls.execute)


def test_queryset_methods_docstrings_and_annotations() -> None:
    for name in ("get", "get_or_none", "first", "count", "select_related"):
        assert function(QuerySet, name).__doc__ == VARIANT_DOCS[name]
    results = {"get": "'QuerySetOneRequired[ModelType]'", "get_or_none": "'QuerySetOne[ModelType]'",
               "first": "'QuerySetOne[ModelType]'"}  # fmt: skip
    for name, result in results.items():
        assert function(QuerySet, name).__annotations__ == {"self": "Self", "args": "Q", "kwargs": "Any", "return": result}
    assert function(QuerySet, "count").__annotations__ == {"self": "Self", "return": "'QuerySetCount[ModelType]'"}
    assert function(QuerySet, "select_related").__annotations__ == {"self": "Self", "fields": "str", "return": "Self"}
    init = function(QuerySetOne, "__init__")
    assert init.__doc__ is None and init.__annotations__ == {"self": "Self", "entity": "type[ModelType]"}


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda cls: cls.__name__)
def test_execution_is_guarded_by_the_mode_decorators(cls: type) -> None:
    qs = cls(Parcel)
    with mode("async"), pytest.raises(ModeError, match=r"\.execute\(\)"):
        qs.execute()
    with mode("sync"), pytest.raises(ModeError, match=r"\.aexecute\(\)"):
        qs.aexecute()


# ---- QuerySetOne construction -------------------------------------------------------------------


def test_one_row_query_sets_start_with_defaults() -> None:
    qs = QuerySetOne(entity=Parcel)
    assert qs._raise_on_multiple is True and list(vars(qs))[-1] == "_raise_on_multiple"
    assert QuerySetOneRequired(Parcel)._raise_on_multiple is True
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 2 positional arguments \(3 given\)"):
        QuerySetOne(Parcel, prepared_executor([]))
    with pytest.raises(TypeError, match="unexpected keyword argument 'strict_class_version'"):
        QuerySetOneRequired(Parcel, strict_class_version=True)


# ---- Conversions ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("convert", "target", "raise_on_multiple"),
    [
        (lambda qs: qs.get(code="a"), QuerySetOneRequired, True),
        (lambda qs: qs.get_or_none(code="a"), QuerySetOne, True),
        (lambda qs: qs.first(code="a"), QuerySetOne, False),
    ],
)
def test_conversions_filter_a_copy_into_the_target_class(convert: Any, target: type, raise_on_multiple: bool) -> None:
    source = QuerySet(Parcel, prepared_executor(ROWS), strict_class_version=True).order_by("code")[0:2]
    source.annotate(score=1)
    qs = convert(source)
    assert type(qs) is target and qs._raise_on_multiple is raise_on_multiple
    assert qs._conditions == Q(code="a") and source._conditions is None
    assert qs._order_by == source._order_by and qs._paginator == source._paginator and qs._annotations == {"score": 1}
    assert (qs._executor, qs._strict_class_version) == (QuerySetBase(Parcel)._executor, False)


def test_count_carries_the_whole_query() -> None:
    source = QuerySet(Parcel).filter(weight__gt=1).only(["code"])[1:3]
    qs = source.count()
    assert type(qs) is QuerySetCount and qs._conditions == source._conditions
    assert qs._paginator == source._paginator and qs._query_specifier == source._query_specifier


def test_conversions_take_a_negated_keyword_as_the_negation_flag() -> None:
    assert QuerySet(Parcel).get(negated=True, code="a")._conditions == ~Q(code="a")
    assert QuerySet(Parcel).first(Q(code="a"), negated=1)._conditions == ~Q(code="a")


def test_conversions_look_the_target_up_when_they_run(monkeypatch: pytest.MonkeyPatch) -> None:
    class Other(QuerySetOneRequired):
        pass

    monkeypatch.setattr(dunmere, "QuerySetOneRequired", Other)
    assert type(QuerySet(Parcel).get()) is Other


def test_a_later_building_operation_raises_on_multiple_rows_again(twin: Twin) -> None:
    first = QuerySet(Parcel).first()
    assert first._raise_on_multiple is False
    ordered = first.order_by("code")
    assert type(ordered) is QuerySetOne and ordered._raise_on_multiple is True
    with pytest.raises(MultipleObjectsReturnedError):
        twin.execute(over(ROWS, ordered))


# ---- Overrides ------------------------------------------------------------------------------------


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda cls: cls.__name__)
def test_overrides_return_the_receivers_class(cls: type) -> None:
    qs = cls(Parcel)
    for result in (qs.only(["code"]), qs.distinct(["code"]), qs.filter(code="a"), qs.exclude(code="a"), qs.order_by("code")):
        assert type(result) is cls and result is not qs
    assert qs.filter() is qs and qs.exclude() is qs
    with pytest.raises(TypeError, match=r"Argument 'fields' has incorrect type \(expected list, got tuple\)"):
        qs.only(("code",))
    with pytest.raises(TypeError, match=r"Argument 'fields' has incorrect type \(expected list, got NoneType\)"):
        qs.distinct(None)


def test_overrides_delegate_to_the_next_class_in_the_receivers_order() -> None:
    seen = []

    class Recording(QuerySetBase):
        def only(self, fields: Any) -> Any:
            seen.append(("only", fields))
            return super().only(fields)

        def filter(self, *args: Any, **kwargs: Any) -> Any:
            seen.append(("filter", args, kwargs))
            return super().filter(*args, **kwargs)

        def select_related(self, *fields: str) -> Any:
            seen.append(("select_related", fields))
            return super().select_related(*fields)

    class Mixed(QuerySet, Recording):
        pass

    assert Mixed.__mro__[1:3] == (QuerySet, Recording)
    qs = Mixed(Parcel).only(fields=["code"]).filter(Q(code="a"), weight=1).select_related("a__b")
    assert type(qs) is Mixed and qs._select_related == {"a": {"b": {}}}
    assert seen == [("only", ["code"]), ("filter", (Q(code="a"),), {"weight": 1}), ("select_related", ("a__b",))]


def test_required_overrides_go_past_the_one_row_overrides(monkeypatch: pytest.MonkeyPatch) -> None:
    def refused(*args: Any, **kwargs: Any) -> Any:
        raise AssertionError("QuerySetOne's override was used")

    for name in OVERRIDES:
        monkeypatch.setattr(QuerySetOne, name, refused)
    qs = QuerySetOneRequired(Parcel).only(["code"]).distinct(["code"]).filter(code="a").exclude(weight=1).order_by("code")
    assert type(qs) is QuerySetOneRequired and qs._conditions == Q(code="a") & ~Q(weight=1)
    with pytest.raises(AssertionError):
        QuerySetOne(Parcel).only(["code"])


def test_required_overrides_read_the_module_global(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(dunmere, "QuerySetOne", QuerySetCount)
    with pytest.raises(TypeError, match="super"):
        QuerySetOneRequired(Parcel).only(["code"])


# ---- What execution yields ---------------------------------------------------------------------


def test_queryset_yields_a_new_list_of_instances(twin: Twin) -> None:
    qs = over(ROWS, QuerySet(Parcel))
    first, second = twin.execute(qs), twin.execute(qs)
    assert [obj.code for obj in first] == ["a", "b", "c"] and first is not second and first == second
    assert twin.execute(over([], QuerySet(Parcel))) == []


def test_a_field_selection_makes_partial_instances(twin: Twin) -> None:
    rows = [Data({"code": "a"}), Data({"code": "b"})]
    partial = over(rows, QuerySet(Shipment).only(["code"]))
    assert [type(obj) for obj in twin.execute(partial)] == [create_partial_model(Shipment)] * 2


class Recording(QuerySet):
    """Records the instance-creation calls of execution, in order."""

    log: list[Any] = []

    def _create_instance(self, *, _is_partial: bool, data: Any) -> Any:
        type(self).log.append(("create", _is_partial, data.data["code"]))
        return super()._create_instance(_is_partial=_is_partial, data=data)

    async def _acreate_instance(self, *, _is_partial: bool, data: Any) -> Any:
        type(self).log.append(("start", _is_partial, data.data["code"]))
        await asyncio.sleep(0)
        obj = await super()._acreate_instance(_is_partial=_is_partial, data=data)
        type(self).log.append(("end", _is_partial, data.data["code"]))
        return obj


def test_rows_are_converted_one_after_the_other_through_self(twin: Twin) -> None:
    Recording.log = []
    qs = over(ROWS, Recording(Parcel).only(["code", "weight"]))
    assert [obj.code for obj in twin.execute(over(ROWS, qs))] == ["a", "b", "c"]
    if twin.is_async:
        assert Recording.log == [(step, True, code) for code in "abc" for step in ("start", "end")]
    else:
        assert Recording.log == [("create", True, code) for code in "abc"]


def test_an_executor_returning_none_fails(twin: Twin) -> None:
    for cls, message in [(QuerySet, "'NoneType' object is not iterable"),
                         (QuerySetOne, "object of type 'NoneType' has no len()")]:  # fmt: skip
        qs = cls(Parcel)
        qs._executor, qs._async_executor = type(  # an executor whose query() returns None
            "NoRows", (), {"__init__": lambda self, q: None, "query": lambda self: None}
        ), type("NoRows", (), {"__init__": lambda self, q: None, "query": lambda self: asyncio.sleep(0)})
        with pytest.raises(TypeError) as raised:
            twin.execute(qs)
        assert str(raised.value) == message


def test_a_failing_row_fails_the_whole_execution(twin: Twin) -> None:
    rows = [Data({"code": "a"}), Data({"code": 5})]

    with pytest.raises(ValidationError):
        twin.execute(over(rows, QuerySet(Parcel)))


@pytest.mark.parametrize(("rows", "expected"), [([], None), (ROWS[:1], "a")])
def test_one_row_query_sets_yield_the_row_or_none(twin: Twin, rows: list[Data], expected: Any) -> None:
    obj = twin.execute(over(rows, QuerySetOne(Parcel)))
    assert (obj.code if obj else None) == expected


def test_one_row_query_sets_refuse_several_rows(twin: Twin) -> None:
    for cls in (QuerySetOne, QuerySetOneRequired):
        with pytest.raises(MultipleObjectsReturnedError) as raised:
            twin.execute(over(ROWS[:2], cls(Parcel)))
        assert raised.value.args == ("Multiple items found",)


class RecordingOne(QuerySetOne):
    log: list[Any] = []

    def _create_instance(self, *, _is_partial: bool, data: Any) -> Any:
        type(self).log.append(data.data["code"])
        return super()._create_instance(_is_partial=_is_partial, data=data)

    async def _acreate_instance(self, *, _is_partial: bool, data: Any) -> Any:
        type(self).log.append(data.data["code"])
        return await super()._acreate_instance(_is_partial=_is_partial, data=data)


def test_first_converts_only_the_first_row(twin: Twin) -> None:
    RecordingOne.log = []
    qs = over(ROWS, RecordingOne._from_queryset(QuerySet(Parcel)))
    qs._raise_on_multiple = False  # as first() leaves it
    assert twin.execute(qs).code == "a" and RecordingOne.log == ["a"]
    assert twin.execute(over([], QuerySet(Parcel).first())) is None


def test_the_multiple_rows_flag_is_read_only_for_several_rows(twin: Twin) -> None:
    qs = over(ROWS[:1], QuerySetOne(Parcel))
    del qs._raise_on_multiple
    assert twin.execute(qs).code == "a"
    with pytest.raises(AttributeError, match="_raise_on_multiple"):
        twin.execute(over(ROWS, qs))


def test_required_query_sets_refuse_no_rows(twin: Twin) -> None:
    with pytest.raises(ObjectDoesNotExistError) as raised:
        twin.execute(over([], QuerySetOneRequired(Parcel)))
    assert raised.value.args == ("No items found",)
    assert twin.execute(over(ROWS[2:], QuerySet(Parcel).get())).code == "c"


def test_get_and_get_or_none_over_matching_rows(twin: Twin) -> None:
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend(ROWS + [Data({"code": "b", "weight": 9})]))
    try:
        qs = QuerySet(Parcel)
        assert twin.execute(qs.get(code="a")).weight == 1
        assert twin.execute(qs.get_or_none(code="z")) is None
        for converted in (qs.get(code="b"), qs.get_or_none(code="b")):
            with pytest.raises(MultipleObjectsReturnedError):
                twin.execute(converted)
        with pytest.raises(ObjectDoesNotExistError):
            twin.execute(qs.get(code="z"))
        assert twin.execute(qs.first(code="b")).weight == 2
        assert twin.execute(qs.filter(code="b").count()) == 2
    finally:
        unregister_backend(DEFAULT_DB_ALIAS)


@pytest.mark.parametrize(("count", "expected"), [(4, 4), (2.5, 2), (None, None)])
def test_count_query_sets_yield_the_executors_count(twin: Twin, count: Any, expected: Any) -> None:
    qs = QuerySetCount(Parcel)
    qs._executor = type("Counting", (), {"__init__": lambda self, q: None, "count": lambda self: count})
    qs._async_executor = type("Counting", (), {"__init__": lambda self, q: None, "count": lambda self: asyncio.sleep(0, count)})
    result = twin.execute(qs)
    assert result == expected and type(result) is type(expected)


# ---- Asynchronous behaviour ---------------------------------------------------------------------


def test_several_executions_run_concurrently_under_gather() -> None:
    async def main() -> list[Any]:
        queries = [over(ROWS[i:], QuerySet(Parcel)).aexecute() for i in range(3)]
        return await asyncio.gather(*queries, over(ROWS, QuerySet(Parcel).count()).aexecute())

    with mode("async"):
        results = asyncio.run(main())
    assert [[obj.code for obj in result] for result in results[:3]] == [["a", "b", "c"], ["b", "c"], ["c"]]
    assert results[3] == 3


def test_cancellation_while_the_executor_is_awaited_leaves_nothing_behind() -> None:
    started: list[Any] = []

    class Waiting:
        def __init__(self, queryset: Any) -> None:
            pass

        async def query(self) -> Any:
            future = asyncio.get_running_loop().create_future()
            started.append(future)
            return await future

    async def main() -> None:
        qs = QuerySet(Parcel, None, Waiting)
        task = asyncio.ensure_future(qs.aexecute())
        await asyncio.sleep(0)
        assert started and not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert started[0].cancelled()
        probe = weakref.ref(qs)
        del qs, task
        started.clear()
        await asyncio.sleep(0)  # let the loop drop the callbacks of the cancelled future
        await asyncio.sleep(0)
        gc.collect()
        assert probe() is None

    with mode("async"):
        asyncio.run(main())
