"""PostgreSQL databases: psycopg 3 with a ``psycopg_pool`` connection pool per process and per event loop.

Sessions run in UTC. Bulk inserts use ``COPY``. Statements a connection runs
repeatedly (every query of one shape has the same text) are prepared on the server.

A connection handed out by a healthy pool costs no round trip: it is checked with a
query only when the server has sent it something while it was idle (a server ending
a connection says so before closing it) or when it has been idle for
:data:`CHECK_AFTER_IDLE_S`. A connection found dead when a read or a transaction
starts on it is replaced and the work started again on another one, after the pool
has checked its other connections (a restarted server leaves all of them dead).
"""

from __future__ import annotations

import asyncio
import contextlib
import decimal
import functools
import json
import logging
import select
import time
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Sequence
from functools import cached_property
from typing import Any, ClassVar, Final

import psycopg
import psycopg.errors
from psycopg.types.json import Jsonb
from psycopg_pool import AsyncConnectionPool, ConnectionPool, PoolTimeout

from kestrum_data.config import DatabaseURL, hide_passwords
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


def _text(value: Any) -> str:
    value = text(value)
    if "\0" in value:
        raise InvalidValueError("PostgreSQL text cannot hold NUL characters (\\x00)")
    return value


def _utf8(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def _as_is(text: str) -> str:
    return text


def _json(value: Any) -> Jsonb:
    # The canonical text (checked, sets sorted), passed on as it is.
    return Jsonb(canonical_json(value), dumps=_as_is)


class PostgresCodec(Codec):
    def encode_all(self, kind: str, values: list[Any]) -> list[Any]:
        if kind == CoreTypes.STRING.value and set(map(type, values)) <= {str, type(None)}:
            # A column of plain text is stored as it is when, all joined, it holds no NUL
            # and has a UTF-8 form (no lone surrogate); else each value is checked.
            joined = "".join([value for value in values if value is not None])
            if "\0" not in joined and (joined.isascii() or _utf8(joined)):
                return values
        return super().encode_all(kind, values)

    def to_python(self, kind: str, value: Any) -> Any:
        if isinstance(value, Jsonb):
            return json.loads(value.obj) if value.dumps is _as_is else value.obj
        return value

    @cached_property
    def encoders(self) -> dict[str, Encoder]:
        return {
            CoreTypes.INTEGER.value: integer,
            CoreTypes.NUMBER.value: number,
            CoreTypes.STRING.value: _text,
            CoreTypes.BINARY.value: binary,
            CoreTypes.BOOLEAN.value: boolean,
            CoreTypes.DATE.value: date,
            CoreTypes.DATETIME.value: date_time,
            CoreTypes.ARRAY.value: _json,
            CoreTypes.DICTIONARY.value: _json,
            RELATION: relation_id,
        }


@functools.cache
def _folded_by() -> dict[str, str]:
    """For each character, the characters that ``str.casefold`` turns into text holding it."""
    found: dict[str, list[str]] = {}
    # Cased letters live in the first two planes (the others hold ideographs, tags
    # and private use); surrogates are in no text.
    for start in range(0, 0x20000, 256):
        if 0xD800 <= start < 0xE000:
            continue
        block = "".join(map(chr, range(start, start + 256)))
        if block.casefold() == block:
            continue
        for char in block:
            folded = char.casefold()
            if folded != char and char != "\0":
                for part in set(folded):
                    found.setdefault(part, []).append(char)
    return {part: "".join(chars) for part, chars in found.items()}


def _casefold_sql(column: str, needle: str) -> tuple[str, list[Any]]:
    """SQL folding a text column as ``str.casefold`` does, as far as a search for the casefolded ``needle`` can tell.

    Only characters whose fold holds a character of the needle can take part in a
    match, and they are folded (``translate`` for one-character folds, ``replace``
    for longer ones); every other character cannot match, folded or not. This needs
    no server locale or version: ``lower()`` follows the server's locale.
    """
    index = _folded_by()
    sources = sorted({char for part in set(needle) for char in index.get(part, "")})
    singles = [char for char in sources if len(char.casefold()) == 1]
    sql, params = column, []
    if singles:
        sql = f"translate({sql}, %s, %s)"
        params += ["".join(singles), "".join(char.casefold() for char in singles)]
    for char in sources:
        if len(char.casefold()) > 1:
            sql = f"replace({sql}, %s, %s)"
            params += [char, char.casefold()]
    return sql, params


# Comparison keys of fields compared by meaning (fields.comparison_form): a duration
# as its number of seconds (from the ISO 8601 text pydantic writes; a year there is
# 365 days), a Decimal as a numeric, a set as its elements in jsonb order.
_DURATION_TEXT: Final = r"'^(-?)P(?:(\d+)Y)?(?:(\d+)D)?(?:T(?:(\d+)H)?(?:(\d+)M)?(?:(\d+(?:\.\d+)?)S)?)?$'"
_DECIMAL_TEXT: Final = r"'^-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$|^-?Infinity$'"


def _duration_key(sql: str) -> str:
    parts = " + ".join(
        f"coalesce(m[{group}]::numeric, 0) * {seconds}"
        for group, seconds in ((2, 31536000), (3, 86400), (4, 3600), (5, 60), (6, 1))
    )
    return (
        f"(SELECT CASE WHEN m[1] = '-' THEN -({parts}) ELSE {parts} END "
        f"FROM (SELECT regexp_match({sql}, {_DURATION_TEXT}) AS m) AS d WHERE m IS NOT NULL)"
    )


def _decimal_key(sql: str) -> str:
    return f"(CASE WHEN ({sql} #>> '{{}}') ~ {_DECIMAL_TEXT} THEN ({sql} #>> '{{}}')::numeric END)"


def _set_key(sql: str) -> str:
    return f"(SELECT coalesce(jsonb_agg(e ORDER BY e), '[]'::jsonb) FROM jsonb_array_elements({sql}) AS e)"


def _seconds(value: Any) -> decimal.Decimal:
    microseconds = (value.days * 86400 + value.seconds) * 1_000_000 + value.microseconds
    return decimal.Decimal(microseconds).scaleb(-6)


class PostgresDialect(Dialect):
    name = "postgresql"
    placeholder = "%s"
    nul_in_text = False
    column_types = {
        CoreTypes.INTEGER.value: "bigint",
        CoreTypes.NUMBER.value: "double precision",
        CoreTypes.STRING.value: "text",
        CoreTypes.BINARY.value: "bytea",
        CoreTypes.BOOLEAN.value: "boolean",
        CoreTypes.DATE.value: "date",
        CoreTypes.DATETIME.value: "timestamp with time zone",
        CoreTypes.ARRAY.value: "jsonb",
        CoreTypes.DICTIONARY.value: "jsonb",
        RELATION: "bigint",
    }
    codec = PostgresCodec()

    def any_of(self, column: str) -> str:
        return f"{column} = ANY(%s)"

    def list_param(self, values: list[Any]) -> Any:
        return values

    def text_test(self, operator: str, column: str, value: str) -> tuple[str, list[Any]]:
        # strpos/left/right never treat % or _ specially.
        if operator == "contains":
            return f"strpos({column}, %s) > 0", [value]
        if operator == "icontains":
            needle = value.casefold()
            folded, params = _casefold_sql(column, needle)
            return f"strpos({folded}, %s) > 0", [*params, needle]
        if operator == "startswith":
            return f"left({column}, %s) = %s", [len(value), value]
        return f"right({column}, %s) = %s", [len(value), value]

    def number_test(self, column: str, sign: str, value: float) -> tuple[str, list[Any]]:
        # The server holds NaN equal to itself and greater than every number.
        if value != value:
            return (f"{column} = 'NaN'::float8", []) if sign == "=" else ("FALSE", [])
        if sign in (">", ">="):
            return f"{column} {sign} %s AND {column} <> 'NaN'::float8", [value]
        return f"{column} {sign} %s", [value]

    def values_in(self, column: str, kind: str, values: list[Any]) -> tuple[str, list[Any]]:
        if kind in (CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value):
            return f"{column} = ANY(%s::jsonb[])", [values]
        return f"{column} = ANY(%s)", [values]

    def form_key(self, form: str, sql: str) -> str:
        if form == DURATION:
            return _duration_key(sql)
        if form == DECIMAL:
            return _decimal_key(sql)
        return f"(CASE WHEN {sql} IS NOT NULL THEN {_set_key(sql)} END)"

    def form_param(self, form: str, value: Any) -> tuple[str, list[Any]]:
        if form == DURATION:
            return "%s::numeric", [_seconds(value)]
        if form == DECIMAL:
            return "%s::numeric", [None if value.is_nan() else value]
        return _set_key("%s::jsonb"), [canonical_json(value)]

    def form_in(self, form: str, key: str, values: list[Any]) -> tuple[str, list[Any]]:
        if form == DURATION:
            return f"{key} = ANY(%s::numeric[])", [[_seconds(value) for value in values]]
        if form == DECIMAL:
            return f"{key} = ANY(%s::numeric[])", [[value for value in values if not value.is_nan()]]
        return (
            f"{key} = ANY(ARRAY(SELECT {_set_key('v')} FROM unnest(%s::jsonb[]) AS v))",
            [[canonical_json(value) for value in values]],
        )

    def array_contains(self, column: str) -> str:
        return f"{column} @> jsonb_build_array(%s::jsonb)"

    def json_equals(self, column: str) -> str:
        return f"{column} = %s::jsonb"

    def order_term(self, column: str, descending: bool) -> str:
        return f"{column} DESC NULLS LAST" if descending else f"{column} ASC NULLS FIRST"

    def upsert_latest(self, table: str, columns: Sequence[str]) -> str:
        marks = ", ".join(["%s"] * len(columns))
        updates = ", ".join(f"{c} = EXCLUDED.{c}" for c in columns[1:])
        return (
            f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks}) "
            f'ON CONFLICT ("_object_id") DO UPDATE SET {updates} '
            f'WHERE {table}."_object_version" < EXCLUDED."_object_version"'
        )


