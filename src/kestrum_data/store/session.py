"""The write transaction open in the current context (thread or task), if any.

Reads and class registration inside a transaction run on its connection, so that
they see its writes; what it registered or wrote is published only once it has
committed.
"""

from __future__ import annotations

import contextvars
from dataclasses import dataclass, field
from typing import Any

from kestrum_data.store.database import AsyncDriver, Database, Driver


@dataclass(slots=True)
class Pending:
    """What a transaction publishes once it has committed."""

    written: list[Any] = field(default_factory=list)
    """The write batches, whose instances get their new metadata."""
    ensured: list[tuple[type[Any], Database, Any]] = field(default_factory=list)
    """Classes registered inside the transaction: (model, database, stored class)."""
    latest: list[Any] = field(default_factory=list)
    """Batches still to reach a separate latest-objects database."""


class Transaction:
    """An open write transaction on the history database; see :meth:`Writer.transaction`."""

    def __init__(self, storage: Any, driver: Driver | AsyncDriver) -> None:
        self.storage = storage
        self.driver = driver
        self.pending = Pending()


_current: contextvars.ContextVar[Transaction | None] = contextvars.ContextVar("kestrum_transaction", default=None)


def current_transaction() -> Transaction | None:
    """The transaction open in this context, or None."""
    return _current.get()


def enter(tx: Transaction) -> contextvars.Token[Transaction | None]:
    return _current.set(tx)


def leave(token: contextvars.Token[Transaction | None]) -> None:
    _current.reset(token)


def sync_driver(db: Database) -> Driver | None:
    """The current transaction's driver when it is a synchronous one on ``db``."""
    tx = _current.get()
    if tx is not None and isinstance(tx.driver, Driver) and tx.storage.history_db is db:
        return tx.driver
    return None


def async_driver(db: Database) -> AsyncDriver | None:
    """The current transaction's driver when it is an asynchronous one on ``db``."""
    tx = _current.get()
    if tx is not None and isinstance(tx.driver, AsyncDriver) and tx.storage.history_db is db:
        return tx.driver
    return None
