"""Databases behind the object store: SQL dialects, connections and transactions.

A :class:`Database` hands out *drivers*: thin wrappers of one connection that run
statements and translate the database's errors into :mod:`kestrum_data.store.errors`.
Synchronous drivers (:class:`Driver`) and asynchronous ones (:class:`AsyncDriver`)
offer the same operations, so that the store's multi-statement work is written once,
as a *plan*: a generator that yields operations and receives their results, run by
:func:`run` or :func:`arun`.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import threading
import weakref
from abc import ABC, abstractmethod
from collections.abc import (
    AsyncIterator,
    Awaitable,
    Callable,
    Generator,
    Iterable,
    Iterator,
    Sequence,
)
from typing import Any, ClassVar

from kestrum_data.config import DatabaseURL
from kestrum_data.store.fields import Codec

type Params = Sequence[Any]
type Op = tuple[str, tuple[Any, ...]]
type Plan[T] = Generator[Op, Any, T]


def query(sql: str, params: Params = ()) -> Op:
    """Operation: run a statement and return all its rows (a list of tuples)."""
    return ("query", (sql, params))


def execute(sql: str, params: Params = ()) -> Op:
    """Operation: run a statement and return the number of rows it changed."""
    return ("execute", (sql, params))


def execute_many(sql: str, rows: Iterable[Params]) -> Op:
    """Operation: run a statement once per parameter row."""
    return ("execute_many", (sql, rows))


def insert_many(table: str, columns: Sequence[str], rows: Sequence[Params]) -> Op:
    """Operation: insert rows into a table (the fastest way the database has)."""
    return ("insert_many", (table, columns, rows))


def run[T](plan: Plan[T], driver: Driver) -> T:
    """Run a plan on a synchronous driver."""
    result: Any = None
    try:
        while True:
            name, args = plan.send(result)
            result = getattr(driver, name)(*args)
    except StopIteration as stop:
        return stop.value


async def arun[T](plan: Plan[T], driver: AsyncDriver) -> T:
    """Run a plan on an asynchronous driver."""
    result: Any = None
    try:
        while True:
            name, args = plan.send(result)
            result = await getattr(driver, name)(*args)
    except StopIteration as stop:
        return stop.value


class Dialect(ABC):
    """How one kind of database spells what the store needs."""

    name: ClassVar[str]
    placeholder: ClassVar[str]
    column_types: ClassVar[dict[str, str]]
    codec: Codec
    #: Whether text columns can hold NUL characters (where not, no stored text equals one holding NUL).
    nul_in_text: ClassVar[bool] = True

    @staticmethod
    def quote(identifier: str) -> str:
        """A quoted identifier; any text is safe inside it."""
        if "\0" in identifier:
            raise ValueError(f"identifiers cannot contain NUL characters: {identifier!r}")
        return '"' + identifier.replace('"', '""') + '"'

    @abstractmethod
    def any_of(self, column: str) -> str:
        """SQL testing ``column`` against the values of one list parameter."""

    @abstractmethod
    def list_param(self, values: list[Any]) -> Any:
        """The parameter :meth:`any_of` takes for ``values``."""

    @abstractmethod
    def text_test(self, operator: str, column: str, value: str) -> tuple[str, list[Any]]:
        """SQL for ``contains``, ``icontains`` (Python's ``casefold``), ``startswith`` or ``endswith``, and its parameters.

        ``value`` is non-empty; the test holds exactly when the Python test does.
        """

    @abstractmethod
    def array_contains(self, column: str) -> str:
        """SQL testing whether a JSON array column holds the element given as JSON text."""

    @abstractmethod
    def json_equals(self, column: str) -> str:
        """SQL testing a JSON column for equality with one JSON-text parameter."""

    @abstractmethod
    def order_term(self, column: str, descending: bool) -> str:
        """An ``ORDER BY`` term; nulls come first ascending and last descending."""

    # Lookups that must mean what the condition means in Python: the dialect gets the
    # checked values (as the codec encodes them) and returns SQL with its parameters.

    @abstractmethod
    def number_test(self, column: str, sign: str, value: float) -> tuple[str, list[Any]]:
        """SQL comparing a float column with a float (``sign`` is ``=``, ``<``, ``<=``, ``>`` or ``>=``).

        As in Python, -0.0 equals 0.0 and a NaN is neither less nor greater than
        anything; a NaN equals a NaN (so that ``filter(x=nan)`` finds them).
        """

    @abstractmethod
    def values_in(self, column: str, kind: str, values: list[Any]) -> tuple[str, list[Any]]:
        """SQL testing whether a column equals one of many encoded values, with a fixed number of parameters."""

    @abstractmethod
    def form_key(self, form: str, sql: str) -> str:
        """SQL giving the comparison key of a stored value of a field of that comparison form."""

    @abstractmethod
    def form_param(self, form: str, stored: Any) -> tuple[str, Any]:
        """SQL giving the key of one compared value, and its parameter (from the value as stored)."""

    @abstractmethod
    def form_in(self, form: str, key: str, stored: list[Any]) -> tuple[str, Any]:
        """SQL testing a key (of :meth:`form_key`) against the keys of many values, and its one parameter."""

    def limit_offset(self, limit: int | None, offset: int | None) -> tuple[str, list[int]]:
        sql, params = "", []
        if limit is not None:
            sql, params = f" LIMIT {self.placeholder}", [limit]
        if offset:
            if limit is None:
                sql += " LIMIT -1" if self.name == "sqlite" else ""
            sql += f" OFFSET {self.placeholder}"
            params.append(offset)
        return sql, params

    @abstractmethod
    def upsert_latest(self, table: str, columns: Sequence[str]) -> str:
        """Insert-or-replace of a latest-objects row, never replacing a newer version."""

    # Float columns in aggregates: NaN and -0.0 as Python means them.

    def number_value(self, column: str) -> str:
        """SQL giving a float column's values as numbers for sums, means and extremes (NaN as null
        where :meth:`nan_seen` reports it)."""
        return column

    def nan_seen(self, column: str) -> str | None:
        """An aggregate telling whether a float column holds NaN, where :meth:`number_value` hides it."""
        return None

    def number_key(self, column: str) -> str:
        """SQL giving a float column's values so that equal numbers are equal (-0.0 as 0.0)."""
        return column