def _translate(url: DatabaseURL) -> Any:
    """Every psycopg error as one of the store's errors, naming the database with its password masked."""
    where = str(url)

    def translate(error: BaseException) -> BaseException | None:
        if not isinstance(error, psycopg.Error | PoolTimeout):
            return None
        _mask(error, url)
        if isinstance(error, psycopg.errors.UniqueViolation):
            table = error.diag.table_name or ""
            if table and not table.endswith("__history") and table != "_kestrum_classes":
                # A unique index of the latest objects (the history's key means a conflict).
                return UniqueViolationError(
                    f"PostgreSQL database {where}: {error.diag.message_primary}", constraint=error.diag.constraint_name or ""
                )
            return ConflictError(f"another writer saved the same object version first ({error.diag.message_primary})")
        state = getattr(error, "sqlstate", None) or ""
        # No SQLSTATE (the client lost or never had its connection: the message is
        # libpq's or the server's refusal), connection exceptions (08) and server
        # shutdowns (57): the database is out of reach.
        if isinstance(error, PoolTimeout) or (
            isinstance(error, psycopg.OperationalError) and (not state or state[:2] in ("08", "57"))
        ):
            return DatabaseUnavailableError(f"PostgreSQL database {where} is unavailable: {error}")
        if isinstance(error, psycopg.DataError) or state[:2] == "54":
            return InvalidValueError(f"PostgreSQL database {where} refused a value: {error}")
        return DatabaseError(f"PostgreSQL database {where}: {error}")

    return translate


