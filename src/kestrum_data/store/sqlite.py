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
import decimal
import errno
import json
import math
import operator
import os
import sqlite3
import struct
import tempfile
import threading
import time
import weakref
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Sequence
from functools import cached_property
from typing import Any, Final

import aiosqlite
from pydantic import TypeAdapter

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
    InvalidValueError,
    UniqueViolationError,
)
from kestrum_data.store.fields import (
    DECIMAL,
    DURATION,
    INT64_MAX,
    INT64_MIN,
    RELATION,
    SET,
    Codec,
    Encoder,
    binary,
    boolean,
    canonical_json,
    date,
    date_time,
    integer,
    json_text,
    number,
    relation_id,
    set_order,
    text,
)
from kestrum_utils.models.data_models.enums import CoreTypes

BUSY_TIMEOUT_S: Final = 30.0
ASYNC_POOL_SIZE: Final = 4
#: A small read run at once on an event loop's thread is stopped (and run on a worker
#: thread instead) after this many SQLite virtual-machine instructions: well under a
#: millisecond, far more than a lookup through an index takes.
DIRECT_READ_INSTRUCTIONS: Final = 100_000
_DIRECT_STEP: Final = 1_000
#: Seconds before an event loop's thread tries again to open its connection for small reads.
_DIRECT_RETRY_S: Final = 1.0
_MAX_SLOW: Final = 1024

_CASEFOLD: Final = "kestrum_casefold"


def _datetime_text(value: Any) -> str:
    # Fixed-width UTC text: text order is time order.
    return date_time(value).isoformat(sep=" ", timespec="microseconds")


def _date_text(value: Any) -> str:
    return date(value).isoformat()


# A REAL column cannot hold NaN (it becomes NULL) nor -0.0 (it is written as the
# integer 0): those two are stored as the 8 bytes of the double, a BLOB. Every
# comparison of a float column accounts for them (SQLiteDialect.number_test,
# values_in); BLOBs sort after every number.
_DOUBLE: Final = struct.Struct(">d")
_NAN: Final = _DOUBLE.pack(math.nan)
_NEGATIVE_ZERO: Final = _DOUBLE.pack(-0.0)
_NEGATIVE_ZERO_SQL: Final = f"x'{_NEGATIVE_ZERO.hex()}'"


def _real(value: Any) -> float | int | bytes:
    value = number(value)
    if value != value:
        return _NAN
    if value == 0 and math.copysign(1.0, value) < 0:
        return _NEGATIVE_ZERO
    return value


def _real_value(value: Any) -> Any:
    return _DOUBLE.unpack(value)[0] if type(value) is bytes else value


class SQLiteCodec(Codec):
    decoded_kinds = frozenset({CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value, CoreTypes.NUMBER.value})
    decoded_types = {CoreTypes.NUMBER.value: (bytes,)}  # NaN and -0.0 (see _real)
    # Floats are encoded one by one (for NaN and -0.0); ints go as they are.
    pass_through = {**Codec.pass_through, CoreTypes.STRING.value: (str,), CoreTypes.NUMBER.value: (int,)}

    @cached_property
    def encoders(self) -> dict[str, Encoder]:
        return {
            CoreTypes.INTEGER.value: integer,
            CoreTypes.NUMBER.value: _real,
            CoreTypes.STRING.value: text,
            CoreTypes.BINARY.value: binary,
            CoreTypes.BOOLEAN.value: boolean,
            CoreTypes.DATE.value: _date_text,
            CoreTypes.DATETIME.value: _datetime_text,
            CoreTypes.ARRAY.value: canonical_json,
            CoreTypes.DICTIONARY.value: canonical_json,
            RELATION: relation_id,
        }

    def encode_all(self, kind: str, values: list[Any]) -> list[Any]:
        if kind == CoreTypes.NUMBER.value:
            # Floats other than NaN and zeros (of either sign) are stored as they are.
            return [
                value if type(value) is float and value == value and value != 0.0 else None if value is None
                else _real(value)
                for value in values
            ]
        return super().encode_all(kind, values)

    def decoder(self, kind: str) -> Any:
        if kind == CoreTypes.NUMBER.value:
            return _real_value
        return json.loads if kind in self.decoded_kinds else None

    def to_python(self, kind: str, value: Any) -> Any:
        if value is None:
            return None
        if kind == CoreTypes.NUMBER.value:
            return _real_value(value)
        if kind in self.decoded_kinds:
            return json.loads(value)
        if kind == CoreTypes.DATE.value:
            return datetime.date.fromisoformat(value)
        if kind == CoreTypes.DATETIME.value:
            return datetime.datetime.fromisoformat(value)
        if kind == CoreTypes.BOOLEAN.value:
            return bool(value)
        return value


