"""SQLite databases: the standard library's ``sqlite3``, and ``aiosqlite`` for coroutines.

Every database file runs in WAL mode (readers never block the writer) with
``synchronous=NORMAL``: a committed transaction survives the death of the process.
Writes take the write lock when they begin (``BEGIN IMMEDIATE``), so concurrent
writers, threads or processes, queue up for up to :data:`BUSY_TIMEOUT_S` seconds.
Each thread has its own connection; each event loop has a small pool.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import errno
import json
import os
import sqlite3
import tempfile
import threading
import weakref
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Sequence
from functools import cached_property
from typing import Any, Final

import aiosqlite

from kestrum_data.config import DatabaseURL
from kestrum_data.store.database import (
    AsyncDriver,
    Database,
    Dialect,
    Driver,
    LoopResources,
    Params,
    to_completion,
    translated,
)
from kestrum_data.store.errors import (
    ConflictError,
    DatabaseError,
    DatabaseUnavailableError,
)
from kestrum_data.store.fields import (
    RELATION,
    Codec,
    Encoder,
    binary,
    boolean,
    canonical_json,
    date,
    date_time,
    integer,
    number,
    relation_id,
    text,
)
from kestrum_utils.models.data_models.enums import CoreTypes

BUSY_TIMEOUT_S: Final = 30.0
ASYNC_POOL_SIZE: Final = 4

_CASEFOLD: Final = "kestrum_casefold"


def _datetime_text(value: Any) -> str:
    # Fixed-width UTC text: text order is time order.
    return date_time(value).isoformat(sep=" ", timespec="microseconds")


def _date_text(value: Any) -> str:
    return date(value).isoformat()


class SQLiteCodec(Codec):
    decoded_kinds = frozenset({CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value})
    pass_through = {**Codec.pass_through, CoreTypes.STRING.value: (str,)}

    @cached_property
    def encoders(self) -> dict[str, Encoder]:
        return {
            CoreTypes.INTEGER.value: integer,
            CoreTypes.NUMBER.value: number,
            CoreTypes.STRING.value: text,
            CoreTypes.BINARY.value: binary,
            CoreTypes.BOOLEAN.value: boolean,
            CoreTypes.DATE.value: _date_text,
            CoreTypes.DATETIME.value: _datetime_text,
            CoreTypes.ARRAY.value: canonical_json,
            CoreTypes.DICTIONARY.value: canonical_json,
            RELATION: relation_id,
        }

    def decoder(self, kind: str) -> Any:
        return json.loads if kind in self.decoded_kinds else None

    def to_python(self, kind: str, value: Any) -> Any:
        if value is None:
            return None
        if kind in self.decoded_kinds:
            return json.loads(value)
        if kind == CoreTypes.DATE.value:
            return datetime.date.fromisoformat(value)
        if kind == CoreTypes.DATETIME.value:
            return datetime.datetime.fromisoformat(value)
        if kind == CoreTypes.BOOLEAN.value:
            return bool(value)
        return value


class SQLiteDialect(Dialect):
    name = "sqlite"
    placeholder = "?"
    # Declared so that the column-type mappers read them back as the same core types
    # (JSON lives in TEXT columns, which SQLite never converts).
    column_types = {
        CoreTypes.INTEGER.value: "INTEGER",
        CoreTypes.NUMBER.value: "REAL",
        CoreTypes.STRING.value: "TEXT",
        CoreTypes.BINARY.value: "BLOB",
        CoreTypes.BOOLEAN.value: "BOOLEAN",
        CoreTypes.DATE.value: "DATE",
        CoreTypes.DATETIME.value: "TIMESTAMP",
        CoreTypes.ARRAY.value: "TEXT",
        CoreTypes.DICTIONARY.value: "TEXT",
        RELATION: "INTEGER",
    }
    codec = SQLiteCodec()

    def id_text(self, column: str) -> str:
        return f"CAST({column} AS TEXT)"

    def any_of(self, column: str) -> str:
        return f"{column} IN (SELECT value FROM json_each(?))"

    def list_param(self, values: list[Any]) -> Any:
        return json.dumps(values)

    def text_test(self, operator: str, column: str) -> str:
        # instr/substr count characters and never treat % or _ specially.
        if operator == "contains":
            return f"instr({column}, ?) > 0"
        if operator == "icontains":
            return f"instr({_CASEFOLD}({column}), ?) > 0"
        if operator == "startswith":
            return f"substr({column}, 1, ?) = ?"
        return f"substr({column}, -?) = ?"

    def text_params(self, operator: str, value: str) -> list[Any]:
        if operator == "icontains":
            return [value.casefold()]
        if operator == "contains":
            return [value]
        return [len(value), value]

    def array_contains(self, column: str) -> str:
        return f"EXISTS (SELECT 1 FROM json_each({column}) WHERE json_each.value = json_extract(?, '$'))"

    def json_equals(self, column: str) -> str:
        return f"{column} = ?"

    def order_term(self, column: str, descending: bool) -> str:
        # SQLite already sorts nulls first ascending and last descending.
        return f"{column} DESC" if descending else column

    def upsert_latest(self, table: str, columns: Sequence[str]) -> str:
        marks = ", ".join("?" * len(columns))
        updates = ", ".join(f"{c} = excluded.{c}" for c in columns[1:])
        return (
            f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks}) "
            f'ON CONFLICT ("_object_id") DO UPDATE SET {updates} '
            f'WHERE {table}."_object_version" < excluded."_object_version"'
        )


# Primary result codes of SQLite (the low byte of an extended code).
_PERM, _BUSY, _LOCKED, _READONLY, _CANTOPEN = 3, 5, 6, 8, 14


def _translate(path: str) -> Any:
    """Every ``sqlite3`` error as one of the store's errors, naming the database file."""

    def translate(error: BaseException) -> BaseException | None:
        if isinstance(error, sqlite3.IntegrityError):
            return ConflictError(f"another writer saved the same object version first ({error})")
        if not isinstance(error, sqlite3.Error):
            return None
        code = (getattr(error, "sqlite_errorcode", None) or 0) & 0xFF
        if code in (_BUSY, _LOCKED):
            return DatabaseUnavailableError(f"SQLite database {path}: {error}")
        if code in (_CANTOPEN, _PERM, _READONLY):
            cause = _unusable(path)
            if cause is not None:
                return DatabaseUnavailableError(
                    f"SQLite database {path} cannot be opened for writing: {cause} ({error})"
                )
            return DatabaseUnavailableError(f"SQLite database {path}: {error}")
        # Anything else (a full disk included) is a failed statement.
        return DatabaseError(f"SQLite database {path}: {error}")

    return translate


