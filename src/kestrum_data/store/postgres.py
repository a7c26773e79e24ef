"""PostgreSQL databases: psycopg 3 with a ``psycopg_pool`` connection pool per process and per event loop.

Sessions run in UTC. Bulk inserts use ``COPY``. A connection is checked before
it is handed out, so that after the server went away and came back the pool
replaces its dead connections instead of failing with them.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
from collections.abc import AsyncIterator, Iterable, Iterator, Sequence
from functools import cached_property
from typing import Any, ClassVar

import psycopg
import psycopg.errors
from psycopg.types.json import Jsonb
from psycopg_pool import AsyncConnectionPool, ConnectionPool, PoolTimeout
from pydantic_core import to_jsonable_python

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
)
from kestrum_data.store.fields import (
    RELATION,
    Codec,
    Encoder,
    binary,
    boolean,
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


def _json(value: Any) -> Jsonb:
    return Jsonb(to_jsonable_python(value))


class PostgresCodec(Codec):
    def to_python(self, kind: str, value: Any) -> Any:
        return value.obj if isinstance(value, Jsonb) else value

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


class PostgresDialect(Dialect):
    name = "postgresql"
    placeholder = "%s"
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

    def id_text(self, column: str) -> str:
        return f"{column}::text"

    def any_of(self, column: str) -> str:
        return f"{column} = ANY(%s)"

    def list_param(self, values: list[Any]) -> Any:
        return values

    def text_test(self, operator: str, column: str) -> str:
        # strpos/left/right never treat % or _ specially.
        if operator == "contains":
            return f"strpos({column}, %s) > 0"
        if operator == "icontains":
            return f"strpos(lower({column}), lower(%s)) > 0"
        if operator == "startswith":
            return f"left({column}, %s) = %s"
        return f"right({column}, %s) = %s"

    def text_params(self, operator: str, value: str) -> list[Any]:
        if operator in ("contains", "icontains"):
            return [value]
        return [len(value), value]

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


def _configure(conn: psycopg.Connection[Any]) -> None:
    conn.execute("SET TIME ZONE 'UTC'")


async def _aconfigure(conn: psycopg.AsyncConnection[Any]) -> None:
    await conn.execute("SET TIME ZONE 'UTC'")


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
            "kwargs": {"autocommit": True, "connect_timeout": connect_timeout},
            "open": False,
            "name": f"kestrum-{url}",
        }

        async def create() -> AsyncConnectionPool[Any]:
            await (await psycopg.AsyncConnection.connect(self.conninfo, **settings["kwargs"])).close()
            pool = _AsyncPool(self.conninfo, configure=_aconfigure, check=_AsyncPool.check_connection, **settings)
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
            pool = _Pool(self.conninfo, configure=_configure, check=_Pool.check_connection, **settings)
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
        with translated(self._translate), self._sync_pool().connection() as conn:
            driver = _SyncDriver(conn, self._translate)
            conn.execute("BEGIN")
            try:
                yield driver
                _committed(conn.execute("COMMIT").statusmessage, self.url)
            except BaseException:
                with contextlib.suppress(Exception):  # a broken connection is dropped by the pool
                    conn.rollback()
                raise
            driver.committed = True

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
            async with pool.connection() as conn:
                driver = _AsyncDriver(conn, self._translate)
                await conn.execute("BEGIN")
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

    def close(self) -> None:
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()
        self._pools.close_all()