# -- comparison keys -------------------------------------------------------------
#
# Fields compared by meaning (fields.comparison_form) are compared through keys made
# by the functions below, registered on every connection; a compared value gets its
# key from the same function, so both sides always agree. Keys are text whose order
# is the order of the values; a value without one (NaN, unreadable text) gets NULL
# and matches nothing.

_DURATION_OFFSET: Final = 10**20  # above the microseconds of any timedelta


def _duration_key(value: datetime.timedelta) -> str:
    microseconds = (value.days * 86400 + value.seconds) * 1_000_000 + value.microseconds
    return f"{microseconds + _DURATION_OFFSET:021d}"


def _decimal_key(value: decimal.Decimal) -> str | None:
    # Sign class, then the exponent of the leading digit, then the digits (for negative
    # numbers all complemented and closed by "~", so that text order is number order).
    if value.is_nan():
        return None
    if value.is_infinite():
        return "0" if value < 0 else "4"
    if not value:
        return "2"
    sign, digits, exponent = value.as_tuple()
    significant = "".join(map(str, digits)).rstrip("0")
    position = int(exponent) + len(digits)
    if sign:
        complement = "".join(str(9 - int(digit)) for digit in significant)
        return f"1{10**18 - position:019d}{complement}~"
    return f"3{10**18 + position:019d}{significant}"


def _set_key(items: Any) -> str:
    return json_text(sorted(items, key=set_order))


_DURATIONS: Final = TypeAdapter(datetime.timedelta)


def _stored_key(make: Callable[[Any], str | None], read: Callable[[Any], Any]) -> Callable[[Any], str | None]:
    # SQL functions must not raise: anything unreadable has no key.
    def key(stored: Any) -> str | None:
        if stored is None:
            return None
        try:
            return make(read(stored))
        except Exception:  # noqa: BLE001
            return None

    return key


_KEYS: Final[dict[str, tuple[Callable[[Any], str | None], Callable[[Any], str | None]]]] = {
    DURATION: (_duration_key, _stored_key(_duration_key, _DURATIONS.validate_python)),
    DECIMAL: (_decimal_key, _stored_key(_decimal_key, lambda stored: decimal.Decimal(json.loads(stored)))),
    SET: (lambda value: _set_key(json.loads(canonical_json(value))), _stored_key(_set_key, json.loads)),
}


def _casefold(value: Any) -> Any:
    return value.casefold() if isinstance(value, str) else value


def _install_functions(conn: sqlite3.Connection) -> None:
    conn.create_function(_CASEFOLD, 1, _casefold, deterministic=True)
    for form, (_, stored_key) in _KEYS.items():
        conn.create_function(f"kestrum_{form}_key", 1, stored_key, deterministic=True)