class Driver(ABC):
    """One connection, used synchronously."""

    committed: bool = False
    """Set by :meth:`Database.transaction` once the transaction has committed."""

    @property
    def in_transaction(self) -> bool:
        """Whether a transaction is open on the connection: a statement would join it."""
        return False

    @abstractmethod
    def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]: ...

    @abstractmethod
    def execute(self, sql: str, params: Params = ()) -> int: ...

    @abstractmethod
    def execute_many(self, sql: str, rows: Iterable[Params]) -> None: ...

    def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        marks = ", ".join([self.placeholder] * len(columns))
        self.execute_many(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})", rows)

    def fetch_into[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        """``consume`` applied to the rows of a statement."""
        return consume(self.query(sql, params))

    placeholder: ClassVar[str] = "?"


class AsyncDriver(ABC):
    """One connection, used from coroutines."""

    committed: bool = False
    """Set by :meth:`Database.atransaction` once the transaction has committed."""

    @property
    def in_transaction(self) -> bool:
        """Whether a transaction is open on the connection: a statement would join it."""
        return False

    @abstractmethod
    async def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]: ...

    @abstractmethod
    async def execute(self, sql: str, params: Params = ()) -> int: ...

    @abstractmethod
    async def execute_many(self, sql: str, rows: Iterable[Params]) -> None: ...

    async def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        marks = ", ".join([self.placeholder] * len(columns))
        await self.execute_many(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})", rows)

    placeholder: ClassVar[str] = "?"