def _mask(error: BaseException, url: DatabaseURL) -> None:
    """Mask passwords in the driver's own error too: it stays attached as the cause of the store's error."""
    text = str(error)
    masked = hide_passwords(text, url.secrets)
    if masked != text:
        error.args = (masked,)


class _PasswordFilter(logging.Filter):
    """Masks passwords in the log records of the driver and its pool."""

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            message = record.getMessage()
        except Exception:  # noqa: BLE001 - a malformed record is for its handler to report
            return True
        masked = hide_passwords(message)
        if masked != message:
            record.msg, record.args = masked, None
        return True


for _name in ("psycopg", "psycopg.pool"):
    logging.getLogger(_name).addFilter(_PasswordFilter())


class _SyncDriver(Driver):
    placeholder = "%s"

    def __init__(self, conn: psycopg.Connection[Any], translate: Any) -> None:
        self.conn = conn
        self._translate = translate

    def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        with translated(self._translate):
            return self.conn.execute(sql, params).fetchall()

    def execute(self, sql: str, params: Params = ()) -> int:
        with translated(self._translate):
            return self.conn.execute(sql, params).rowcount

    def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        with translated(self._translate), self.conn.cursor() as cursor:
            cursor.executemany(sql, rows)

    def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        with translated(self._translate), self.conn.cursor() as cursor:
            with cursor.copy(f"COPY {table} ({', '.join(columns)}) FROM STDIN") as copy:
                for row in rows:
                    copy.write_row(row)


