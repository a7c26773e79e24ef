"""The history as a timeline: the change feed, pruning, and how far pruning went.

The change feed of a class lists its versions in commit order: each entry
(:class:`Change`) names the object, its version, whether the version saved or
deleted it, when it was saved and its note, and carries a *cursor*: ``changes(since=
cursor)`` reads the versions committed after that entry. A cursor is the text
``"<position>.<object id>.<object version>"``: the feed position of the entry's
transaction (see :mod:`~kestrum_data.store.schema`) and the entry's place in it, in
which a transaction's versions come by object id, then version. Cursors stay valid
for good: positions are never given twice, and a transaction commits all of its
versions at once. Versions written before the feed existed stand at position 0, the
beginning.

Pruning removes old versions from the history in one transaction: every version but
the last ``keep_last`` of each object, or every version replaced at or before an
instant (``older_than``). It never removes an object's latest version (nor a version
still to reach a separate latest-objects database). It records per history how far it
went (``_kestrum_histories``): the latest instant at which a removed version was still
current, and the highest feed position of a removed version. Reading the objects as of
an earlier instant, or the feed after an earlier cursor, raises
:class:`PrunedHistoryError` instead of answering without the removed versions.
"""

from __future__ import annotations

import datetime
import functools
from typing import Any, Final

from kestrum_data.store import session
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.database import Database, Dialect, Plan, arun, execute, query, run
from kestrum_data.store.errors import InvalidValueError, PrunedHistoryError
from kestrum_data.store.schema import ALWAYS, FEED_SUFFIX, HISTORIES, HISTORY_SUFFIX, StoredClass, saved_at_sql
from kestrum_utils.models.data_models.enums import CoreTypes

type Cursor = tuple[int, int, int]

BEGINNING: Final[Cursor] = (-1, 0, 0)
"""Before the first entry of any feed."""
_UNPRUNED: Final = 2**62
"""A position no pruning reaches."""


class Change(tuple[int, int, int, Any, Any, Any]):
    """One entry of a change feed: a version of an object, in commit order.

    ``object_id``, ``object_version``, ``kind`` (``"saved"`` or ``"deleted"``),
    ``saved_at`` (UTC; None for a version saved before times were recorded), ``note``
    and ``cursor`` (``changes(since=change.cursor)`` reads on after this entry).
    """

    __slots__ = ()

    @property
    def position(self) -> int:
        """The feed position of the transaction that committed this version."""
        return int(self[0])

    @property
    def object_id(self) -> int:
        return int(self[1])

    @property
    def object_version(self) -> int:
        return int(self[2])

    @property
    def deleted(self) -> bool:
        """Whether this version records the object's deletion."""
        return bool(self[3])

    @property
    def kind(self) -> str:
        """``"deleted"`` for a version that deletes its object, else ``"saved"``."""
        return "deleted" if self[3] else "saved"

    @property
    def saved_at(self) -> datetime.datetime | None:
        value = self[4]
        return datetime.datetime.fromisoformat(value) if type(value) is str else value

    @property
    def note(self) -> str | None:
        value: str | None = self[5]
        return value

    @property
    def cursor(self) -> str:
        """Where a feed read resumes to read what was committed after this entry."""
        return f"{self[0]}.{self[1]}.{self[2]}"

    def __repr__(self) -> str:
        return (
            f"Change(object_id={self.object_id}, object_version={self.object_version}, kind={self.kind!r}, "
            f"saved_at={self.saved_at!r}, note={self.note!r}, cursor={self.cursor!r})"
        )


_change = functools.partial(tuple.__new__, Change)


def parse_cursor(since: Any) -> Cursor:
    """The feed place a cursor names (a :class:`Change` stands for its own cursor); None: the beginning."""
    if since is None:
        return BEGINNING
    if isinstance(since, Change):
        return since.position, since.object_id, since.object_version
    if type(since) is str:
        parts = since.split(".")
        if len(parts) == 3 and all(part.isdigit() and part.isascii() for part in parts):
            position, object_id, version = map(int, parts)
            if max(position, object_id, version) < 2**63:
                return position, object_id, version
    raise InvalidValueError(
        f"{since!r} is not a change-feed cursor: give the cursor of a change (change.cursor), the change itself, "
        "or None for the beginning"
    )