_SIGNS: Final[dict[str, Callable[[Any, Any], bool]]] = {
    "=": operator.eq, "<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge
}


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

    def any_of(self, column: str) -> str:
        return f"{column} IN (SELECT value FROM json_each(?))"

    def list_param(self, values: list[Any]) -> Any:
        return json.dumps(values, ensure_ascii=False)

    def text_test(self, operator: str, column: str, value: str) -> tuple[str, list[Any]]:
        # On the UTF-8 bytes: SQLite's text functions stop at a NUL character, and
        # instr/substr never treat % or _ specially.
        if operator == "icontains":
            return f"instr(CAST({_CASEFOLD}({column}) AS BLOB), ?) > 0", [value.casefold().encode()]
        data = value.encode()
        if operator == "contains":
            return f"instr(CAST({column} AS BLOB), ?) > 0", [data]
        if operator == "startswith":
            return f"substr(CAST({column} AS BLOB), 1, ?) = ?", [len(data), data]
        return f"substr(CAST({column} AS BLOB), -?) = ?", [len(data), data]

    def number_test(self, column: str, sign: str, value: float) -> tuple[str, list[Any]]:
        if value != value:
            return (f"{column} = ?", [_NAN]) if sign == "=" else ("FALSE", [])
        test, params = f"{column} {sign} ?", [value]
        if sign in (">", ">="):
            test = f"{test} AND typeof({column}) <> 'blob'"
        if _SIGNS[sign](0.0, value):
            # -0.0 compares as 0.0.
            return f"({test}) OR {column} = ?", [*params, _NEGATIVE_ZERO]
        return test, params

    def values_in(self, column: str, kind: str, values: list[Any]) -> tuple[str, list[Any]]:
        listed: list[Any] = []  # compared through one JSON array
        as_hex: list[str] = []  # BLOBs and text with NUL (which JSON text functions cut short)
        direct: list[Any] = []  # NaN, -0.0 and infinities, which JSON cannot carry
        for value in values:
            if isinstance(value, bytes):
                if kind == CoreTypes.NUMBER.value:
                    direct.append(value)
                    if value == _NEGATIVE_ZERO:
                        listed.append(0.0)
                else:
                    as_hex.append(value.hex().upper())
            elif isinstance(value, str) and "\0" in value:
                as_hex.append(value.encode().hex().upper())
            elif isinstance(value, float) and (math.isinf(value) or value == 0):
                (direct if math.isinf(value) else listed).append(value)
                if value == 0:
                    direct.append(_NEGATIVE_ZERO)
            else:
                listed.append(value)
        tests, params = [], []
        if listed:
            tests.append(f"{column} IN (SELECT value FROM json_each(?))")
            params.append(json.dumps(list(dict.fromkeys(listed)), ensure_ascii=False))
        if as_hex:
            tests.append(f"hex({column}) IN (SELECT value FROM json_each(?))")
            params.append(json.dumps(as_hex))
        if direct:
            direct = list(dict.fromkeys(direct))
            tests.append(f"{column} IN ({', '.join('?' * len(direct))})")
            params.extend(direct)
        return " OR ".join(tests), params

    def form_key(self, form: str, sql: str) -> str:
        return f"kestrum_{form}_key({sql})"

    def form_param(self, form: str, value: Any) -> tuple[str, list[Any]]:
        return "?", [_KEYS[form][0](value)]

    def form_in(self, form: str, key: str, values: list[Any]) -> tuple[str, list[Any]]:
        keys = [k for k in (_KEYS[form][0](value) for value in values) if k is not None]
        return f"{key} IN (SELECT value FROM json_each(?))", [json.dumps(keys, ensure_ascii=False)]

    def array_contains(self, column: str) -> str:
        return f"EXISTS (SELECT 1 FROM json_each({column}) WHERE json_each.value = json_extract(?, '$'))"

    def json_equals(self, column: str) -> str:
        return f"{column} = ?"

    def order_term(self, column: str, descending: bool) -> str:
        # SQLite already sorts nulls first ascending and last descending.
        return f"{column} DESC" if descending else column

    # NaN and -0.0 are BLOBs (see _real): sums, means and extremes read -0.0 as 0.0 and
    # leave NaN to a test of its own; groups take -0.0 as 0.0.

    def number_value(self, column: str) -> str:
        return f"(CASE WHEN typeof({column}) = 'blob' THEN (CASE WHEN {column} = {_NEGATIVE_ZERO_SQL} THEN 0.0 END) " \
               f"ELSE {column} END)"

    def nan_seen(self, column: str) -> str | None:
        return f"max(typeof({column}) = 'blob' AND {column} <> {_NEGATIVE_ZERO_SQL})"

    def number_key(self, column: str) -> str:
        return f"(CASE WHEN {column} = {_NEGATIVE_ZERO_SQL} THEN 0.0 ELSE {column} END)"

    def upsert_latest(self, table: str, columns: Sequence[str]) -> str:
        marks = ", ".join("?" * len(columns))
        updates = ", ".join(f"{c} = excluded.{c}" for c in columns[1:])
        return (
            f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks}) "
            f'ON CONFLICT ("_object_id") DO UPDATE SET {updates} '
            f'WHERE {table}."_object_version" < excluded."_object_version"'
        )


# Primary result codes of SQLite (the low byte of an extended code).
_PERM, _BUSY, _LOCKED, _READONLY, _INTERRUPT, _CANTOPEN = 3, 5, 6, 8, 9, 14


def _translate(path: str) -> Any:
    """Every ``sqlite3`` error as one of the store's errors, naming the database file."""

    def translate(error: BaseException) -> BaseException | None:
        # Values the driver cannot bind: the writes pass ints and str as they are.
        if isinstance(error, OverflowError):
            return InvalidValueError(
                f"SQLite database {path} refused a value out of range ({error}): stored integers are signed "
                f"64-bit, {INT64_MIN} to {INT64_MAX}"
            )
        if isinstance(error, UnicodeEncodeError):
            return InvalidValueError(
                f"SQLite database {path} refused a value: text holds a lone surrogate ({error.reason}): "
                "only valid Unicode text can be stored"
            )
        if isinstance(error, sqlite3.IntegrityError):
            if getattr(error, "sqlite_errorname", "") == "SQLITE_CONSTRAINT_UNIQUE":
                # A unique index of the latest objects (keys are PRIMARYKEY constraints).
                failed = str(error).partition(": ")[2]
                return UniqueViolationError(f"SQLite database {path}: {error}", constraint=failed)
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

    @property
    def in_transaction(self) -> bool:
        return self.conn.in_transaction

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

    @property
    def in_transaction(self) -> bool:
        return self.conn.in_transaction

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


