"""Executors run a query set against storage and return its rows.

A query set calls ``Executor(queryset).query()`` / ``.count()`` (or the awaited
:class:`AsyncExecutor` versions). The default executors delegate to the storage
backend of the query set's database alias: one registered with
:func:`register_backend`, else the object store (:mod:`kestrum_data.store`) on the
database configured for the alias.
"""

from abc import ABC, abstractmethod
from collections.abc import AsyncIterator, Iterator
from typing import Any, Literal, Protocol

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS
from kestrum_data.store import storage
from kestrum_glue import Data
from kestrum_models.querysets.errors import ConnectionNotConfiguredError
from kestrum_utils.query.data_models.order_by import OrderBy
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.data_models.query_specifier import QuerySpecifier
from kestrum_utils.query.utils import Q

__all__ = [
    "DEFAULT_DB_ALIAS",
    "AsyncExecutor",
    "AsyncExecutorBase",
    "Backend",
    "ConnectionNotConfiguredError",
    "Executor",
    "ExecutorBase",
    "QuerySetReader",
    "StoreBackend",
    "get_backend",
    "operation",
    "register_backend",
    "unregister_backend",
]


class QuerySetReader(Protocol):
    """What executors read from a query set."""

    @property
    def entity(self) -> type[Any]: ...

    @property
    def entity_name(self) -> str: ...

    @property
    def table_name(self) -> str | None: ...

    def get_conditions(self) -> Q | None: ...

    def get_order_by(self) -> list[OrderBy]: ...

    def get_query_specifier(self) -> QuerySpecifier: ...

    def get_paginator(self) -> NumberPaginator: ...

    def get_using(self) -> str: ...

    def get_select_related(self) -> Literal[False] | dict[str, Any]: ...


class ExecutorBase[QS: QuerySetReader](ABC):
    """Runs one query set synchronously."""

    def __init__(self, queryset: QS) -> None:
        self.queryset = queryset

    @abstractmethod
    def query(self) -> list[Data]:
        """The rows the query set selects."""

    @abstractmethod
    def count(self) -> int:
        """The number of rows the query set selects."""


class AsyncExecutorBase[QS: QuerySetReader](ABC):
    """Runs one query set asynchronously."""

    def __init__(self, queryset: QS) -> None:
        self.queryset = queryset

    @abstractmethod
    async def query(self) -> list[Data]:
        """The rows the query set selects."""

    @abstractmethod
    async def count(self) -> int:
        """The number of rows the query set selects."""


class Backend(Protocol):
    """Storage behind one database alias."""

    def query(self, queryset: QuerySetReader) -> list[Data]: ...

    def count(self, queryset: QuerySetReader) -> int: ...

    async def aquery(self, queryset: QuerySetReader) -> list[Data]: ...

    async def acount(self, queryset: QuerySetReader) -> int: ...


_backends: dict[str, Backend] = {}


def register_backend(alias: str, backend: Backend) -> None:
    """Serve query sets using database ``alias`` from ``backend`` (replacing any earlier one)."""
    _backends[alias] = backend


def unregister_backend(alias: str) -> None:
    """Remove the backend of ``alias``, if any."""
    _backends.pop(alias, None)


class StoreBackend:
    """The object store as a backend: SQLite or PostgreSQL, as configured for each alias."""

    def query(self, queryset: QuerySetReader) -> list[Data]:
        return storage().query(queryset)

    def count(self, queryset: QuerySetReader) -> int:
        return storage().count(queryset)

    async def aquery(self, queryset: QuerySetReader) -> list[Data]:
        return await storage().aquery(queryset)

    async def acount(self, queryset: QuerySetReader) -> int:
        return await storage().acount(queryset)


    # Reads other than rows, and writes by query: the store's own (see kestrum_data.store.storage).

    def exists(self, queryset: QuerySetReader) -> bool:
        return storage().exists(queryset)

    async def aexists(self, queryset: QuerySetReader) -> bool:
        return await storage().aexists(queryset)

    def values(self, queryset: QuerySetReader, names: tuple[str, ...], form: str) -> list[Any]:
        return storage().values(queryset, names, form)

    async def avalues(self, queryset: QuerySetReader, names: tuple[str, ...], form: str) -> list[Any]:
        return await storage().avalues(queryset, names, form)

    def aggregate(self, queryset: QuerySetReader, named: dict[str, Any], group: tuple[str, ...]) -> list[dict[str, Any]]:
        return storage().aggregate(queryset, named, group)

    async def aaggregate(
        self, queryset: QuerySetReader, named: dict[str, Any], group: tuple[str, ...]
    ) -> list[dict[str, Any]]:
        return await storage().aaggregate(queryset, named, group)

    def pages(self, queryset: QuerySetReader, size: int) -> Iterator[list[Data]]:
        return storage().pages(queryset, size)

    def apages(self, queryset: QuerySetReader, size: int) -> AsyncIterator[list[Data]]:
        return storage().apages(queryset, size)

    def rewrite(self, queryset: QuerySetReader, values: dict[str, Any] | None) -> int:
        return storage().rewrite(queryset, values)

    async def arewrite(self, queryset: QuerySetReader, values: dict[str, Any] | None) -> int:
        return await storage().arewrite(queryset, values)


_store_backend = StoreBackend()


def operation(queryset: Any, name: str) -> Any:
    """The backend method ``name`` serving a query set's database alias (the store's, unless a
    registered backend serves the alias; such a backend offers what it implements)."""
    backend = _backend_of(queryset)
    method = getattr(backend, name, None)
    if method is None:
        raise ConnectionNotConfiguredError(
            f"the backend registered for database alias {queryset.get_using()!r} ({type(backend).__name__}) "
            f"does not offer {name}()"
        )
    return method


def get_backend(alias: str) -> Backend:
    """The backend registered for ``alias``, else the object store."""
    if not isinstance(alias, str):
        raise ConnectionNotConfiguredError(f"a database alias must be a str, not {type(alias).__name__}")
    return _backends.get(alias, _store_backend)


def _backend_of(queryset: QuerySetReader) -> Backend:
    alias = queryset.get_using() or DEFAULT_DB_ALIAS
    if not _backends and isinstance(alias, str):  # the usual case: the store serves every alias
        return _store_backend
    return get_backend(alias)


class Executor(ExecutorBase[QuerySetReader]):
    """Runs a query set on the backend of its database alias."""

    def query(self) -> list[Data]:
        return _backend_of(self.queryset).query(self.queryset)

    def count(self) -> int:
        return _backend_of(self.queryset).count(self.queryset)


class AsyncExecutor(AsyncExecutorBase[QuerySetReader]):
    """Runs a query set on the backend of its database alias, asynchronously."""

    async def query(self) -> list[Data]:
        return await _backend_of(self.queryset).aquery(self.queryset)

    async def count(self) -> int:
        return await _backend_of(self.queryset).acount(self.queryset)