class _AsyncDriver(AsyncDriver):
    placeholder = "%s"

    def __init__(self, conn: psycopg.AsyncConnection[Any], translate: Any) -> None:
        self.conn = conn
        self._translate = translate

    async def query(self, sql: str, params: Params = ()) -> list[tuple[Any, ...]]:
        with translated(self._translate):
            cursor = await self.conn.execute(sql, params)
            return await cursor.fetchall()

    async def execute(self, sql: str, params: Params = ()) -> int:
        with translated(self._translate):
            return (await self.conn.execute(sql, params)).rowcount

    async def execute_many(self, sql: str, rows: Iterable[Params]) -> None:
        with translated(self._translate):
            async with self.conn.cursor() as cursor:
                await cursor.executemany(sql, rows)

    async def insert_many(self, table: str, columns: Sequence[str], rows: Sequence[Params]) -> None:
        with translated(self._translate):
            async with self.conn.cursor() as cursor:
                async with cursor.copy(f"COPY {table} ({', '.join(columns)}) FROM STDIN") as copy:
                    for row in rows:
                        await copy.write_row(row)


def _committed(status: str | None, url: DatabaseURL) -> None:
    # The server answers COMMIT of a transaction in which a statement failed with ROLLBACK.
    if status != "COMMIT":
        raise DatabaseError(
            f"PostgreSQL database {url}: the transaction was rolled back at its end ({status}): "
            "a statement inside it had failed; nothing of it was stored"
        )


async def _acommit(conn: psycopg.AsyncConnection[Any]) -> str | None:
    return (await conn.execute("COMMIT")).statusmessage


async def _arollback(conn: psycopg.AsyncConnection[Any]) -> None:
    with contextlib.suppress(Exception):  # a broken connection is dropped by the pool
        await conn.rollback()


#: A pooled connection idle for longer than this is checked with a query before use.
CHECK_AFTER_IDLE_S: Final = 30.0
#: Times a statement runs on a connection before it is prepared there.
PREPARE_THRESHOLD: Final = 1


def _configure(conn: psycopg.Connection[Any]) -> None:
    conn.execute("SET TIME ZONE 'UTC'")
    conn._kestrum_used = time.monotonic()  # type: ignore[attr-defined]


async def _aconfigure(conn: psycopg.AsyncConnection[Any]) -> None:
    await conn.execute("SET TIME ZONE 'UTC'")
    conn._kestrum_used = time.monotonic()  # type: ignore[attr-defined]


def _suspect(conn: psycopg.Connection[Any] | psycopg.AsyncConnection[Any]) -> bool:
    """Whether a connection leaving the pool must be checked with a query (and note its use)."""
    now = time.monotonic()
    idle = now - getattr(conn, "_kestrum_used", 0.0)
    conn._kestrum_used = now  # type: ignore[union-attr]
    if idle > CHECK_AFTER_IDLE_S:
        return True
    # An idle connection has nothing to read unless the server sent it a message: a
    # notice, or the error it sends before closing a connection it ends.
    try:
        poller = select.poll()
        poller.register(conn.fileno(), select.POLLIN | select.POLLPRI)
        return bool(poller.poll(0))
    except Exception:  # noqa: BLE001 - a closed socket: the check finds out
        return True