class Database(ABC):
    """One database: its dialect and its connections, for threads and event loops.

    ``connect()`` gives a driver in autocommit mode; ``transaction()`` one inside a
    transaction that commits when the block ends and rolls back when it raises
    (``BaseException`` included, so an interrupted or cancelled write leaves nothing).
    The ``a``-prefixed twins do the same for coroutines.

    Commits keep these rules, which callers rely on to tell what was stored:

    - once COMMIT is sent it is awaited to its end: a cancellation that lands meanwhile
      is raised from the block's exit only after the outcome is known;
    - the driver's ``committed`` is set as soon as COMMIT has succeeded, so a caller
      seeing an exception from the block can tell a rolled-back transaction from a
      committed one that was interrupted afterwards;
    - a COMMIT the server turns into a rollback (a statement failed inside the
      transaction) raises; it never passes for a commit.

    Every use of these four holds a *lease* on the database (subclasses' methods are
    wrapped when the class is created). :meth:`retire` closes the connections only
    when no lease is held, so that the work of other threads and tasks is never cut
    off: closing waits for the last lease, and a retired database used again opens
    what it needs and closes it once more after that use.
    """

    dialect: Dialect

    def __init__(self, url: DatabaseURL) -> None:
        self.url = url
        self._lock = threading.Lock()
        self._leases = 0
        self._retired = False
        # Held while a lease is taken and while closing: no use starts mid-close.
        self._lease_lock = threading.Lock()
        self._forked = False
        _databases.add(self)

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        for name in ("connect", "transaction"):
            if name in cls.__dict__:
                setattr(cls, name, _leased(cls.__dict__[name], _Lease))
        for name in ("aconnect", "atransaction"):
            if name in cls.__dict__:
                setattr(cls, name, _leased(cls.__dict__[name], _AsyncLease))

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.url}>"

    @abstractmethod
    def connect(self) -> contextlib.AbstractContextManager[Driver]: ...

    @abstractmethod
    def transaction(self) -> contextlib.AbstractContextManager[Driver]: ...

    @abstractmethod
    def aconnect(self) -> contextlib.AbstractAsyncContextManager[AsyncDriver]: ...

    @abstractmethod
    def atransaction(self) -> contextlib.AbstractAsyncContextManager[AsyncDriver]: ...

    def fetch[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        """``consume`` applied to the rows of a read run outside any transaction."""
        with self.connect() as driver:
            return driver.fetch_into(sql, params, consume)

    async def afetch(self, sql: str, params: Params, *, small: bool = False) -> list[tuple[Any, ...]]:
        """The rows of a read run outside any transaction.

        ``small``: the statement returns a few rows at most; a database may then read
        them at once on the calling thread, where it can without waiting.
        """
        async with self.aconnect() as driver:
            return await driver.query(sql, params)

    @abstractmethod
    def close(self) -> None:
        """Close the connections this process holds, those of event loops included (each on its loop).

        Callers other than :meth:`retire` must know that nothing uses the database.
        """

    def retire(self) -> None:
        """Close the connections now if nothing uses them, else when the last use ends."""
        with self._lease_lock:
            self._retired = True
            if self._leases == 0:
                self.close()

    def _acquire(self) -> None:
        with self._lease_lock:
            self._leases += 1

    def _release(self) -> None:
        with self._lease_lock:
            self._leases -= 1
            if self._retired and self._leases == 0:
                self.close()

    def _check_process(self) -> bool:
        """True (once) when this object is used in a forked child: connections must not be shared."""
        if not self._forked:
            return False
        self._forked = False
        return True

    def _after_fork(self) -> None:
        # In a forked child: the parent's uses are not ours, and its threads (which may
        # have held these locks when the process forked) do not exist here.
        self._lock = threading.Lock()
        self._lease_lock = threading.Lock()
        self._leases = 0
        self._forked = True


_databases: weakref.WeakSet[Database] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for db in list(_databases):
        db._after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)


class _Lease:
    """A connection context manager of a database, holding a lease while open."""

    __slots__ = ("db", "inner")

    def __init__(self, db: Database, inner: Any) -> None:
        self.db = db
        self.inner = inner

    def __enter__(self) -> Any:
        self.db._acquire()
        try:
            return self.inner.__enter__()
        except BaseException:
            self.db._release()
            raise

    def __exit__(self, *exc: Any) -> Any:
        try:
            return self.inner.__exit__(*exc)
        finally:
            self.db._release()


class _AsyncLease(_Lease):
    __slots__ = ()

    async def __aenter__(self) -> Any:
        self.db._acquire()
        try:
            return await self.inner.__aenter__()
        except BaseException:
            self.db._release()
            raise

    async def __aexit__(self, *exc: Any) -> Any:
        try:
            return await self.inner.__aexit__(*exc)
        finally:
            self.db._release()


def _leased(method: Callable[..., Any], lease: type[_Lease]) -> Callable[..., Any]:
    def leased(self: Database) -> Any:
        return lease(self, method(self))

    leased.__name__, leased.__qualname__, leased.__doc__ = method.__name__, method.__qualname__, method.__doc__
    leased.__wrapped__ = method  # type: ignore[attr-defined]
    return leased


# The closing helpers of every live per-loop resource, by id of the resource: strong
# references independent of the objects that created them (a loop holds its tasks and
# generators only weakly), so that they outlive a database dropped while its loops
# still run. Each entry is removed once its resource is closed.
_closers: dict[int, tuple[asyncio.Task[None], AsyncIterator[None]]] = {}


