"""Running the query and turning rows into instances, in both twins."""

import asyncio
import inspect
import json
import sys
from collections.abc import Callable
from types import MappingProxyType
from typing import Any

import pytest
from pydantic import ValidationError
from pydantic_partial import create_partial_model
from qs_support import Parcel, Shipment

import kestrum_glue as glue
from kestrum_data.connections.historical.schema_version_manager import register_schema_version
from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_glue import Data
from kestrum_models.classes.model import LegacyModel
from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase
from kestrum_models.querysets.executor import DEFAULT_DB_ALIAS, register_backend, unregister_backend
from kestrum_models.querysets.testing import MemoryBackend
from kestrum_utils.models.enums import Versions
from kestrum_utils.utils.decorators import ModeError, mode


LATEST_KNOWN = "v9"  # the latest class-schema version the manager doubles report


class Twin:
    """Runs the synchronous or the coroutine method of a pair, each in its own mode."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.is_async = name == "async"

    def run(self, qs: Any, method: str, **kwargs: Any) -> Any:
        if self.is_async:
            with mode("async"):
                return asyncio.run(getattr(qs, "_a" + method.lstrip("_"))(**kwargs))
        with mode("sync"):
            return getattr(qs, method)(**kwargs)

    def query(self, qs: Any) -> Any:
        return self.run(qs, "_execute_query")

    def count(self, qs: Any) -> Any:
        return self.run(qs, "_execute_count")

    def create(self, qs: Any, data: Any, is_partial: Any = False) -> Any:
        return self.run(qs, "_create_instance", _is_partial=is_partial, data=data)


@pytest.fixture(params=["sync", "async"])
def twin(request: pytest.FixtureRequest) -> Twin:
    return Twin(request.param)


def executors(result: Any, calls: list[Any] | None = None) -> tuple[type, type]:
    """Executor classes of both twins whose query() and count() return `result`."""

    class Sync:
        def __init__(self, queryset: Any) -> None:
            if calls is not None:
                calls.append((type(self).__name__, queryset))

        def query(self) -> Any:
            return result

        count = query

    class Async(Sync):
        async def query(self) -> Any:  # type: ignore[override]
            await asyncio.sleep(0)
            return result

        count = query  # type: ignore[assignment]

    return Sync, Async


def queryset(result: Any = None, calls: list[Any] | None = None, **options: Any) -> Any:
    sync, async_ = executors(result, calls)
    return QuerySetBase(options.pop("entity", Parcel), sync, async_, **options)


# ---- Running the query ----------------------------------------------------------------------


def test_query_returns_the_executors_own_list(twin: Twin) -> None:
    rows = [Data({"code": "a"})]
    calls: list[Any] = []
    qs = queryset(rows, calls)
    assert twin.query(qs) is rows and twin.query(qs) is rows
    assert [queryset_ for _, queryset_ in calls] == [qs, qs]  # a new executor per run, given the query set
    assert twin.query(queryset(None)) is None


class Rows(list[Any]):
    pass


@pytest.mark.parametrize(("result", "message"), [((), "Expected list, got tuple"), (Rows(), "Expected list, got Rows")])
def test_query_results_other_than_a_list_are_refused(twin: Twin, result: Any, message: str) -> None:
    with pytest.raises(TypeError) as raised:
        twin.query(queryset(result))
    assert str(raised.value) == message


@pytest.mark.parametrize(("result", "expected"), [(5, 5), (True, 1), (3.7, 3), (-2.9, -2), (None, None)])
def test_counts_are_integers(twin: Twin, result: Any, expected: Any) -> None:
    count = twin.count(queryset(result))
    assert count == expected and type(count) is type(expected)


def test_a_count_that_is_no_number_is_refused(twin: Twin) -> None:
    with pytest.raises(TypeError) as raised:
        twin.count(queryset("3"))
    assert str(raised.value) == "Expected int, got str"


def test_executor_failures_propagate(twin: Twin) -> None:
    class Failing:
        def __init__(self, queryset: Any) -> None:
            raise ConnectionError("database down")

    qs = QuerySetBase(Parcel, Failing, Failing)
    with pytest.raises(ConnectionError, match="database down"):
        twin.query(qs)


@pytest.mark.parametrize(
    ("name", "wrong_mode"),
    [("_execute_query", "async"), ("_execute_count", "async"), ("_aexecute_query", "sync"), ("_aexecute_count", "sync")],
)
def test_runners_are_guarded_by_the_mode_decorators(name: str, wrong_mode: Any) -> None:
    wrapper = vars(QuerySetBase)[name]
    assert wrapper.__wrapped__.__qualname__ == f"QuerySetBase.{name}"
    with mode(wrong_mode), pytest.raises(ModeError, match=name):
        getattr(queryset([]), name)()


def test_the_coroutine_runners_are_coroutine_functions() -> None:
    for name in ("_aexecute_query", "_aexecute_count", "_acreate_instance"):
        function = getattr(QuerySetBase, name)
        assert inspect.iscoroutinefunction(function)
    assert QuerySetBase._acreate_instance._is_coroutine is asyncio.coroutines._is_coroutine  # type: ignore[attr-defined]
    assert QuerySetBase._create_instance._is_coroutine is False  # type: ignore[attr-defined]


# ---- Arguments of instance creation ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda f: f(True, Data({})), "takes exactly 1 positional argument (3 given)"),
        (lambda f: f(data=Data({})), "needs keyword-only argument _is_partial"),
        (lambda f: f(_is_partial=True), "needs keyword-only argument data"),
    ],
)
@pytest.mark.parametrize("name", ["_create_instance", "_acreate_instance"])
def test_instance_creation_arguments_are_checked_at_the_call(name: str, call: Callable[[Any], Any], message: str) -> None:
    with pytest.raises(TypeError) as raised:
        call(getattr(queryset(), name))  # the coroutine twin too: no coroutine is made
    assert str(raised.value) == f"{name}() {message}"


class Refuses:
    def __bool__(self) -> bool:
        raise ValueError("no truth value")


@pytest.mark.parametrize("name", ["_create_instance", "_acreate_instance"])
def test_the_partial_flag_is_reduced_at_the_call(name: str) -> None:
    with pytest.raises(ValueError, match="no truth value"):
        getattr(queryset(), name)(_is_partial=Refuses(), data=Data({}))


# ---- Metadata decoding ------------------------------------------------------------------------


def meta(**entries: Any) -> str:
    return json.dumps(entries)


def test_text_metadata_and_object_ids_are_decoded(twin: Twin) -> None:
    row = Data({"code": "a", "_metadata": meta(object_id=json.dumps(["x", 1]))})
    obj = twin.create(queryset(), row)
    assert obj.metadata == {"object_id": ["x", 1]} and obj.code == "a"
    assert row.data["_metadata"] == meta(object_id=json.dumps(["x", 1]))  # the caller's text stays


@pytest.mark.parametrize("object_id", ["plain text", 5, None, b"bytes?", ["x"]])
def test_object_ids_that_are_no_json_text_stay_as_they_are(twin: Twin, object_id: Any) -> None:
    obj = twin.create(queryset(), Data({"_metadata": {"object_id": object_id}}))
    assert obj.metadata == {"object_id": object_id}


def test_a_metadata_mapping_is_decoded_in_place(twin: Twin) -> None:
    metadata = {"object_id": "17"}
    twin.create(queryset(), Data({"_metadata": metadata}))
    assert metadata == {"object_id": 17}


@pytest.mark.parametrize(
    ("fields", "error", "message"),
    [
        ({"_metadata": {"other": 1}}, KeyError, "object_id"),
        ({"_metadata": "null"}, AttributeError, "'NoneType' object has no attribute 'get'"),
        ({"_metadata": "{not json"}, json.JSONDecodeError, "Expecting property name"),
        ({"_metadata": {"object_id": "1", "class_schema_reference": {}}}, KeyError, "ref"),
        ({"_metadata": {"object_id": "1", "class_schema_reference": {"ref": {}}}}, KeyError, "object_version"),
    ],
)
def test_metadata_failures_propagate(twin: Twin, fields: dict[str, Any], error: type, message: str) -> None:
    with pytest.raises(error) as raised:
        twin.create(queryset(), Data(fields))
    assert message in str(raised.value)


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (Data(None), TypeError, "argument after ** must be a mapping, not NoneType"),  # type: ignore[arg-type]
        (Data(5), TypeError, "argument after ** must be a mapping, not int"),  # type: ignore[arg-type]
        (object(), AttributeError, "data"),
    ],
)
def test_rows_without_a_field_mapping_are_refused(twin: Twin, data: Any, error: type, message: str) -> None:
    with pytest.raises(error) as raised:
        twin.create(queryset(), data)
    assert message in str(raised.value)


def test_other_mappings_of_fields_are_converted() -> None:
    obj = queryset()._create_instance(_is_partial=False, data=Data(MappingProxyType({"code": "m"})))  # type: ignore[arg-type]
    assert obj.code == "m"


# ---- The legacy decision ----------------------------------------------------------------------------


class Managers:
    """Schema-version manager doubles of both twins that record the class names asked for."""

    def __init__(self) -> None:
        self.asked: list[str] = []
        outer = self

        class Manager:
            def get_latest_schema_version(self, class_name: str) -> str:
                outer.asked.append(class_name)
                return LATEST_KNOWN

        class AsyncManager:
            async def get_latest_schema_version(self, class_name: str) -> str:
                outer.asked.append(class_name)
                await asyncio.sleep(0)
                return LATEST_KNOWN

        self.sync, self.async_ = Manager, AsyncManager


@pytest.fixture
def managers(monkeypatch: pytest.MonkeyPatch) -> Managers:
    doubles = Managers()
    monkeypatch.setattr(dunmere, "HistoricalSchemaVersionManager", doubles.sync)
    monkeypatch.setattr(dunmere, "AsyncHistoricalSchemaVersionManager", doubles.async_)
    return doubles


def versioned(version: Any, compatible: Any = None, extra: dict[str, Any] | None = None) -> Data:
    reference = {"ref": {"object_version": version}}
    fields = {"code": "a", "_metadata": {"object_id": "1", "class_schema_reference": reference}, **(extra or {})}
    return Data(fields, compatible)


@pytest.mark.parametrize("version", ["", Versions.LATEST, glue.Version.LATEST, "LATEST"])
def test_rows_of_the_latest_schema_never_ask_the_manager(twin: Twin, managers: Managers, version: Any) -> None:
    obj = twin.create(queryset(), versioned(version, {COMPATIBLE_CLASS_VERSIONS: []}))
    assert type(obj) is Parcel and managers.asked == []


@pytest.mark.parametrize(
    ("metadata", "legacy"),
    [
        ({COMPATIBLE_CLASS_VERSIONS: ["v1", LATEST_KNOWN]}, False),  # compatible with both versions
        ({COMPATIBLE_CLASS_VERSIONS: ["v1"]}, True),
        ({COMPATIBLE_CLASS_VERSIONS: ()}, True),
        ({COMPATIBLE_CLASS_VERSIONS: {"v1", "v2"}}, True),
        ({"other": ["v1"]}, False),  # no compatibility entry
        ({}, False),
        (None, False),
    ],
)
def test_incompatible_rows_become_legacy_wrappers(twin: Twin, managers: Managers, metadata: Any, legacy: bool) -> None:
    obj = twin.create(queryset(), versioned("v1", metadata))
    assert managers.asked == ["Parcel"]
    if legacy:
        assert type(obj) is LegacyModel and obj.original_class is Parcel
        assert obj.code == "a" and obj.metadata == {"object_id": 1, "class_schema_reference": {"ref": {"object_version": "v1"}}}
    else:
        assert type(obj) is Parcel


def test_a_row_of_the_latest_version_itself_is_never_legacy(twin: Twin, managers: Managers) -> None:
    obj = twin.create(queryset(), versioned(LATEST_KNOWN, {COMPATIBLE_CLASS_VERSIONS: []}))
    assert type(obj) is Parcel and managers.asked == ["Parcel"]


def test_strict_query_sets_never_wrap_rows_in_either_twin(twin: Twin, managers: Managers) -> None:
    strict = queryset(strict_class_version=True)
    obj = twin.create(strict, versioned("v1", {COMPATIBLE_CLASS_VERSIONS: ["v1"]}))
    assert type(obj) is Parcel and managers.asked == ["Parcel"]  # the manager is still asked
    obj = twin.create(strict._copy(), versioned("v1", {COMPATIBLE_CLASS_VERSIONS: ["v1"]}))
    assert type(obj) is LegacyModel  # copies are not strict


def test_the_manager_is_asked_about_the_entity_name(twin: Twin, managers: Managers) -> None:
    partial = create_partial_model(Shipment)
    row = Data({"code": "a", "_metadata": {"object_id": "1", "class_schema_reference": {"ref": {"object_version": "v1"}}}})
    twin.create(queryset(entity=partial), row, is_partial=True)
    assert managers.asked == ["Shipment"]


def test_legacy_wins_over_partial_and_skips_annotations(twin: Twin, managers: Managers) -> None:
    qs = queryset()
    qs.annotate(score=1)
    obj = twin.create(qs, versioned("v1", {COMPATIBLE_CLASS_VERSIONS: ["v1"]}, {"score": 3}), is_partial=True)
    assert type(obj) is LegacyModel and obj.score == 3


@pytest.mark.parametrize(
    ("row", "error", "message"),
    [
        (versioned(["v1"], {COMPATIBLE_CLASS_VERSIONS: []}), TypeError, "unhashable type: 'list'"),
        (
            versioned("v1", {COMPATIBLE_CLASS_VERSIONS: ["v1"]}, {"original_class": 1}),
            TypeError,
            "kestrum_models.classes.model.LegacyModel() got multiple values for keyword argument 'original_class'",
        ),
    ],
)
def test_legacy_failures_propagate(twin: Twin, managers: Managers, row: Data, error: type, message: str) -> None:
    with pytest.raises(error) as raised:
        twin.create(queryset(), row)
    assert str(raised.value) == message


def test_a_reference_that_is_no_dict_is_not_tested(twin: Twin, managers: Managers) -> None:
    row = Data({"_metadata": {"object_id": "1", "class_schema_reference": [("ref", "v1")]}}, {COMPATIBLE_CLASS_VERSIONS: []})
    assert type(twin.create(queryset(), row)) is Parcel and managers.asked == []


def test_the_registered_schema_versions_serve_the_default_managers(twin: Twin) -> None:
    register_schema_version("Parcel", "v2")
    obj = twin.create(queryset(), versioned("v1", {COMPATIBLE_CLASS_VERSIONS: ["v1"]}))
    assert type(obj) is LegacyModel


# ---- Partial and full instances ---------------------------------------------------------------------


def test_partial_instances_take_the_fields_the_row_has(twin: Twin) -> None:
    qs = queryset(entity=Shipment)
    qs.annotate(note="ignored")
    obj = twin.create(qs, Data({"code": "a", "_metadata": {"object_id": "4"}}), is_partial=1)
    assert type(obj) is create_partial_model(Shipment)
    assert obj.code == "a" and obj.weight is None and obj.metadata == {"object_id": 4}


class Recorded:
    """An entity double that records how it is built."""

    log: list[Any] = []

    def __init__(self, **fields: Any) -> None:
        type(self).log.append(("init", fields))

    def __setattr__(self, name: str, value: Any) -> None:
        type(self).log.append(("set", name, value))


def test_annotations_are_set_after_construction_when_the_row_has_them(twin: Twin) -> None:
    Recorded.log = []
    qs = queryset(entity=Recorded)
    qs.annotate(rank=0, score=0, missing=0)
    twin.create(qs, Data({"score": 7, "rank": 2, "_metadata": {"object_id": '"o"'}}))
    assert Recorded.log == [
        ("init", {"score": 7, "rank": 2, "_metadata": {"object_id": "o"}}),
        ("set", "rank", 2),
        ("set", "score", 7),
    ]


def test_rows_without_metadata_become_plain_instances(twin: Twin) -> None:
    obj = twin.create(queryset(), Data({"code": "b", "weight": 2}))
    assert obj == Parcel(code="b", weight=2) and obj.metadata is None


def test_model_validation_errors_propagate(twin: Twin) -> None:
    with pytest.raises(ValidationError):
        twin.create(queryset(entity=Shipment), Data({"code": "a"}))


def test_instance_creation_reads_its_collaborators_when_it_runs(twin: Twin, monkeypatch: pytest.MonkeyPatch) -> None:
    decoded: list[Any] = []

    class Loads:
        @staticmethod
        def loads(text: str) -> Any:
            decoded.append(text)
            return json.loads(text)

    monkeypatch.setattr(dunmere, "json", Loads)
    twin.create(queryset(), Data({"_metadata": meta(object_id='"x"')}))
    assert decoded == [meta(object_id='"x"'), '"x"']


def test_the_imports_run_when_instances_are_made(twin: Twin, managers: Managers) -> None:
    with pytest.MonkeyPatch.context() as patch:
        patch.setitem(sys.modules, "kestrum_models.classes.model", None)
        with pytest.raises(ImportError, match="kestrum_models.classes.model"):
            twin.create(queryset(), Data({}))
    with pytest.MonkeyPatch.context() as patch:
        fake = type(sys)("kestrum_data.services.historical_table_schema")
        patch.setitem(sys.modules, "kestrum_data.services.historical_table_schema", fake)
        with pytest.raises(ImportError) as raised:
            twin.create(queryset(), Data({}))
        assert str(raised.value) == (
            "cannot import name 'COMPATIBLE_CLASS_VERSIONS' from 'kestrum_data.services.historical_table_schema' "
            "(unknown location)"
        )
        fake.COMPATIBLE_CLASS_VERSIONS = "other_key"
        compatible = {"other_key": ["v1", LATEST_KNOWN], COMPATIBLE_CLASS_VERSIONS: []}
        obj = twin.create(queryset(), versioned("v1", compatible))
        assert type(obj) is Parcel  # compatible under the key the module now names
    obj = twin.create(queryset(), versioned("v1", compatible))
    assert type(obj) is LegacyModel


def test_queries_run_through_the_registered_backend() -> None:
    rows = [Data({"code": code, "weight": weight}) for code, weight in [("a", 3), ("b", 1), ("c", 2), ("d", 5)]]
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend(rows))
    try:
        qs = QuerySet(Parcel).filter(weight__gt=1).order_by("-weight")[0:2]
        with mode("sync"):
            assert [obj.code for obj in qs.execute()] == ["d", "a"]
            assert qs.count().execute() == 2
        with mode("async"):
            assert [obj.code for obj in asyncio.run(qs.aexecute())] == ["d", "a"]
    finally:
        unregister_backend(DEFAULT_DB_ALIAS)