def _check(conn: psycopg.Connection[Any]) -> None:
    if _suspect(conn):
        ConnectionPool.check_connection(conn)


async def _acheck(conn: psycopg.AsyncConnection[Any]) -> None:
    if _suspect(conn):
        await AsyncConnectionPool.check_connection(conn)


def _lost(error: BaseException, conn: Any) -> bool:
    # The connection broke (the server went away or ended it). Only work that is safe to
    # run twice is started again: a read, or BEGIN.
    return isinstance(error, psycopg.OperationalError) and bool(conn.broken)


# A pool connects in the background and, when the server refuses it, retries until
# the caller's wait for a connection times out, which tells nothing of the cause.
# So a pool opens only after one direct connection succeeded (whose failure, with the
# server's or libpq's message, is raised at once), and a wait that times out tries
# one more direct connection to report why, if it fails.


class _Pool(ConnectionPool[Any]):
    def getconn(self, timeout: float | None = None) -> Any:
        try:
            return super().getconn(timeout)
        except PoolTimeout:
            psycopg.Connection.connect(self.conninfo, **self.kwargs).close()  # type: ignore[arg-type]
            raise


class _AsyncPool(AsyncConnectionPool[Any]):
    async def getconn(self, timeout: float | None = None) -> Any:
        try:
            return await super().getconn(timeout)
        except PoolTimeout:
            await (await psycopg.AsyncConnection.connect(self.conninfo, **self.kwargs)).close()  # type: ignore[arg-type]
            raise


def _begun(pool: ConnectionPool[Any]) -> psycopg.Connection[Any]:
    """A pooled connection inside a new transaction; one found lost when it begins is replaced."""
    for attempt in (1, 2):
        conn = pool.getconn()
        try:
            conn.execute("BEGIN")
            return conn
        except BaseException as error:
            pool.putconn(conn)
            if attempt == 2 or not _lost(error, conn):
                raise
        pool.check()
    raise AssertionError("unreachable")


async def _abegun(pool: AsyncConnectionPool[Any]) -> psycopg.AsyncConnection[Any]:
    for attempt in (1, 2):
        conn = await pool.getconn()
        try:
            await conn.execute("BEGIN")
            return conn
        except BaseException as error:
            await pool.putconn(conn)
            if attempt == 2 or not _lost(error, conn):
                raise
        await pool.check()
    raise AssertionError("unreachable")


