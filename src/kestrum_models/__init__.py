"""Typed model classes, query sets and loading of the kestrum framework.

The names of :mod:`kestrum_models.storage` (``Model``, ``Q``, the errors,
``configure_databases``, ``transaction``, ...) can be imported from here as well.
They are loaded on first use, so importing one native module of the package does
not load the store.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kestrum_models.storage import *  # noqa: F403

# The names of kestrum_models.storage.__all__ (a test keeps the two lists alike).
__all__ = [
    "DEFAULT_DB_ALIAS",
    "LAKEHOUSE_DB_ALIAS",
    "Avg",
    "BulkOperationError",
    "Change",
    "ChangeFeed",
    "ConflictError",
    "ConnectionNotConfiguredError",
    "Count",
    "DatabaseError",
    "DatabaseUnavailableError",
    "HistoryQuerySet",
    "InvalidValueError",
    "LegacyModel",
    "Max",
    "Min",
    "ModeError",
    "Model",
    "ModelQuerySet",
    "MultipleObjectsReturnedError",
    "NotLoadedError",
    "NotSavedError",
    "ObjectDoesNotExistError",
    "PrunedHistoryError",
    "Q",
    "QueryError",
    "QuerySetError",
    "SchemaError",
    "StorageError",
    "Sum",
    "Transaction",
    "UniqueViolationError",
    "UnknownAliasError",
    "UnknownFieldError",
    "UnknownLookupError",
    "atransaction",
    "close_databases",
    "configure_databases",
    "reset_databases",
    "transaction",
]


def __getattr__(name: str) -> Any:
    # Only the listed names load the store: a submodule imported with
    # ``from kestrum_models import <module>`` is looked up here first.
    if name in __all__:
        value = getattr(importlib.import_module("kestrum_models.storage"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'kestrum_models' has no attribute {name!r}")