class LoopResources[T]:
    """Per-event-loop resources (connection pools), closed when their loop shuts down.

    A runner (``asyncio.run``, ``asyncio.Runner``) first cancels the loop's remaining
    tasks, then closes its asynchronous generators. Each resource gets one task of each
    kind to close it:

    - a *guard* task, waiting until cancelled. It must close the resource while the
      resource's own background tasks are being cancelled: a connection pool's worker
      caught in the middle of a job may swallow its cancellation and would then wait
      for more jobs forever, hanging the runner. Closing the pool stops such workers.
    - a parked asynchronous generator whose cleanup closes the resource, for loops shut
      down without cancelling their tasks.

    :meth:`close_all` closes them from any thread by cancelling their guards: each
    resource is closed on its own loop, when that loop next runs (or shuts down).
    A loop closed with neither step keeps its resource until the process ends.
    """

    def __init__(self, create: Callable[[], Any], close: Callable[[Any], Any], drop: Callable[[Any], None]) -> None:
        self._create = create
        self._close = close
        self._drop = drop
        self._by_loop: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Any] = weakref.WeakKeyDictionary()
        self._lock = threading.Lock()

    async def get(self) -> T:
        loop = asyncio.get_running_loop()
        resource = self._by_loop.get(loop)
        if resource is None:
            resource = await self._create()
            with self._lock:
                existing = self._by_loop.get(loop)
                if existing is None:
                    self._by_loop[loop] = resource
            if existing is not None:  # another task of this loop won the race
                await self._close(resource)
                return existing
            keeper = self._keeper(weakref.ref(loop), resource)
            await keeper.asend(None)
            guard = loop.create_task(self._guard(keeper), name="kestrum-resource-guard")
            _closers[id(resource)] = (guard, keeper)
            weakref.finalize(loop, self._drop, resource)
        return resource

    def close_all(self) -> None:
        """Close the resource of every loop: on the loop itself, or at once when the loop is closed."""
        with self._lock:
            found = list(self._by_loop.items())
            self._by_loop.clear()
        for loop, resource in found:
            closers = _closers.get(id(resource))
            if closers is None:  # already closing
                continue
            try:
                loop.call_soon_threadsafe(closers[0].cancel)
            except RuntimeError:  # the loop is closed: nothing can run on it any more
                _closers.pop(id(resource), None)
                self._drop(resource)

    @staticmethod
    async def _guard(keeper: Any) -> None:
        try:
            await asyncio.get_running_loop().create_future()
        finally:
            # Unless the loop's shutdown is already closing the keeper.
            if keeper.ag_frame is not None and not keeper.ag_running:
                await keeper.aclose()

    async def _keeper(self, loop: weakref.ref[asyncio.AbstractEventLoop], resource: Any) -> AsyncIterator[None]:
        try:
            while True:
                yield
        finally:
            owner = loop()
            with self._lock:
                if owner is not None and self._by_loop.get(owner) is resource:
                    del self._by_loop[owner]
            closers = _closers.pop(id(resource), None)
            if closers is not None and closers[0] is not asyncio.current_task():
                closers[0].cancel()
            await self._close(resource)


async def to_completion[T](awaitable: Awaitable[T]) -> tuple[T, bool]:
    """Await ``awaitable`` to its end even when the awaiting task is cancelled meanwhile.

    Returns its result and whether a cancellation arrived; the caller records the
    outcome, then raises :class:`asyncio.CancelledError` itself. When the operation
    fails after a cancellation arrived, the cancellation is raised (from its error).
    Only a cancellation of the operation itself (its loop shutting down) ends the
    wait early.
    """
    task = asyncio.ensure_future(awaitable)
    cancelled = False
    while True:
        try:
            return await asyncio.shield(task), cancelled
        except asyncio.CancelledError:
            if task.cancelled():
                raise
            cancelled = True
        except BaseException as error:
            if cancelled:
                raise asyncio.CancelledError from error
            raise


@contextlib.contextmanager
def translated(translate: Callable[[BaseException], BaseException | None]) -> Iterator[None]:
    """Re-raise database errors as the store's errors (``translate`` returns None to keep one).

    Drivers run every call into their database library inside this block, and their
    ``translate`` maps every error of that library: callers only ever see the store's
    errors, whose messages name the database (with its password masked) and the cause.
    """
    try:
        yield
    except Exception as error:
        mapped = translate(error)
        if mapped is None:
            raise
        raise mapped from error