class PostgresDatabase(Database):
    """A PostgreSQL database; the pool settings come from the URL or, when it has none, from the class."""

    dialect = PostgresDialect()

    #: Seconds to wait for a connection before the database counts as unavailable.
    pool_timeout: ClassVar[float] = 10.0
    pool_max_size: ClassVar[int] = 10
    #: Seconds to wait for the server when connecting (0: no limit).
    connect_timeout: ClassVar[int] = 10

    def __init__(self, url: DatabaseURL) -> None:
        super().__init__(url)
        self.conninfo = url.target
        self._translate = _translate(url)
        self._pool: ConnectionPool[Any] | None = None
        cls = type(self)
        timeout = url.pool_timeout if url.pool_timeout is not None else cls.pool_timeout
        connect_timeout = url.connect_timeout if url.connect_timeout is not None else cls.connect_timeout
        settings: dict[str, Any] = {
            "min_size": 1,
            "max_size": url.pool_size or cls.pool_max_size,
            "timeout": timeout,
            "kwargs": {"autocommit": True, "connect_timeout": connect_timeout, "prepare_threshold": PREPARE_THRESHOLD},
            "open": False,
            "name": f"kestrum-{url}",
        }

        async def create() -> AsyncConnectionPool[Any]:
            await (await psycopg.AsyncConnection.connect(self.conninfo, **settings["kwargs"])).close()
            pool = _AsyncPool(self.conninfo, configure=_aconfigure, check=_acheck, **settings)
            await pool.open()
            return pool

        async def close(pool: AsyncConnectionPool[Any]) -> None:
            await pool.close()

        def drop(pool: AsyncConnectionPool[Any]) -> None:
            # The loop is gone: nothing can be awaited; the connections close with their objects.
            pass

        self._pools: LoopResources[AsyncConnectionPool[Any]] = LoopResources(create, close, drop)

        def create_sync() -> ConnectionPool[Any]:
            psycopg.Connection.connect(self.conninfo, **settings["kwargs"]).close()
            pool = _Pool(self.conninfo, configure=_configure, check=_check, **settings)
            pool.open()
            return pool

        self._create_sync = create_sync

    def _sync_pool(self) -> ConnectionPool[Any]:
        if self._check_process():
            self._pool = None  # the parent's sockets are not ours
        pool = self._pool
        if pool is None:
            with self._lock:
                pool = self._pool
                if pool is None:
                    pool = self._pool = self._create_sync()
        return pool

    @contextlib.contextmanager
    def connect(self) -> Iterator[_SyncDriver]:
        with translated(self._translate), self._sync_pool().connection() as conn:
            yield _SyncDriver(conn, self._translate)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[_SyncDriver]:
        with translated(self._translate):
            pool = self._sync_pool()
            conn = _begun(pool)
            try:
                driver = _SyncDriver(conn, self._translate)
                try:
                    yield driver
                    _committed(conn.execute("COMMIT").statusmessage, self.url)
                except BaseException:
                    with contextlib.suppress(Exception):  # a broken connection is dropped by the pool
                        conn.rollback()
                    raise
                driver.committed = True
            finally:
                pool.putconn(conn)

    def fetch[T](self, sql: str, params: Params, consume: Callable[[Iterable[tuple[Any, ...]]], T]) -> T:
        self._acquire()
        try:
            with translated(self._translate):
                pool = self._sync_pool()
                for attempt in (1, 2):
                    conn = pool.getconn()
                    try:
                        rows = conn.execute(sql, params).fetchall()
                        break
                    except Exception as error:
                        # A read found its connection lost runs again on another one.
                        if attempt == 2 or not _lost(error, conn):
                            raise
                    finally:
                        pool.putconn(conn)
                    pool.check()
                return consume(rows)
        finally:
            self._release()

    @contextlib.asynccontextmanager
    async def aconnect(self) -> AsyncIterator[_AsyncDriver]:
        with translated(self._translate):
            pool = await self._pools.get()
            async with pool.connection() as conn:
                yield _AsyncDriver(conn, self._translate)

    @contextlib.asynccontextmanager
    async def atransaction(self) -> AsyncIterator[_AsyncDriver]:
        with translated(self._translate):
            pool = await self._pools.get()
            conn = await _abegun(pool)
            try:
                driver = _AsyncDriver(conn, self._translate)
                try:
                    yield driver
                    # A cancelled wait for COMMIT would make the client cancel a statement
                    # the server may already have carried out: its outcome is awaited, and
                    # a cancellation raised once it is recorded.
                    status, cancelled = await to_completion(_acommit(conn))
                    _committed(status, self.url)
                except BaseException:
                    await asyncio.shield(_arollback(conn))
                    raise
                driver.committed = True
                if cancelled:
                    raise asyncio.CancelledError
            finally:
                await pool.putconn(conn)

    async def afetch(self, sql: str, params: Params, *, small: bool = False) -> list[tuple[Any, ...]]:
        self._acquire()
        try:
            with translated(self._translate):
                pool = await self._pools.get()
                for attempt in (1, 2):
                    conn = await pool.getconn()
                    try:
                        return await (await conn.execute(sql, params)).fetchall()
                    except Exception as error:
                        if attempt == 2 or not _lost(error, conn):
                            raise
                    finally:
                        await pool.putconn(conn)
                    await pool.check()
                raise AssertionError("unreachable")
        finally:
            self._release()

    def close(self) -> None:
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()
        self._pools.close_all()
