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
from kestrum_utils.models.enums import Versions
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.utils import resolve

METADATA_FIELD = "_metadata"

type _Row = tuple[Data, dict[str, Any]]


ADDRESS_FIELD = "_address"


class _Version(str):
    """A stored version that also equals ``Versions.LATEST`` when it is the newest one."""

    is_latest: bool

    def __new__(cls, value: Any, is_latest: bool) -> "_Version":
        version = super().__new__(cls, value)
        version.is_latest = is_latest
        return version

    def __eq__(self, other: object) -> bool:
        if other is Versions.LATEST:
            return self.is_latest
        return str.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self == other

    __hash__ = str.__hash__


def _version_key(version: Any) -> tuple[int, Any]:
    # Numeric versions compare as numbers ("10" after "9"), others as text.
    text = str(version)
    return (0, int(text)) if text.isdigit() else (1, text)


def _decoded_id(object_id: Any) -> Any:
    if isinstance(object_id, str):
        try:
            return json.loads(object_id)
        except ValueError:
            return object_id
    return object_id


def _view(row: Data) -> dict[str, Any]:
    # The mapping conditions and orderings are evaluated on: the row's fields, with
    # "_metadata" decoded (it may be stored as JSON text or given as Data.metadata).
    view = dict(row.data)
    metadata = view.get(METADATA_FIELD, row.metadata)
    view[METADATA_FIELD] = json.loads(metadata) if isinstance(metadata, str | bytes) else metadata
    return view


def _add_addresses(views: list[dict[str, Any]]) -> None:
    # "_address" lookups see the object id, the object version and the class-schema
    # version of each row (from its metadata). An object version equals
    # Versions.LATEST when it is the newest among the rows of the same object; a class
    # version when it is the newest among the rows of the same object version.
    addresses = []
    for view in views:
        metadata = view[METADATA_FIELD] if isinstance(view[METADATA_FIELD], dict) else {}
        schema = metadata.get("class_schema_reference")
        class_version = schema.get("ref", {}).get("object_version") if isinstance(schema, dict) else None
        addresses.append((_decoded_id(metadata.get("object_id")), metadata.get("object_version"), class_version))

    def newest(groups: dict[str, list[Any]], key: str, version: Any) -> None:
        groups.setdefault(key, [])
        if version is not None:
            groups[key].append(version)

    object_versions: dict[str, list[Any]] = {}
    class_versions: dict[str, list[Any]] = {}
    for object_id, object_version, class_version in addresses:
        newest(object_versions, repr(object_id), object_version)
        newest(class_versions, repr((object_id, object_version)), class_version)
    latest = {key: max(found, key=_version_key) if found else None for key, found in object_versions.items()}
    latest_class = {key: max(found, key=_version_key) if found else None for key, found in class_versions.items()}
    for view, (object_id, object_version, class_version) in zip(views, addresses):
        view.setdefault(
            ADDRESS_FIELD,
            {
                "object_id": object_id,
                "object_version": _Version(object_version, object_version == latest[repr(object_id)]),
                "class_version": _Version(
                    class_version, class_version == latest_class[repr((object_id, object_version))]
                ),
            },
        )


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

    Address lookups (``_address__object_id``, ``_address__object_version``,
    ``_address__class_version``) read a row's ``_metadata``: its ``object_id`` (JSON
    text is decoded), its ``object_version`` and the class-schema version in
    ``class_schema_reference.ref.object_version``; ``Versions.LATEST`` matches the
    newest version among the rows of the same object.
    """

    def __init__(self, rows: Iterable[Data] = ()) -> None:
        self.rows: list[Data] = list(rows)

    def _select(self, queryset: QuerySetReader) -> list[_Row]:
        conditions = queryset.get_conditions()
        rows = [(row, _view(row)) for row in self.rows]
        _add_addresses([view for _, view in rows])
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