def instant(value: Any, what: str) -> datetime.datetime:
    """A timezone-aware datetime, or :class:`InvalidValueError` naming ``what`` it was given for."""
    if not isinstance(value, datetime.datetime) or value.utcoffset() is None:
        raise InvalidValueError(f"{what} needs a timezone-aware datetime, not {value!r}")
    return value


def _stamp(dialect: Dialect, value: Any) -> Any:
    return dialect.codec.encode(CoreTypes.DATETIME.value, value)


def _read_stamp(value: Any) -> datetime.datetime | None:
    return datetime.datetime.fromisoformat(value) if type(value) is str else value


# -- how far pruning went ------------------------------------------------------------


def _horizon_plan(dialect: Dialect, table: str) -> Plan[tuple[datetime.datetime | None, int | None]]:
    q, p = dialect.quote, dialect.placeholder
    rows = yield query(
        f"SELECT {q('pruned_before')}, {q('pruned_position')} FROM {q(HISTORIES)} WHERE {q('table_name')} = {p}",
        (table,),
    )
    if not rows:
        return None, None
    return _read_stamp(rows[0][0]), rows[0][1]


def _pruned_before(stored: StoredClass, when: datetime.datetime, horizon: datetime.datetime) -> PrunedHistoryError:
    return PrunedHistoryError(
        f"the history of {stored.class_name} was pruned up to {horizon.isoformat()}: versions current at "
        f"{when.isoformat()} may be gone, so as_of() cannot answer before that instant"
    )


def _pruned_after(stored: StoredClass, cursor: Cursor, position: int) -> PrunedHistoryError:
    return PrunedHistoryError(
        f"the history of {stored.class_name} was pruned up to feed position {position}: versions committed after "
        f"cursor '{cursor[0]}.{cursor[1]}.{cursor[2]}' may be gone; read the feed again from a later cursor, or "
        "from the beginning (changes() without a cursor)"
    )


def _horizon(db: Database, stored: StoredClass) -> tuple[datetime.datetime | None, int | None]:
    """How far pruning went in a history (read in the current transaction, if one is open there)."""
    driver = session.sync_driver(db)
    if driver is not None:
        return run(_horizon_plan(db.dialect, stored.table_name), driver)
    with db.connect() as conn:
        return run(_horizon_plan(db.dialect, stored.table_name), conn)


async def _ahorizon(db: Database, stored: StoredClass) -> tuple[datetime.datetime | None, int | None]:
    driver = session.async_driver(db)
    if driver is not None:
        return await arun(_horizon_plan(db.dialect, stored.table_name), driver)
    async with db.aconnect() as conn:
        return await arun(_horizon_plan(db.dialect, stored.table_name), conn)


def check_horizon(db: Database, stored: StoredClass, when: Any) -> None:
    """Raise :class:`PrunedHistoryError` when pruning removed versions current at ``when``.

    For reads of the objects as of ``when`` that found nothing: their statement finds
    nothing when the history was pruned past its instant.
    """
    horizon, _ = _horizon(db, stored)
    if horizon is not None and when < horizon:
        raise _pruned_before(stored, when, horizon)


async def acheck_horizon(db: Database, stored: StoredClass, when: Any) -> None:
    """Asynchronous :func:`check_horizon`."""
    horizon, _ = await _ahorizon(db, stored)
    if horizon is not None and when < horizon:
        raise _pruned_before(stored, when, horizon)


# -- the feed ------------------------------------------------------------------------