def _unusable(path: str) -> str | None:
    """Why ``path`` cannot be opened for writing, found by looking at the file system (None: no reason found)."""
    directory = os.path.dirname(path) or "."
    if not os.path.exists(directory):
        missing = directory
        while not os.path.exists(os.path.dirname(missing)):
            missing = os.path.dirname(missing)
        return f"no such directory: {missing}"
    if not os.path.isdir(directory):
        return f"not a directory: {directory}"
    if os.path.isdir(path):
        return f"{path} is a directory"
    try:
        if os.path.exists(path):
            os.close(os.open(path, os.O_RDWR))
        # SQLite creates the database and its -wal and -shm files next to each other.
        fd, probe = tempfile.mkstemp(dir=directory, prefix=".kestrum-probe-")
        os.close(fd)
        os.unlink(probe)
    except OSError as error:
        where = path if error.filename == path else f"the directory {directory}"
        reason = (error.strerror or str(error)).lower()
        if error.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
            return f"{reason}: {where} is not writable"
        return f"{reason} (writing in {where})"  # e.g. too many open files
    return None


class _SyncDriver(Driver):
    placeholder = "?"

    def __init__(self, conn: sqlite3.Connection, path: str) -> None:
        self.conn = conn
        self._translate = _translate(path)

    def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        with translated(self._translate):
            return self.conn.execute(sql, params).fetchall()

    def fetch_into[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        # The cursor is consumed as rows arrive: no list of all rows is held.
        with translated(self._translate):
            return consume(self.conn.execute(sql, params))

    def execute(self, sql: str, params: Params = ()) -> int:
        with translated(self._translate):
            return self.conn.execute(sql, params).rowcount

    def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        with translated(self._translate):
            self.conn.executemany(sql, rows)


class _AsyncDriver(AsyncDriver):
    placeholder = "?"

    def __init__(self, conn: aiosqlite.Connection, path: str) -> None:
        self.conn = conn
        self._translate = _translate(path)

    async def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        with translated(self._translate):
            return list(await self.conn.execute_fetchall(sql, params))

    async def execute(self, sql: str, params: Params = ()) -> int:
        with translated(self._translate):
            cursor = await self.conn.execute(sql, params)
            count = cursor.rowcount
            await cursor.close()
            return count

    async def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        with translated(self._translate):
            await self.conn.executemany(sql, rows)


def _open(path: str) -> sqlite3.Connection:
    # Any thread may close the connection (its thread's end, or a retired database);
    # only one thread at a time uses it: a thread's own, or an event loop's worker.
    conn = sqlite3.connect(
        path, timeout=BUSY_TIMEOUT_S, isolation_level=None, check_same_thread=False, cached_statements=256
    )
    try:
        mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()
        if mode is None or str(mode[0]).lower() != "wal":
            raise sqlite3.DatabaseError(f"cannot switch to WAL mode (journal mode stays {mode})")
        conn.execute("PRAGMA synchronous = NORMAL")
        conn.create_function(_CASEFOLD, 1, _casefold, deterministic=True)
    except BaseException:
        conn.close()
        raise
    return conn


def _casefold(value: Any) -> Any:
    return value.casefold() if isinstance(value, str) else value


class _AsyncPool:
    """A few aiosqlite connections of one event loop, handed out one task at a time.

    Closing closes the idle connections at once and each connection in use when its
    task gives it back, so that a task still holding one when its loop shuts down
    ends with its own cancellation and not with an error of the pool.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.idle: list[aiosqlite.Connection] = []
        self.all: set[aiosqlite.Connection] = set()
        self.slots = asyncio.Semaphore(ASYNC_POOL_SIZE)
        self.closed = False

    @contextlib.asynccontextmanager
    async def connection(self) -> AsyncIterator[aiosqlite.Connection]:
        async with self.slots:
            conn = self.idle.pop() if self.idle else await self._new()
            healthy = False
            try:
                yield conn
                healthy = True
            finally:
                if healthy and not self.closed:
                    self.idle.append(conn)
                else:
                    self.all.discard(conn)
                    await asyncio.shield(_close_async(conn))

    async def _new(self) -> aiosqlite.Connection:
        conn = aiosqlite.Connection(lambda: _open(self.path), iter_chunk_size=1024)
        # The worker thread must not keep the interpreter from exiting if a loop is
        # never shut down.
        thread = getattr(conn, "_thread", None)
        if thread is not None:
            thread.daemon = True
        try:
            with translated(_translate(self.path)):
                await conn
        except Exception:
            # A failed connection stops its worker without waiting for it: wait here, so
            # that the worker never reports to a loop closed in the meantime.
            while thread is not None and thread.is_alive():
                await asyncio.sleep(0.001)
            raise
        self.all.add(conn)
        return conn

    async def close(self) -> None:
        self.closed = True
        idle, self.idle = self.idle, []
        for conn in idle:
            self.all.discard(conn)
            await _close_async(conn)

    def stop(self) -> None:
        """Stop every connection's worker: the loop is gone, nothing can be awaited."""
        self.closed = True
        conns, self.all, self.idle = self.all, set(), []
        for conn in conns:
            conn.stop()


async def _close_async(conn: aiosqlite.Connection) -> None:
    with contextlib.suppress(Exception):
        await conn.close()


class _ThreadConnection:
    """The connection of one thread, kept in a thread-local slot.

    The slot is freed when its thread ends, and this object with it: its finalizer
    then closes the connection, so that short-lived threads leave no open files.
    """

    __slots__ = ("__weakref__", "close", "conn")

    def __init__(self, conn: sqlite3.Connection) -> None:
        self.conn = conn
        self.close = weakref.finalize(self, _close_quietly, conn)


def _close_quietly(conn: sqlite3.Connection) -> None:
    with contextlib.suppress(Exception):
        conn.close()


class SQLiteDatabase(Database):
    dialect = SQLiteDialect()

    def __init__(self, url: DatabaseURL) -> None:
        super().__init__(url)
        self.path = url.target
        self._local = threading.local()
        self._threads: weakref.WeakSet[_ThreadConnection] = weakref.WeakSet()

        async def create() -> _AsyncPool:
            return _AsyncPool(self.path)

        self._pools: LoopResources[_AsyncPool] = LoopResources(create, _AsyncPool.close, _AsyncPool.stop)

    def _connection(self) -> sqlite3.Connection:
        if self._check_process():
            self._local = threading.local()
            self._threads = weakref.WeakSet()
        local = self._local
        held = getattr(local, "held", None)
        if held is None:
            with translated(_translate(self.path)):
                held = _ThreadConnection(_open(self.path))
            local.held = held
            with self._lock:
                self._threads.add(held)
        return held.conn

    @contextlib.contextmanager
    def connect(self) -> Iterator[_SyncDriver]:
        yield _SyncDriver(self._connection(), self.path)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[_SyncDriver]:
        conn = self._connection()
        if conn.in_transaction:
            # The thread's one connection is inside a transaction already: beginning
            # another would fail, and rolling back on that failure would end the open one.
            raise RuntimeError(f"SQLite database {self.path}: this thread's transaction is still open")
        driver = _SyncDriver(conn, self.path)
        driver.execute("BEGIN IMMEDIATE")
        try:
            yield driver
            driver.execute("COMMIT")
        except BaseException:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        driver.committed = True

    @contextlib.asynccontextmanager
    async def aconnect(self) -> AsyncIterator[_AsyncDriver]:
        pool = await self._pools.get()
        async with pool.connection() as conn:
            yield _AsyncDriver(conn, self.path)

    @contextlib.asynccontextmanager
    async def atransaction(self) -> AsyncIterator[_AsyncDriver]:
        pool = await self._pools.get()
        async with pool.connection() as conn:
            driver = _AsyncDriver(conn, self.path)
            await driver.execute("BEGIN IMMEDIATE")
            try:
                yield driver
                # COMMIT runs in the connection's thread whatever happens to this task:
                # its outcome is awaited, and a cancellation raised once it is recorded.
                _, cancelled = await to_completion(driver.execute("COMMIT"))
            except BaseException:
                # Also on cancellation: the connection goes back to the pool clean.
                await asyncio.shield(_rollback(conn))
                raise
            driver.committed = True
            if cancelled:
                raise asyncio.CancelledError

    def close(self) -> None:
        with self._lock:
            held, self._threads = list(self._threads), weakref.WeakSet()
            self._local = threading.local()
        for connection in held:
            connection.close()
        self._pools.close_all()


async def _rollback(conn: aiosqlite.Connection) -> None:
    if conn.in_transaction:
        await conn.rollback()
