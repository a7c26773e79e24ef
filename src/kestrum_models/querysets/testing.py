"""Test doubles for query sets: an in-memory backend and executors with prepared rows.

Serve query sets from memory::

    register_backend(DEFAULT_DB_ALIAS, MemoryBackend([Data({"id": 1}), Data({"id": 2})]))

or hand a query set an executor factory that returns fixed rows and records calls::

    executor = prepared_executor([Data({"id": 1})])
    ...
    assert executor.calls == [queryset]
"""

import json
from collections.abc import Iterable, Sequence
from typing import Any, ClassVar

from kestrum_glue import Data
from kestrum_models.querysets.executor import AsyncExecutorBase, ExecutorBase, QuerySetReader
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.utils import resolve

METADATA_FIELD = "_metadata"

type _Row = tuple[Data, dict[str, Any]]


def _view(row: Data) -> dict[str, Any]:
    # The mapping conditions and orderings are evaluated on: the row's fields, with
    # "_metadata" decoded (it may be stored as JSON text or given as Data.metadata).
    view = dict(row.data)
    metadata = view.get(METADATA_FIELD, row.metadata)
    view[METADATA_FIELD] = json.loads(metadata) if isinstance(metadata, str | bytes) else metadata
    return view


def _sort_key(value: Any) -> tuple[bool, Any]:
    # Nulls sort first ascending, last descending.
    return (value is not None, value)


def _distinct(rows: list[_Row], fields: Sequence[str]) -> list[_Row]:
    # Keeps the first row of each combination of values; values may be unhashable.
    paths = [field.split("__") for field in fields]
    seen: list[tuple[Any, ...]] = []
    kept: list[_Row] = []
    for row in rows:
        key = tuple(resolve(row[1], path) for path in paths)
        if key not in seen:
            seen.append(key)
            kept.append(row)
    return kept


def _paginate(rows: list[_Row], paginator: NumberPaginator) -> list[_Row]:
    for name, value in (("offset", paginator.offset), ("limit", paginator.limit)):
        if value is not None and (not isinstance(value, int) or value < 0):
            raise ValueError(f"{name} must be a non-negative int or None, not {value!r}")
    start = paginator.offset or 0
    stop = None if paginator.limit is None else start + paginator.limit
    return rows[start:stop]


class MemoryBackend:
    """A storage backend serving a fixed list of rows.

    Applies a query set's conditions, ordering, ``distinct`` (first row per value
    combination, after ordering), offset/limit, and ``only`` (top-level fields;
    ``_metadata`` is always kept). ``count`` counts the rows ``query`` would return.
    """

    def __init__(self, rows: Iterable[Data] = ()) -> None:
        self.rows: list[Data] = list(rows)

    def _select(self, queryset: QuerySetReader) -> list[_Row]:
        conditions = queryset.get_conditions()
        rows = [(row, _view(row)) for row in self.rows]
        if conditions:
            rows = [row for row in rows if conditions.matches(row[1])]
        for order in reversed(queryset.get_order_by()):
            path = order.field.split("__")
            rows.sort(key=lambda row: _sort_key(resolve(row[1], path)), reverse=order.descending)
        distinct = queryset.get_query_specifier().distinct
        if distinct:
            rows = _distinct(rows, distinct)
        return _paginate(rows, queryset.get_paginator())

    def query(self, queryset: QuerySetReader) -> list[Data]:
        only = queryset.get_query_specifier().only
        rows = [row for row, _ in self._select(queryset)]
        if not only:
            return rows
        keep = {*only, METADATA_FIELD}
        return [Data({k: v for k, v in row.data.items() if k in keep}, row.metadata) for row in rows]

    def count(self, queryset: QuerySetReader) -> int:
        return len(self._select(queryset))

    async def aquery(self, queryset: QuerySetReader) -> list[Data]:
        return self.query(queryset)

    async def acount(self, queryset: QuerySetReader) -> int:
        return self.count(queryset)


class PreparedExecutor(ExecutorBase[Any]):
    """Returns prepared rows whatever the query; made by :func:`prepared_executor`."""

    rows: ClassVar[list[Data]]
    calls: ClassVar[list[Any]]

    def __init__(self, queryset: Any) -> None:
        super().__init__(queryset)
        self.calls.append(queryset)

    def query(self) -> list[Data]:
        return list(self.rows)

    def count(self) -> int:
        return len(self.rows)


class PreparedAsyncExecutor(AsyncExecutorBase[Any]):
    """Asynchronous :class:`PreparedExecutor`; made by :func:`prepared_async_executor`."""

    rows: ClassVar[list[Data]]
    calls: ClassVar[list[Any]]

    def __init__(self, queryset: Any) -> None:
        super().__init__(queryset)
        self.calls.append(queryset)

    async def query(self) -> list[Data]:
        return list(self.rows)

    async def count(self) -> int:
        return len(self.rows)


def prepared_executor(rows: Iterable[Data]) -> type[PreparedExecutor]:
    """An executor class whose ``query()`` returns ``rows``; ``.calls`` lists the query sets it ran."""
    return type("PreparedExecutor", (PreparedExecutor,), {"rows": list(rows), "calls": []})


def prepared_async_executor(rows: Iterable[Data]) -> type[PreparedAsyncExecutor]:
    """Asynchronous :func:`prepared_executor`."""
    return type("PreparedAsyncExecutor", (PreparedAsyncExecutor,), {"rows": list(rows), "calls": []})