def feed_sql(dialect: Dialect, table: str, limited: bool) -> str:
    """The feed of a history after a cursor (parameters: the position, the cursor's three
    parts, the table's name and the position again, then the limit when ``limited``), in
    commit order; nothing when pruning removed versions after the cursor."""
    q, p = dialect.quote, dialect.placeholder
    history = q(table + HISTORY_SUFFIX)
    if dialect.name == "postgresql":
        position, source = "f." + q("position"), f"{q(table + FEED_SUFFIX)} AS f JOIN {history} AS h ON h.{q('_tx')} = f.{q('tx')}"
    else:
        position, source = "h." + q("_tx"), f"{history} AS h"
    oid, version = "h." + q("_object_id"), "h." + q("_object_version")
    columns = [position, oid, version, f"h.{q('_deleted')}", saved_at_sql(dialect, f"h.{q('_saved_at')}"),
               f"h.{q('_note')}"]
    sql = (
        f"SELECT {', '.join(columns)} FROM {source} WHERE {position} >= {p} AND ({position}, {oid}, {version}) > "
        f"({p}, {p}, {p}) AND NOT EXISTS (SELECT 1 FROM {q(HISTORIES)} WHERE {q('table_name')} = {p} "
        f"AND {q('pruned_position')} > {p}) ORDER BY {position}, {oid}, {version}"
    )
    return sql + (f" LIMIT {p}" if limited else "")


def _feed_params(stored: StoredClass, cursor: Cursor, limit: int | None) -> list[Any]:
    # From the beginning, the feed is what the history still holds, pruned or not.
    pruned_after = _UNPRUNED if cursor == BEGINNING else cursor[0]
    params: list[Any] = [max(cursor[0], 0), *cursor, stored.table_name, pruned_after]
    return params + ([limit] if limit is not None else [])


