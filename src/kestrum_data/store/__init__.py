"""The versioned object store on SQLite and PostgreSQL.

:func:`storage` is the store of the current configuration (see
:mod:`kestrum_data.config`). The executors of query sets read through it; model
instances write through it (``save``, ``delete``, ``bulk_save``).
"""

from kestrum_data.store.errors import (
    ConflictError,
    DatabaseError,
    DatabaseUnavailableError,
    InvalidValueError,
    PrunedHistoryError,
    QueryError,
    SchemaError,
    StorageError,
    UnknownAliasError,
    UniqueViolationError,
    UnknownFieldError,
    UnknownLookupError,
)
from kestrum_data.store.storage import (
    Storage,
    Transaction,
    close_databases,
    storage,
    unloaded,
)
from kestrum_data.store.timeline import Change

__all__ = [
    "Change",
    "ConflictError",
    "DatabaseError",
    "DatabaseUnavailableError",
    "InvalidValueError",
    "PrunedHistoryError",
    "QueryError",
    "SchemaError",
    "Storage",
    "StorageError",
    "UnknownAliasError",
    "Transaction",
    "UniqueViolationError",
    "UnknownFieldError",
    "UnknownLookupError",
    "close_databases",
    "storage",
    "unloaded",
]
