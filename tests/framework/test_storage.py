import json
from collections.abc import Iterator, Sequence
from types import SimpleNamespace
from typing import Any

import pytest

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.connections.historical.schema_version_manager import (
    AsyncHistoricalSchemaVersionManager,
    HistoricalSchemaVersionManager,
    SchemaVersionNotFoundError,
    register_schema_version,
)
from kestrum_glue import Data
from kestrum_models.querysets.errors import QuerySetError
from kestrum_models.querysets.executor import (
    DEFAULT_DB_ALIAS,
    AsyncExecutor,
    ConnectionNotConfiguredError,
    Executor,
    StoreBackend,
    get_backend,
    register_backend,
    unregister_backend,
)
from kestrum_models.querysets.testing import MemoryBackend, prepared_async_executor, prepared_executor
from kestrum_utils.query.data_models.order_by import OrderBy
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.data_models.query_specifier import QuerySpecifier
from kestrum_utils.query.utils import Q


def queryset(
    conditions: Q | None = None, order_by: Sequence[str] = (), only: Sequence[str] = (), distinct: Sequence[str] = (),
    offset: int | None = None, limit: int | None = None, using: str = DEFAULT_DB_ALIAS,
) -> Any:
    """A stand-in exposing the read interface executors use."""
    return SimpleNamespace(
        get_conditions=lambda: conditions,
        get_order_by=lambda: [OrderBy.from_string(text) for text in order_by],
        get_query_specifier=lambda: QuerySpecifier(only=list(only), distinct=list(distinct)),
        get_paginator=lambda: NumberPaginator(offset=offset, limit=limit),
        get_using=lambda: using,
    )


ROWS = [
    Data({"id": 1, "name": "ann", "age": 30, "_metadata": json.dumps({"object_id": 11})}),
    Data({"id": 2, "name": "bob", "age": None}, metadata={"object_id": 12}),
    Data({"id": 3, "name": "cy", "age": 30, "_metadata": {"object_id": 13}}),
    Data({"id": 4, "name": "dee", "age": 25, "_metadata": json.dumps({"object_id": 14})}),
]


def ids(rows: list[Data]) -> list[int]:
    return [row.data["id"] for row in rows]


@pytest.fixture
def backend() -> Iterator[MemoryBackend]:
    backend = MemoryBackend(ROWS)
    register_backend(DEFAULT_DB_ALIAS, backend)
    yield backend
    unregister_backend(DEFAULT_DB_ALIAS)


@pytest.mark.parametrize(
    ("selection", "expected"),
    [
        (queryset(), [1, 2, 3, 4]),
        (queryset(Q(age=30) | Q(age__isnull=True)), [1, 2, 3]),
        (queryset(Q(_metadata__object_id__in=[11, 12, 13])), [1, 2, 3]),
        (queryset(order_by=["-age", "name"]), [1, 3, 4, 2]),
        (queryset(order_by=["age", "-id"]), [2, 4, 3, 1]),
        (queryset(order_by=["-id"], distinct=["age"]), [4, 3, 2]),
        (queryset(~Q(id=2), order_by=["-id"], offset=1, limit=1), [3]),
        (queryset(offset=3), [4]),
        (queryset(limit=0), []),
    ],
)
def test_memory_backend_selects_rows(backend: MemoryBackend, selection: Any, expected: list[int]) -> None:
    assert ids(backend.query(selection)) == expected
    assert backend.count(selection) == len(expected)


def test_memory_backend_only_projects_rows_without_changing_them(backend: MemoryBackend) -> None:
    rows = backend.query(queryset(only=["name"]))
    assert [row.data for row in rows[:2]] == [{"name": "ann", "_metadata": ROWS[0].data["_metadata"]}, {"name": "bob"}]
    assert rows[1].metadata == {"object_id": 12} and ROWS[1].data["id"] == 2


@pytest.mark.parametrize(("offset", "limit"), [(-1, None), (None, -2)])
def test_memory_backend_refuses_negative_slices(backend: MemoryBackend, offset: int | None, limit: int | None) -> None:
    with pytest.raises(ValueError):
        backend.query(queryset(offset=offset, limit=limit))


@pytest.mark.asyncio
async def test_executors_delegate_to_backend_of_alias(backend: MemoryBackend) -> None:
    selection = queryset(Q(age=30))
    assert Executor(selection).query() == backend.query(selection) == await AsyncExecutor(selection).query()
    assert Executor(selection).count() == 2 == await AsyncExecutor(selection).count()
    # An alias without a registered backend is served by the object store.
    assert isinstance(get_backend(LAKEHOUSE_DB_ALIAS), StoreBackend)
    with pytest.raises(ConnectionNotConfiguredError) as raised:
        Executor(queryset(using=5)).query()  # type: ignore[arg-type]
    assert isinstance(raised.value, QuerySetError) and isinstance(raised.value, LookupError)


@pytest.mark.asyncio
async def test_prepared_executors_return_rows_and_record_query_sets() -> None:
    factory, async_factory = prepared_executor(ROWS), prepared_async_executor(ROWS[:2])
    first, second = queryset(), queryset(Q(id=1))
    result = factory(first).query()
    assert result == ROWS and result is not factory(second).query()
    assert all(got is row for got, row in zip(result, ROWS, strict=True))
    assert factory(first).count() == len(ROWS)
    assert await async_factory(second).query() == ROWS[:2] and await async_factory(second).count() == 2
    assert factory.calls == [first, second, first] and async_factory.calls == [second, second]
    assert prepared_executor(ROWS).calls == []


@pytest.mark.asyncio
async def test_schema_version_managers_return_last_registered_version() -> None:
    register_schema_version("Person", "v1")
    register_schema_version("Person", "v2")
    assert HistoricalSchemaVersionManager().get_latest_schema_version("Person") == "v2"
    assert await AsyncHistoricalSchemaVersionManager().get_latest_schema_version("Person") == "v2"
    with pytest.raises(SchemaVersionNotFoundError, match="'Ghost'"):
        HistoricalSchemaVersionManager().get_latest_schema_version("Ghost")
    with pytest.raises(SchemaVersionNotFoundError, match="'Ghost'"):
        await AsyncHistoricalSchemaVersionManager().get_latest_schema_version("Ghost")
