"""The write transaction open in the current context (thread or task), if any.

Reads and class registration inside a transaction run on its connection, so that
they see its writes; what it registered is published only once it has committed.

A transaction keeps two rules, on every database alike:

- *No silent rollback.* Each write inside an open transaction, and each nested
  transaction block, runs in a savepoint (:meth:`Transaction.savepoint`): when it
  fails, it is undone alone and the transaction stays usable, so the caller may catch
  the error and go on. Any other statement that fails on the transaction's
  connection (a read, a registration) marks the transaction failed: every later
  statement on it raises, and so does the end of the block, which rolls it back.
- *Provisional metadata.* A write sets its instances' ``metadata`` at once, so that
  later writes of the same instance in the transaction follow on from it; the undo
  log puts the earlier metadata back when the write's savepoint or the whole
  transaction rolls back.

Every version a transaction writes records the same time (:meth:`Transaction.saved_at`,
one reading of :func:`clock` at its first write) and the transaction's note, unless a
write gives its own.
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import datetime
import itertools
import threading
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from kestrum_data.store.database import AsyncDriver, Database, Driver, Params, to_completion
from kestrum_data.store.errors import DatabaseError


@dataclass(slots=True)
class Pending:
    """What a transaction changed, kept to be published once it has committed (or undone)."""

    ensured: list[tuple[type[Any], Database, Any]] = field(default_factory=list)
    """Classes registered inside the transaction: (model, database, stored class)."""
    latest: list[Any] = field(default_factory=list)
    """Write batches still to reach a separate latest-objects database."""
    undo: list[tuple[Any, Any]] = field(default_factory=list)
    """(instance, its metadata before a write of this transaction), oldest first."""


type _Mark = tuple[int, int, int]

_clock_lock = threading.Lock()
_last_reading = datetime.datetime.min.replace(tzinfo=datetime.UTC)


def clock() -> datetime.datetime:
    """The current UTC time, never earlier than a reading this process took before: the
    versions an object gets one after the other from one process never go back in time."""
    global _last_reading
    now = datetime.datetime.now(datetime.UTC)
    with _clock_lock:
        if now < _last_reading:
            now = _last_reading
        _last_reading = now
    return now


class Transaction:
    """An open write transaction on the history database; see :meth:`Writer.transaction`."""

    def __init__(self, storage: Any, driver: Driver | AsyncDriver) -> None:
        self.storage = storage
        self.raw = driver
        self.driver: Driver | AsyncDriver = (
            _GuardedDriver(self, driver) if isinstance(driver, Driver) else _AsyncGuardedDriver(self, driver)
        )
        self.pending = Pending()
        self.failed: BaseException | None = None
        """The first failed statement not undone by a savepoint: the transaction can only roll back."""
        self._names = itertools.count(1)
        self.note: str | None = None
        """The note of the versions written in the (innermost) block, unless a write gives its own."""
        self.written: set[str] = set()
        """History tables written: each gets its change-feed position when the transaction ends."""
        self._saved_at: datetime.datetime | None = None

    @property
    def saved_at(self) -> datetime.datetime:
        """The time every version written by this transaction records: read at its first write."""
        found = self._saved_at
        if found is None:
            found = self._saved_at = clock()
        return found

    # -- state -------------------------------------------------------------------

    def check(self, *, ending: bool = False) -> None:
        """Raise when an earlier statement failed: the transaction can only be rolled back."""
        if self.failed is None:
            return
        failure = f"a statement inside the transaction failed ({type(self.failed).__name__}: {self.failed})"
        if ending:
            raise DatabaseError(f"rolled back, nothing written in the block was stored: {failure}") from self.failed
        raise DatabaseError(f"the transaction cannot go on and will be rolled back: {failure}") from self.failed

    def fail(self, error: BaseException) -> None:
        if self.failed is None:
            self.failed = error

    def registered(self, model: type[Any], db: Database) -> Any:
        """The stored class registered for ``model`` in ``db`` by this transaction, or None."""
        for found_model, found_db, stored in reversed(self.pending.ensured):
            if found_model is model and found_db is db:
                return stored
        return None

    def set_metadata(self, changes: Iterable[tuple[Any, dict[str, Any]]]) -> None:
        """Give instances their new metadata provisionally: put back if the write is rolled back."""
        undo = self.pending.undo
        for obj, metadata in changes:
            values = obj.__dict__
            undo.append((obj, values.get("metadata")))
            values["metadata"] = metadata

    def _mark(self) -> _Mark:
        pending = self.pending
        return len(pending.ensured), len(pending.latest), len(pending.undo)

    def undo(self, mark: _Mark = (0, 0, 0)) -> None:
        """Forget what was done since ``mark`` (by default: everything) and restore instance metadata."""
        pending = self.pending
        ensured, latest, undo = mark
        for obj, metadata in reversed(pending.undo[undo:]):
            obj.__dict__["metadata"] = metadata
        del pending.ensured[ensured:], pending.latest[latest:], pending.undo[undo:]

    # -- savepoints --------------------------------------------------------------

    @contextlib.contextmanager
    def savepoint(self) -> Iterator[None]:
        """Run a block that is undone alone when it raises; the transaction stays usable.

        A block in which a statement failed and the error was caught raises at its end.
        """
        driver = self.raw
        assert isinstance(driver, Driver)
        name, mark = f"kestrum_{next(self._names)}", self._mark()
        self.driver.execute(f"SAVEPOINT {name}")
        try:
            yield
            self.check(ending=True)
        except BaseException:
            try:
                driver.execute(f"ROLLBACK TO SAVEPOINT {name}")
                driver.execute(f"RELEASE SAVEPOINT {name}")
            except BaseException as error:  # the transaction is lost as a whole
                self.fail(error)
            else:
                self.failed = None
            finally:
                self.undo(mark)
            raise
        self.driver.execute(f"RELEASE SAVEPOINT {name}")

    @contextlib.asynccontextmanager
    async def asavepoint(self) -> AsyncIterator[None]:
        """Asynchronous :meth:`savepoint`."""
        driver = self.raw
        assert isinstance(driver, AsyncDriver)
        name, mark = f"kestrum_{next(self._names)}", self._mark()
        await self.driver.execute(f"SAVEPOINT {name}")  # type: ignore[misc]
        try:
            yield
            self.check(ending=True)
        except BaseException:
            cancelled = False
            try:
                # Also when cancelled: the rollback is awaited to its end.
                _, cancelled = await to_completion(_rollback_to(driver, name))
            except BaseException as error:
                self.fail(error)
            else:
                self.failed = None
            finally:
                self.undo(mark)
            if cancelled:
                raise asyncio.CancelledError from None
            raise
        await self.driver.execute(f"RELEASE SAVEPOINT {name}")  # type: ignore[misc]


async def _rollback_to(driver: AsyncDriver, name: str) -> None:
    await driver.execute(f"ROLLBACK TO SAVEPOINT {name}")
    await driver.execute(f"RELEASE SAVEPOINT {name}")


class _GuardedDriver(Driver):
    """A transaction's driver: refuses statements once one failed, and records failures."""

    def __init__(self, tx: Transaction, driver: Driver) -> None:
        self.tx = tx
        self.inner = driver
        self.placeholder = driver.placeholder  # type: ignore[misc]

    def _call[T](self, call: Callable[[], T]) -> T:
        self.tx.check()
        try:
            return call()
        except BaseException as error:
            self.tx.fail(error)
            raise

    def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        return self._call(lambda: self.inner.query(sql, params))

    def execute(self, sql: str, params: Params = ()) -> int:
        return self._call(lambda: self.inner.execute(sql, params))

    def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        self._call(lambda: self.inner.execute_many(sql, rows))

    def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        self._call(lambda: self.inner.insert_many(table, columns, rows))

    def fetch_into[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        # An error of ``consume`` (building records from the rows) is not a failed statement.
        raised: list[BaseException] = []

        def watched(rows: Iterable[tuple[Any, ...]]) -> T:
            try:
                return consume(rows)
            except BaseException as error:
                raised.append(error)
                raise

        self.tx.check()
        try:
            return self.inner.fetch_into(sql, params, watched)
        except BaseException as error:
            if not raised or raised[0] is not error:
                self.tx.fail(error)
            raise


class _AsyncGuardedDriver(AsyncDriver):
    """Asynchronous :class:`_GuardedDriver`."""

    def __init__(self, tx: Transaction, driver: AsyncDriver) -> None:
        self.tx = tx
        self.inner = driver
        self.placeholder = driver.placeholder  # type: ignore[misc]

    async def _call(self, call: Callable[[], Any]) -> Any:
        self.tx.check()
        try:
            return await call()
        except BaseException as error:
            self.tx.fail(error)
            raise

    async def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        return await self._call(lambda: self.inner.query(sql, params))  # type: ignore[no-any-return]

    async def execute(self, sql: str, params: Params = ()) -> int:
        return await self._call(lambda: self.inner.execute(sql, params))  # type: ignore[no-any-return]

    async def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        await self._call(lambda: self.inner.execute_many(sql, rows))

    async def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        await self._call(lambda: self.inner.insert_many(table, columns, rows))


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
