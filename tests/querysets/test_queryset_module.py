"""What loading the query-set module binds, and the interface texts of its classes."""

import inspect
import logging
import os
import subprocess
import sys
import textwrap
import typing
from typing import Any, Generic

import pytest
from qs_support import Parcel, method_doc

from kestrum_models.querysets import dunmere
from kestrum_models.querysets import executor
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetCount, QuerySetOne, QuerySetOneRequired
from kestrum_utils.query import utils


MODULE = "kestrum_models.querysets.dunmere"

# Names the module body binds, in the order it binds them.
BOUND = [
    "copy", "json", "logging",
    "TYPE_CHECKING", "Any", "Generic", "Self", "TypeVar",
    "glue",
    "AsyncHistoricalSchemaVersionManager", "HistoricalSchemaVersionManager",
    "Versions", "OrderBy", "NumberPaginator", "QuerySpecifier", "Q", "async_mode_only", "sync_mode_only",
    "create_partial_model",
    "is_partial_model", "BulkOperationError", "MultipleObjectsReturnedError", "ObjectDoesNotExistError",
    "DEFAULT_DB_ALIAS", "AsyncExecutor", "AsyncExecutorBase", "Executor", "ExecutorBase",
    "logger", "ModelType",
    "QuerySetBase", "QuerySet", "QuerySetOne", "QuerySetOneRequired", "QuerySetCount",
]  # fmt: skip


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    env = os.environ | {"PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True)


def test_module_binds_its_names_in_order_and_nothing_else() -> None:
    names = [name for name in vars(dunmere) if not name.startswith("__")]
    assert names == BOUND
    assert "Model" not in vars(dunmere)  # imported only for type checking


def test_imported_names_are_the_collaborators_themselves() -> None:
    assert dunmere.glue is sys.modules["kestrum_glue"]
    assert dunmere.Executor is executor.Executor and dunmere.Q is utils.Q
    assert dunmere.TYPE_CHECKING is False and dunmere.Generic is Generic


def test_logger_and_type_variable() -> None:
    assert dunmere.logger is logging.getLogger(MODULE)
    model_type = dunmere.ModelType
    assert isinstance(model_type, typing.TypeVar) and model_type.__name__ == "ModelType"
    assert model_type.__bound__ == typing.ForwardRef("Model")
    assert model_type.__module__ == MODULE


@pytest.mark.parametrize(
    ("cls", "declared"),
    [
        (QuerySetBase, lambda m: (Generic[m],)),
        (QuerySet, lambda m: (QuerySetBase[m], Generic[m])),
        (QuerySetOne, lambda m: (QuerySetBase[m], Generic[m])),
        (QuerySetOneRequired, lambda m: (QuerySetOne[m], Generic[m])),
        (QuerySetCount, lambda m: (QuerySetBase[m], Generic[m])),
    ],
)
def test_classes_derive_from_their_declared_generic_bases(cls: type, declared: Any) -> None:
    model_type = dunmere.ModelType
    assert cls.__orig_bases__ == declared(model_type)
    assert type(cls) is type and cls.__module__ == MODULE and cls.__qualname__ == cls.__name__
    assert cls.__parameters__ == (model_type,)
    assert "__slots__" not in vars(cls)
    alias = cls[Parcel]
    assert typing.get_origin(alias) is cls and typing.get_args(alias) == (Parcel,)


def test_method_resolution_orders() -> None:
    assert QuerySetBase.__mro__ == (QuerySetBase, Generic, object)
    assert QuerySetOneRequired.__mro__ == (QuerySetOneRequired, QuerySetOne, QuerySetBase, Generic, object)
    for cls in (QuerySet, QuerySetOne, QuerySetCount):
        assert cls.__mro__ == (cls, QuerySetBase, Generic, object)


def test_base_class_defines_its_methods_in_order() -> None:
    class_attributes = {"__module__", "__doc__", "__orig_bases__", "__dict__", "__weakref__", "__parameters__"}
    members = [name for name in vars(QuerySetBase) if name not in class_attributes]
    assert members == [
        "__init__", "entity_name", "table_name", "entity", "get_conditions", "get_select_related",
        "get_query_specifier", "get_order_by", "get_using", "get_paginator", "using", "annotate",
        "_from_queryset", "_copy", "__copy__", "only", "distinct", "filter", "exclude",
        "_execute_query", "_execute_count", "_aexecute_query", "_aexecute_count",
        "_filter", "order_by", "__getitem__", "_create_instance", "_acreate_instance", "latest", "_check_type",
        "select_related", "__iter__", "__contains__",
    ]  # fmt: skip
    assert isinstance(vars(QuerySetBase)["_from_queryset"], classmethod)
    for name in ("entity_name", "table_name", "entity"):
        prop = vars(QuerySetBase)[name]
        assert isinstance(prop, property) and prop.fset is None and prop.fdel is None


def accessor_doc(summary: str, sentence: str, returns: str) -> str:
    return method_doc(8, [summary], [sentence], ["Returns:", returns])


BASE_DOCS = {
    "entity_name": accessor_doc(
        "Get the name of the entity associated with the query set.",
        "This property returns the name of the model class associated with the query set.",
        "str: The name of the model class.",
    ),
    "entity": accessor_doc(
        "Get the entity associated with the query set.",
        "This property returns the model class associated with the query set.",
        "type[ModelType]: The model class.",
    ),
    "get_conditions": accessor_doc(
        "Get the conditions of the query set.",
        "This property returns the conditions of the query set.",
        "Q | None: The conditions of the query set.",
    ),
    "get_select_related": accessor_doc(
        "Get the related objects to include in the query results.",
        "This property returns the related objects to include in the query results.",
        "bool | dict[str, Any]: The related objects to include in the query results.",
    ),
    "get_query_specifier": accessor_doc(
        "Get the query specifier of the query set.",
        "This property returns the query specifier of the query set.",
        "QuerySpecifier: The query specifier of the query set.",
    ),
    "get_order_by": accessor_doc(
        "Get the order by fields of the query set.",
        "This property returns the order by fields of the query set.",
        "list[OrderBy]: The order by fields of the query set.",
    ),
    "get_using": accessor_doc(
        "Get the database alias used for the query.",
        "This property returns the database alias used for the query.",
        "str: The database alias used for the query.",
    ),
    "get_paginator": accessor_doc(
        "Get the paginator of the query set.",
        "This property returns the paginator of the query set.",
        "NumberPaginator: The paginator of the query set.",
    ),
    "using": method_doc(
        8,
        ["Set the database alias to be used for the query."],
        [
            "This method creates a copy of the current query set and sets the `_using`",
            "attribute to the specified database alias.",
        ],
        ["Args:", "value (str): The database alias to be used for the query."],
        ["Returns:", "Self: A new instance of the query set with the specified database alias."],
    ),
    "only": method_doc(
        8,
        ["Limit the number of fields to be returned."],
        [
            "This method creates a copy of the current query set and sets the `only`",
            "attribute to the specified fields, limiting the fields to be returned",
            "in the query results.",
        ],
        ["Args:", "fields (list[str]): The fields to be returned."],
        ["Returns:", "Self: A new instance of the query set with the specified fields."],
    ),
    "distinct": method_doc(
        8,
        ["Return only distinct (different) values."],
        [
            "This method creates a copy of the current query set and sets the `distinct`",
            "attribute to the specified fields, ensuring that only distinct values are",
            "returned in the query results.",
        ],
        ["Args:", "fields (list[str]): The fields to be distinct."],
        ["Returns:", "Self: A new instance of the query set with the specified distinct fields."],
    ),
    "filter": method_doc(
        8,
        ["Apply filters to the query. The filters are combined with AND."],
        ["Args:", "args (Q): The filters to be applied.", "kwargs (Any): The filters to be applied."],
        ["Returns:", "Self: A new instance of the query set with the applied filters."],
    ),
    "exclude": method_doc(
        8,
        ["Exclude filters from the query. The filters are combined with AND."],
        ["Args:", "args (Q): The filters to be applied.", "kwargs (Any): The filters to be applied."],
        ["Returns:", "Self: A new instance of the query set with the applied filters."],
    ),
    "order_by": method_doc(
        8,
        ["Order the query by the given fields."],
        ["Args:", "args (str): The fields to order by."],
        ["Returns:", "Self: A new instance of the query set with the specified order."],
    ),
    "latest": method_doc(
        8,
        ["Filter the query set to include only the latest version of the model instances."],
        [
            "This method creates a copy of the current query set and applies a filter to",
            "include only the latest version of the model instances.",
        ],
        [
            "Returns:",
            "Self: A new instance of the query set with the filter applied to include",
            "only the latest version of the model instances.",
        ],
    ),
    "select_related": method_doc(
        8,
        ["Include related objects in the query results."],
        ["Args:", "*fields (str): The related objects to include in the query results."],
        ["Returns:", "Self: A new instance of the query set with the specified related objects."],
    ),
}
UNDOCUMENTED = ["__init__", "table_name", "annotate", "_from_queryset", "_copy", "__copy__", "_filter", "__getitem__",
                "_check_type", "_execute_query", "_execute_count", "_aexecute_query", "_aexecute_count",
                "_create_instance", "_acreate_instance"]  # fmt: skip

VARIANT_MIDDLE = [
    "This class provides methods to create and manipulate query sets for model instances.",
    "It includes methods for filtering, ordering, and executing queries, as well as handling",
]
CLASS_DOCS = {
    QuerySetBase: "\n    Base class for QuerySets.\n\n"
    "    This class provides the base functionality for creating and manipulating\n"
    "    query sets for model instances. It includes methods for filtering, ordering,\n"
    "    and executing queries, as well as handling pagination and distinct results.\n\n    ",
    QuerySet: method_doc(
        4, ["Interface to access the database."], [*VARIANT_MIDDLE, "pagination and distinct results."]
    ),
    QuerySetOne: method_doc(
        4,
        ["QuerySet class for models. QuerySet is executed to a single model object or None."],
        [*VARIANT_MIDDLE, "pagination and distinct results. The query execution will return a single item or None."],
    ),
    QuerySetOneRequired: method_doc(
        4,
        ["QuerySet class for models. QuerySet is executed to a single model object or raises an error."],
        [
            *VARIANT_MIDDLE,
            "pagination and distinct results. The query execution will return a single item or raise",
            "an error if no items are found.",
        ],
    ),
    QuerySetCount: method_doc(
        4,
        ["QuerySet class for models. QuerySet is executed to a count of items."],
        [*VARIANT_MIDDLE, "pagination and distinct results. The query execution will return the count of items."],
    ).removesuffix("\n    ")
    + "\n\n    ",
}


def member(name: str, cls: type = QuerySetBase) -> Any:
    """The function a class body defined under `name` (unwrapped from property, classmethod, decorator)."""
    value = vars(cls)[name]
    value = value.fget if isinstance(value, property) else getattr(value, "__func__", value)
    return getattr(value, "__wrapped__", value)


@pytest.mark.parametrize("name", sorted(BASE_DOCS))
def test_documented_methods_carry_their_docstrings(name: str) -> None:
    assert member(name).__doc__ == BASE_DOCS[name]
    if name in ("entity_name", "entity"):
        assert vars(QuerySetBase)[name].__doc__ == BASE_DOCS[name]


@pytest.mark.parametrize("name", UNDOCUMENTED)
def test_other_methods_have_no_docstring(name: str) -> None:
    assert member(name).__doc__ is None


@pytest.mark.parametrize("cls", list(CLASS_DOCS), ids=lambda cls: cls.__name__)
def test_class_docstrings(cls: type) -> None:
    assert cls.__doc__ == CLASS_DOCS[cls]


SELF = {"self": "Self"}
ANNOTATIONS = {
    "__init__": SELF | {"entity": "type[ModelType]", "executor": "ExecutorBase[ModelType] | None",
                        "async_executor": "AsyncExecutorBase[ModelType] | None", "strict_class_version": "bool"},
    "entity_name": SELF | {"return": "str"},
    "table_name": SELF | {"return": "str"},
    "entity": SELF | {"return": "type[ModelType]"},
    "get_conditions": SELF | {"return": "Q | None"},
    "get_select_related": {"return": "bool | dict[str, Any]"},
    "get_query_specifier": SELF | {"return": "QuerySpecifier"},
    "get_order_by": SELF | {"return": "list[OrderBy]"},
    "get_using": SELF | {"return": "str"},
    "get_paginator": SELF | {"return": "NumberPaginator"},
    "using": SELF | {"value": "str", "return": "Self"},
    "annotate": SELF | {"kwargs": "Any", "return": "Self"},
    "_from_queryset": {"cls": "type[Self]", "queryset": "'QuerySetBase[ModelType]'", "return": "Self"},
    "_copy": SELF | {"return": "Self"},
    "__copy__": SELF | {"return": "Self"},
    "only": SELF | {"fields": "list[str]", "return": "Self"},
    "distinct": SELF | {"fields": "list[str]", "return": "Self"},
    "filter": SELF | {"args": "Q", "kwargs": "Any", "return": "Self"},
    "exclude": SELF | {"args": "Q", "kwargs": "Any", "return": "Self"},
    "_filter": SELF | {"args": "Q", "negated": "bool", "kwargs": "Any", "return": "Self"},
    "order_by": SELF | {"args": "str", "return": "Self"},
    "__getitem__": SELF | {"index": "slice | int", "return": "Self"},
    "latest": SELF | {"return": "Self"},
    "_check_type": {"obj": "ModelType", "return": "None"},
    "select_related": SELF | {"fields": "str", "return": "Self"},
    "_execute_query": SELF | {"return": "list[glue.Data]"},
    "_execute_count": SELF | {"return": "int"},
    "_aexecute_query": SELF | {"return": "list[glue.Data]"},
    "_aexecute_count": SELF | {"return": "int"},
    "_create_instance": SELF | {"_is_partial": "bool", "data": "glue.Data", "return": "ModelType"},
    "_acreate_instance": SELF | {"_is_partial": "bool", "data": "glue.Data", "return": "ModelType"},
}  # fmt: skip


@pytest.mark.parametrize("name", list(ANNOTATIONS))
def test_annotations_are_stored_as_text(name: str) -> None:
    annotations = member(name).__annotations__
    assert annotations == ANNOTATIONS[name]
    assert list(annotations) == list(ANNOTATIONS[name])  # parameter order, then the result


def test_signatures_follow_the_parameters() -> None:
    assert str(inspect.signature(member("_filter"))) == (
        "(self: 'Self', *args: 'Q', negated: 'bool' = False, **kwargs: 'Any') -> 'Self'"
    )
    assert str(inspect.signature(member("__init__"))) == (
        "(self: 'Self', entity: 'type[ModelType]', executor: 'ExecutorBase[ModelType] | None' = None, "
        "async_executor: 'AsyncExecutorBase[ModelType] | None' = None, *, strict_class_version: 'bool' = False)"
    )
    assert member("using").__qualname__ == "QuerySetBase.using" and member("using").__module__ == MODULE


# ---- Loading ------------------------------------------------------------------------------

# Pairs of collaborator modules that the body imports in this order; blocking both must
# fail on the first.
IMPORT_ORDER = [
    "kestrum_glue",
    "kestrum_data.connections.historical.schema_version_manager",
    "kestrum_utils.models.enums",
    "kestrum_utils.query.data_models.order_by",
    "pydantic_partial",
    "kestrum_models.classes.utils",
    "kestrum_models.querysets.errors",
]


@pytest.mark.parametrize(("first", "later"), list(zip(IMPORT_ORDER, IMPORT_ORDER[1:])))
def test_a_failing_import_fails_the_load_in_import_order(first: str, later: str) -> None:
    result = run_python(f"""
        import sys
        sys.modules[{first!r}] = None
        sys.modules[{later!r}] = None
        try:
            import {MODULE}
        except ModuleNotFoundError as error:
            print(error.name)
        """)
    assert result.stdout.split() == [first], result.stderr


def test_a_missing_name_raises_the_interpreters_import_error() -> None:
    result = run_python(f"""
        import sys, types
        sys.modules["pydantic_partial"] = types.ModuleType("pydantic_partial")
        try:
            import {MODULE}
        except ImportError as error:
            print(type(error).__name__, "|", error, "|", error.name, error.path, error.name_from)
        print({MODULE!r} in sys.modules)
        """)
    assert result.stdout.splitlines() == [
        "ImportError | cannot import name 'create_partial_model' from 'pydantic_partial' (unknown location) "
        "| pydantic_partial None create_partial_model",
        "False",
    ], result.stderr


def test_the_module_body_runs_once_per_process() -> None:
    result = run_python(f"""
        import importlib, sys
        first = importlib.import_module({MODULE!r})
        assert importlib.import_module({MODULE!r}) is first
        del sys.modules[{MODULE!r}]
        try:
            importlib.import_module({MODULE!r})
        except RuntimeError as error:
            print(error)
        """)
    assert result.stdout.strip() == (
        "Module 'dunmere' has already been imported. Re-initialisation is not supported."
    ), result.stderr


def test_methods_read_module_globals_when_they_run(monkeypatch: pytest.MonkeyPatch) -> None:
    class OtherExecutor:
        pass

    before = QuerySet(Parcel)
    monkeypatch.setattr(dunmere, "Executor", OtherExecutor)
    monkeypatch.setattr(dunmere, "DEFAULT_DB_ALIAS", "elsewhere")
    after = QuerySet(Parcel)
    assert (after._executor, after._using) == (OtherExecutor, "elsewhere")
    assert (before._copy()._executor, before._copy()._using) == (OtherExecutor, before._using)
    monkeypatch.delattr(dunmere, "Executor")
    with pytest.raises(NameError, match="name 'Executor' is not defined"):
        before._copy()


def test_failed_loads_leave_nothing_that_stops_a_later_load() -> None:
    """A load that fails after the caches started watching (here a collaborator decorator
    raises) gives back what it took; once the collaborator is fixed, the module loads and
    its caches follow changes again."""
    result = run_python(f"""
        import kestrum_utils.utils.decorators as decorators
        fixed = decorators.sync_mode_only
        def broken(function):
            raise RuntimeError("decorator unavailable")
        decorators.sync_mode_only = broken
        for attempt in range(12):
            try:
                import {MODULE}
            except RuntimeError as error:
                assert str(error) == "decorator unavailable", error
        decorators.sync_mode_only = fixed
        from {MODULE} import QuerySet
        import {MODULE} as dunmere
        print(QuerySet(int).filter(x=1)._using)
        dunmere.DEFAULT_DB_ALIAS = "elsewhere"
        print(QuerySet(int)._using, QuerySet(int)._copy()._using)
        """)
    assert result.stdout.split() == ["default", "elsewhere", "elsewhere"], result.stderr