def _open(path: str, timeout: float = BUSY_TIMEOUT_S) -> sqlite3.Connection:
    # Any thread may close the connection (its thread's end, or a retired database);
    # only one thread at a time uses it: a thread's own, or an event loop's worker.
    conn = sqlite3.connect(path, timeout=timeout, isolation_level=None, check_same_thread=False, cached_statements=256)
    try:
        mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()
        if mode is None or str(mode[0]).lower() != "wal":
            raise sqlite3.DatabaseError(f"cannot switch to WAL mode (journal mode stays {mode})")
        conn.execute("PRAGMA synchronous = NORMAL")
        _install_functions(conn)
    except BaseException:
        conn.close()
        raise
    return conn


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
        except BaseException:
            # A failed (or cancelled) connection stops its worker without waiting for it: wait
            # here, so that the worker never reports to a loop closed in the meantime.
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


class _DirectConnection(_ThreadConnection):
    """An event loop thread's connection for small reads run at once on that thread.

    It never waits for a lock (busy timeout 0) and a progress handler stops any
    statement that runs longer than :data:`DIRECT_READ_INSTRUCTIONS`: the caller then
    runs the read on a worker thread, where waiting does not hold up the loop.
    """

    __slots__ = ("budget",)

    def __init__(self, conn: sqlite3.Connection) -> None:
        super().__init__(conn)
        budget = self.budget = [0]

        def step() -> bool:
            budget[0] -= 1
            return budget[0] < 0

        conn.set_progress_handler(step, _DIRECT_STEP)

    def read(self, sql: str, params: Params) -> list[tuple[Any, ...]]:
        self.budget[0] = DIRECT_READ_INSTRUCTIONS // _DIRECT_STEP
        return self.conn.execute(sql, params).fetchall()


class SQLiteDatabase(Database):
    dialect = SQLiteDialect()

    def __init__(self, url: DatabaseURL) -> None:
        super().__init__(url)
        self.path = url.target
        self._translate = _translate(self.path)
        self._local = threading.local()
        self._threads: weakref.WeakSet[_ThreadConnection] = weakref.WeakSet()
        #: Statements that ran too long for the event loop's thread: they run on workers.
        self._slow: dict[str, None] = {}

        async def create() -> _AsyncPool:
            return _AsyncPool(self.path)

        self._pools: LoopResources[_AsyncPool] = LoopResources(create, _AsyncPool.close, _AsyncPool.stop)

    def _thread_local(self) -> threading.local:
        if self._check_process():
            self._local = threading.local()
            self._threads = weakref.WeakSet()
        return self._local

    def _connection(self) -> sqlite3.Connection:
        local = self._thread_local()
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

    def fetch[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        # The thread's connection, without a driver or context managers: the common read.
        self._acquire()
        try:
            conn = self._connection()
            try:
                # The cursor is consumed as rows arrive: no list of all rows is held.
                return consume(conn.execute(sql, params))
            except Exception as error:
                mapped = self._translate(error)
                if mapped is None:
                    raise
                raise mapped from error
        finally:
            self._release()

    async def afetch(self, sql: str, params: Params, *, small: bool = False) -> list[tuple[Any, ...]]:
        # A small result is read at once on the loop's thread: a WAL read never waits for
        # writers and an indexed lookup takes microseconds, far less than two hops to a
        # worker thread. Where it would wait (a lock held for recovery or an exclusive
        # mode) or run long (a scan), the read goes to a worker as every other read does.
        if small and sql not in self._slow:
            rows = self._read_now(sql, params)
            if rows is not None:
                return rows
        async with self.aconnect() as driver:
            return await driver.query(sql, params)

    def _read_now(self, sql: str, params: Params) -> list[tuple[Any, ...]] | None:
        self._acquire()
        try:
            direct = self._direct()
            if direct is None:
                return None
            try:
                return direct.read(sql, params)
            except Exception as error:
                code = (getattr(error, "sqlite_errorcode", None) or 0) & 0xFF
                if isinstance(error, sqlite3.OperationalError) and code == _INTERRUPT:
                    if len(self._slow) >= _MAX_SLOW:
                        self._slow.clear()
                    self._slow[sql] = None
                    return None
                if isinstance(error, sqlite3.OperationalError) and code in (_BUSY, _LOCKED):
                    return None
                mapped = self._translate(error)
                if mapped is None:
                    raise
                raise mapped from error
        finally:
            self._release()

    def _direct(self) -> _DirectConnection | None:
        local = self._thread_local()
        direct = getattr(local, "direct", None)
        if direct is not None:
            return direct
        if getattr(local, "direct_retry", 0.0) > time.monotonic():
            return None
        try:
            conn = _open(self.path, timeout=0)
        except Exception:  # noqa: BLE001 - busy now, or unusable: the worker reports why
            local.direct_retry = time.monotonic() + _DIRECT_RETRY_S
            return None
        direct = local.direct = _DirectConnection(conn)
        with self._lock:
            self._threads.add(direct)
        return direct

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
