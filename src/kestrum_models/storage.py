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
"""

from collections.abc import AsyncIterator, Iterator
from contextlib import asynccontextmanager, contextmanager

from kestrum_data.config import configure_databases, reset_databases
from kestrum_data.store import (
    ConflictError,
    DatabaseError,
    DatabaseUnavailableError,
    InvalidValueError,
    QueryError,
    SchemaError,
    StorageError,
    Transaction,
    UnknownAliasError,
    UnknownFieldError,
    UnknownLookupError,
    close_databases,
    storage,
)
from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only

__all__ = [
    "ConflictError",
    "DatabaseError",
    "DatabaseUnavailableError",
    "InvalidValueError",
    "QueryError",
    "SchemaError",
    "StorageError",
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
def transaction() -> Iterator[Transaction]:
    """Group saves and deletes into one transaction: all are stored, or (on an error) none."""
    with storage().transaction() as tx:
        yield tx


@async_mode_only
@asynccontextmanager
async def atransaction() -> AsyncIterator[Transaction]:
    """Asynchronous :func:`transaction`: ``async with atransaction(): ...``."""
    async with storage().atransaction() as tx:
        yield tx
