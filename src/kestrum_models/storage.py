"""Storage for model classes: where objects are stored, and transactions.

::

    from kestrum_models.storage import configure_databases, transaction

    configure_databases("sqlite:///shop.sqlite3")       # default and lakehouse
    configure_databases(lakehouse="postgresql://app@db/history")

    with transaction():
        order.save()
        invoice.save()

With no configuration, objects are stored in ``kestrum.sqlite3`` in the working
directory (or where ``KESTRUM_DATABASE_URL`` points).

This module is also the one import a program needs: the model base classes, ``Q``,
the aggregate functions (``Count``, ``Sum``, ``Avg``, ``Min``, ``Max``), every error
that storage and queries raise, the alias names, configuration and transactions.
"""

from collections.abc import AsyncIterator, Iterator
from contextlib import asynccontextmanager, contextmanager

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import configure_databases, reset_databases
from kestrum_data.store import (
    Change,
    ConflictError,
    DatabaseError,
    DatabaseUnavailableError,
    InvalidValueError,
    PrunedHistoryError,
    QueryError,
    SchemaError,
    StorageError,
    Transaction,
    UniqueViolationError,
    UnknownAliasError,
    UnknownFieldError,
    UnknownLookupError,
    close_databases,
    storage,
)
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_models.querysets.errors import (
    BulkOperationError,
    ConnectionNotConfiguredError,
    MultipleObjectsReturnedError,
    NotLoadedError,
    NotSavedError,
    ObjectDoesNotExistError,
    QuerySetError,
)
from kestrum_models.querysets.queryset import ChangeFeed, HistoryQuerySet, ModelQuerySet
from kestrum_utils.query.aggregates import Avg, Count, Max, Min, Sum
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import ModeError, async_mode_only, sync_mode_only

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


@sync_mode_only
@contextmanager
def transaction(note: str | None = None) -> Iterator[Transaction]:
    """Group saves and deletes into one transaction: all are stored, or (on an error) none.

    Each write inside runs in a savepoint: one that fails is undone alone, and the block
    may catch its error and go on. Another statement failing inside makes the block raise
    at its end. A block inside another is a savepoint of it. Instances get their new
    metadata at each write; it is put back if the write or the block rolls back.

    Every version written records the same time, and ``note`` unless its write gives its own.
    """
    with storage().transaction(note) as tx:
        yield tx


@async_mode_only
@asynccontextmanager
async def atransaction(note: str | None = None) -> AsyncIterator[Transaction]:
    """Asynchronous :func:`transaction`: ``async with atransaction(): ...``.

    Cancelled while committing, it waits for the commit's outcome, then raises
    ``CancelledError``: the instances' metadata tells whether their objects were stored.
    """
    async with storage().atransaction(note) as tx:
        yield tx