class Timeline:
    """The change feed and pruning of the configured history database."""

    def __init__(self, registry: ClassRegistry, writer: Any) -> None:
        self.registry = registry
        self.history_db = registry.history_db
        self.writer = writer

    def _feed(self, stored: StoredClass, cursor: Cursor, limit: int | None) -> tuple[str, list[Any]]:
        key = f"feed:{limit is not None}"
        sql = stored.derived.get(key)
        if sql is None:
            sql = stored.derived[key] = feed_sql(self.history_db.dialect, stored.table_name, limit is not None)
        return sql, _feed_params(stored, cursor, limit)

    def changes(self, model: type[Any], since: Any = None, limit: int | None = None) -> list[Change]:
        """The versions of ``model`` committed after the cursor ``since``, in commit order (at most ``limit``)."""
        cursor = parse_cursor(since)
        db = self.history_db
        stored = self.registry.ensure(model, db)
        sql, params = self._feed(stored, cursor, _limit(limit))
        driver = session.sync_driver(db)
        if driver is None:
            found = db.fetch(sql, params, _changes)
        else:
            found = _changes(driver.query(sql, params))
        if not found and since is not None:
            # The statement finds nothing when versions after the cursor were pruned.
            _, position = _horizon(db, stored)
            if position is not None and position > cursor[0]:
                raise _pruned_after(stored, cursor, position)
        return found

    async def achanges(self, model: type[Any], since: Any = None, limit: int | None = None) -> list[Change]:
        """Asynchronous :meth:`changes`."""
        cursor = parse_cursor(since)
        db = self.history_db
        stored = self.registry.cached(model, db) or await self.registry.aensure(model, db)
        sql, params = self._feed(stored, cursor, _limit(limit))
        driver = session.async_driver(db)
        rows = await db.afetch(sql, params) if driver is None else await driver.query(sql, params)
        found = _changes(rows)
        if not found and since is not None:
            _, position = await _ahorizon(db, stored)
            if position is not None and position > cursor[0]:
                raise _pruned_after(stored, cursor, position)
        return found

    # -- pruning -----------------------------------------------------------------

    def prune(self, model: type[Any], *, keep_last: int | None = None, older_than: Any = None) -> int:
        """Remove old versions of ``model`` from the history in one transaction; the number removed."""
        keep, before = _prune_args(keep_last, older_than)
        stored = self.registry.ensure(model, self.history_db)
        with self.writer.transaction() as tx:
            count: int = run(self._prune_plan(stored, keep, before), tx.driver)
        return count

    async def aprune(self, model: type[Any], *, keep_last: int | None = None, older_than: Any = None) -> int:
        """Asynchronous :meth:`prune`."""
        keep, before = _prune_args(keep_last, older_than)
        stored = await self.registry.aensure(model, self.history_db)
        async with self.writer.atransaction() as tx:
            count: int = await arun(self._prune_plan(stored, keep, before), tx.driver)
        return count

    def _prune_plan(self, stored: StoredClass, keep: int | None, before: datetime.datetime | None) -> Plan[int]:
        dialect = self.history_db.dialect
        q, p = dialect.quote, dialect.placeholder
        table = stored.table_name
        history = q(table + HISTORY_SUFFIX)
        oid, version = q("_object_id"), q("_object_version")
        # Never a latest version, nor one still to reach a separate latest-objects database.
        kept = f"h.{q('_is_latest')} = FALSE AND h.{q('_pending')} = FALSE"

        def unrecorded(latest: str) -> str:
            # Versions replaced before times were recorded were never current at any instant:
            # removing only those moves no horizon (and their time is never read back).
            return f"NULLIF({latest}, {always})"

        always, superseded = "'" + str(_stamp(dialect, ALWAYS)) + "'", q("_superseded_at")
        if dialect.name == "postgresql":
            if keep is not None:
                using = f" USING (SELECT {oid}, max({version}) AS top FROM {history} GROUP BY {oid}) AS m"
                where, params = f"m.{oid} = h.{oid} AND h.{version} <= m.top - {p} AND {kept}", [keep]
            else:
                using, where, params = "", f"h.{q('_superseded_at')} <= {p} AND {kept}", [_stamp(dialect, before)]
            feed = q(table + FEED_SUFFIX)
            (count, horizon, position), = yield query(
                f"WITH d AS (DELETE FROM {history} AS h{using} WHERE {where} "
                f"RETURNING h.{q('_superseded_at')} AS s, h.{q('_tx')} AS tx) "
                f"SELECT count(*), {unrecorded('max(d.s)')}, (SELECT max(f.{q('position')}) FROM {feed} AS f "
                f"WHERE f.{q('tx')} IN (SELECT tx FROM d)) FROM d",
                params,
            )
        else:
            if keep is not None:
                where = (f"h.{version} <= (SELECT max(m.{version}) FROM {history} AS m WHERE m.{oid} = h.{oid}) - {p} "
                         f"AND {kept}")
                params = [keep]
            else:
                where, params = f"h.{q('_superseded_at')} <= {p} AND {kept}", [_stamp(dialect, before)]
            (count, horizon, position), = yield query(
                f"SELECT count(*), {unrecorded(f'max(h.{superseded})')}, max(h.{q('_tx')}) "
                f"FROM {history} AS h WHERE {where}",
                params,
            )
            if count:
                yield execute(f"DELETE FROM {history} AS h WHERE {where}", params)
        if not count:
            return 0
        greatest = "GREATEST" if dialect.name == "postgresql" else "max"
        k = q(HISTORIES)
        yield execute(
            f"INSERT INTO {k} AS k ({q('table_name')}, {q('pruned_before')}, {q('pruned_position')}) "
            f"VALUES ({p}, {p}, {p}) ON CONFLICT ({q('table_name')}) DO UPDATE SET "
            f"{q('pruned_before')} = {greatest}(coalesce(k.{q('pruned_before')}, excluded.{q('pruned_before')}), "
            f"coalesce(excluded.{q('pruned_before')}, k.{q('pruned_before')})), "
            f"{q('pruned_position')} = {greatest}(coalesce(k.{q('pruned_position')}, "
            f"excluded.{q('pruned_position')}), excluded.{q('pruned_position')})",
            (table, horizon, position),
        )
        return int(count)


def _changes(rows: Any) -> list[Change]:
    return list(map(_change, rows))


def _limit(limit: int | None) -> int | None:
    if limit is not None and (type(limit) is not int or limit < 0):
        raise InvalidValueError(f"a feed read's limit must be a non-negative int or None, not {limit!r}")
    return limit


def _prune_args(keep_last: Any, older_than: Any) -> tuple[int | None, datetime.datetime | None]:
    if (keep_last is None) == (older_than is None):
        raise InvalidValueError("prune() takes one of keep_last=<number of versions> or older_than=<datetime>")
    if keep_last is not None:
        if type(keep_last) is not int or keep_last < 1:
            raise InvalidValueError(
                f"keep_last must be an int of at least 1 (an object's latest version is always kept), not {keep_last!r}"
            )
        return keep_last, None
    return None, instant(older_than, "prune(older_than=...)")

