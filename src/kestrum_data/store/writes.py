"""Writes of the object store: saves, deletions and transactions.

:meth:`Writer.write` stores a new version of each object: version 1 and a new id
for an object never saved, else the version after the one the instance was loaded
(or last saved) as. When that version already exists, another writer got there
first: the save raises :class:`ConflictError` and changes nothing; load the object
again and reapply the change. Deleting writes a deletion record as the object's
next version, so a stale instance cannot bring a deleted object back, while the
instance that deleted it may save it again. Every call is one transaction: all its
objects or none, also when the process dies half-way.

Inside a :meth:`Writer.transaction` block each write runs in a savepoint: a write
that fails is undone alone, and the block may catch its error and go on (see
:mod:`~kestrum_data.store.session`). Instances get their new metadata as soon as
their write has run, so that a later write of the same instance in the block
follows on from it; the metadata is put back if the write or the block rolls back.

A write appends its versions to the history. When both aliases name one database,
the history's trigger brings the latest objects' table level in the same statement
(see :mod:`~kestrum_data.store.schema`); a save of one object outside a transaction
is then that one statement. When the default alias and the lakehouse alias name
different databases, a write commits to the history first, with its rows marked
pending, then to the latest objects, then clears the marks. A write cut off in
between is completed the next time a process uses the class; a publication that
fails in this process is retried on the class's next use here.

Each version records when its transaction wrote (one clock reading per transaction)
and the write's note, and the version before it records that time as the end of its
own currency (the trigger does so in one database, the writer otherwise). Its place
in the change feed (see :mod:`~kestrum_data.store.schema`) comes with it: in SQLite
each write takes the next position as it runs (writers take turns); in PostgreSQL
the transaction's last statement gives it its position (:meth:`Writer._feed_plan`),
which a single save outside a transaction does in its one statement.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import logging
from collections import defaultdict
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from operator import itemgetter
from typing import Any

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS
from kestrum_data.store import session
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.collection import paused
from kestrum_data.store.database import (
    AsyncDriver,
    Dialect,
    Driver,
    Plan,
    arun,
    execute,
    execute_many,
    insert_many,
    query,
    run,
    to_completion,
)
from kestrum_data.store.errors import ConflictError, InvalidValueError, SchemaError, UniqueViolationError
from kestrum_data.store.fields import Codec, check_text
from kestrum_data.store.query import Rewrite, compile_rewrite
from kestrum_data.store.schema import ADDRESS, FEED_SUFFIX, HISTORIES, NEVER, StoredClass
from kestrum_data.store.session import Transaction, clock
from kestrum_utils.models.data_models.enums import CoreTypes

#: The history's columns before the field columns, in the order rows hold them.
ROW_COLUMNS = (*ADDRESS, "_is_latest", "_deleted", "_pending", "_saved_at", "_note", "_superseded_at")
FIELDS_AT = len(ROW_COLUMNS)

logger = logging.getLogger(__name__)


@dataclass(slots=True)
class _Batch:
    """One class's objects of one write, encoded."""

    model: type[Any]
    stored: StoredClass
    objects: list[Any]
    ids: list[int | None]
    """Object ids (None for new objects until ids are allocated)."""
    versions: list[int]
    columns: list[list[Any]]
    """The values of each field column, encoded for the history database (a write of one
    object: empty, its values in :attr:`values`)."""
    previous: list[tuple[int, int]]
    expected: dict[int, int]
    deleted: bool
    new: int
    values: Sequence[Any] = ()
    """The encoded field values of a write of one object."""
    rows: list[tuple[Any, ...]] = field(default_factory=list)
    """History rows: :data:`ROW_COLUMNS`, then the field columns (made once the ids are known),
    then, where the writer gives it, the feed position."""
    stamp: tuple[Any, Any, Any] = (None, None, None)
    """The encoded ``_saved_at``, ``_note`` and ``_superseded_at`` of every row."""

    def make_rows(self, pending: bool, position: int | None = None) -> None:
        count = len(self.objects)
        tail = () if position is None else (position,)
        if count == 1:
            deleted = self.deleted
            self.rows = [(self.ids[0], self.versions[0], self.stored.current, not deleted, deleted, pending,
                          *self.stamp, *self.values, *tail)]
            return
        flags = [[self.stored.current] * count, [not self.deleted] * count, [self.deleted] * count, [pending] * count]
        stamps = [[value] * count for value in self.stamp]
        with paused():
            self.rows = list(zip(self.ids, self.versions, *flags, *stamps, *self.columns, *([[position] * count]
                                                                                             if tail else [])))

    def metadata(self) -> Iterator[tuple[Any, dict[str, Any]]]:
        """Each instance with the metadata of the version this batch wrote of it."""
        version = self.stored.current
        for obj, object_id, object_version in zip(self.objects, self.ids, self.versions):
            yield obj, {"object_id": object_id, "object_version": object_version, "class_version": version}


def _conflict(model: type[Any], object_id: int, expected: int, current: int | None) -> ConflictError:
    state = "does not exist" if current is None else f"is at version {current}"
    return ConflictError(
        f"{model.__name__} object {object_id} {state}, not at version {expected} as loaded: "
        "another writer (or another instance of it) saved or deleted it; "
        "load it again and reapply the change"
    )


class Writer:
    """Writes objects to the configured databases, one transaction per call or block."""

    def __init__(self, registry: ClassRegistry) -> None:
        self.registry = registry
        self.latest_db = registry.latest_db
        self.history_db = registry.history_db
        self.shared = registry.shared
        self.ensure = registry.ensure
        self.aensure = registry.aensure
        registry.recover = self._recover
        registry.arecover = self._arecover
        self._never = self.history_db.dialect.codec.encode(CoreTypes.DATETIME.value, NEVER)

    def _recover_plan(self, dialect: Dialect, stored: StoredClass) -> Plan[list[tuple[Any, ...]]]:
        q = dialect.quote
        columns = [*ADDRESS, "_deleted", *stored.columns]
        rows = yield query(
            f"SELECT {', '.join(q(c) for c in columns)} FROM {q(stored.table_name + '__history')} "
            f"WHERE {q('_pending')} = TRUE ORDER BY {q('_object_id')}, {q('_object_version')}"
        )
        return rows

    def _stamp(self, saved_at: Any, note: str | None) -> tuple[Any, Any, Any]:
        """The encoded version columns of a write's rows."""
        codec = self.history_db.dialect.codec
        if note is not None:
            if type(note) is not str:
                raise InvalidValueError(f"a note must be a str, not {type(note).__name__}")
            check_text(note)
            note = codec.encode(CoreTypes.STRING.value, note)
        stamp = CoreTypes.DATETIME.value
        return codec.encode(stamp, saved_at), note, self._never

    def _batches(self, objects: Sequence[Any], deleted: bool, stored_of: Any,
                 stamp: tuple[Any, Any, Any]) -> list[_Batch]:
        batches = self._grouped(objects, deleted, stored_of)
        for batch in batches:
            batch.stamp = stamp
        return batches

    def _grouped(self, objects: Sequence[Any], deleted: bool, stored_of: Any) -> list[_Batch]:
        if len(objects) == 1:
            model = type(objects[0])
            return [self._batch(model, list(objects), deleted, stored_of(model))]
        if len(set(map(id, objects))) != len(objects):
            seen: set[int] = set()
            for obj in objects:
                if id(obj) in seen:
                    raise InvalidValueError(f"{type(obj).__name__} object appears twice in one write")
                seen.add(id(obj))
        models = set(map(type, objects))
        groups: dict[type[Any], list[Any]] = {models.pop(): list(objects)} if len(models) == 1 else defaultdict(list)
        if models:
            for obj in objects:
                groups[type(obj)].append(obj)
        with paused():
            return [self._batch(model, items, deleted, stored_of(model)) for model, items in groups.items()]

    def _batch(self, model: type[Any], objects: list[Any], deleted: bool, stored: StoredClass) -> _Batch:
        found = [obj.metadata for obj in objects]
        ids: list[int | None]
        previous: list[tuple[int, int]] = []
        expected: dict[int, int] = {}
        if not deleted and not any(found):  # new objects only
            ids, versions, new = [None] * len(objects), [1] * len(objects), len(objects)
        else:
            ids, versions, new = [], [], 0
            for metadata in found:
                if metadata:
                    object_id, version = metadata["object_id"], metadata["object_version"]
                    if object_id in expected:
                        raise InvalidValueError(
                            f"{model.__name__} object {object_id} appears twice in one write, as two different "
                            "instances of it: write it through one instance"
                        )
                    expected[object_id] = version
                    previous.append((object_id, version))
                    ids.append(object_id)
                    versions.append(version + 1)
                elif deleted:
                    raise InvalidValueError(f"{model.__name__} object is not saved: there is nothing to delete")
                else:
                    ids.append(None)
                    versions.append(1)
                    new += 1
        encoding = self._encoding(stored)
        codec = self.history_db.dialect.codec
        if len(objects) == 1:  # value by value
            if deleted:
                values: Sequence[Any] = [None] * len(encoding.kinds)
            else:
                try:
                    values = encoding.one(objects[0].__dict__, codec)
                except KeyError as error:
                    raise InvalidValueError(f"{model.__name__} object has no value for field {error}") from None
            return _Batch(model, stored, objects, ids, versions, [], previous, expected, deleted, new, values)
        if deleted:
            columns = [[None] * len(objects) for _ in encoding.kinds]
        else:
            try:
                values = [encoding.get(obj.__dict__) for obj in objects]
            except KeyError as error:
                raise InvalidValueError(f"{model.__name__} object has no value for field {error}") from None
            # Column by column: one pass in C finds the value types of a column; only a
            # column holding other types than the database takes as they are is encoded.
            columns = [list(column) for column in zip(*values)] or [[] for _ in encoding.kinds]
            for index, kind in enumerate(encoding.kinds):
                column = columns[index]
                if not set(map(type, column)) <= encoding.stored_as_is[index]:
                    columns[index] = codec.encode_all(kind, column)
        return _Batch(model, stored, objects, ids, versions, columns, previous, expected, deleted, new)

    def _encoding(self, stored: StoredClass) -> _Encoding:
        found = stored.derived.get("encoding")
        if found is None:
            found = stored.derived["encoding"] = _Encoding.of(self.history_db.dialect.codec, stored)
        return found  # type: ignore[no-any-return]

    def _write_plan(self, batch: _Batch) -> Plan[None]:
        """Plan: append a batch's versions to the history.

        In one database with the latest objects, the history's trigger brings those level
        within the same statements; otherwise the versions before them are marked as no
        longer the latest here, and the batch is published after the commit.
        """
        if len(batch.objects) == 1:
            yield from self._one_plan(batch)
        else:
            yield from self._many_plan(batch)
        if batch.previous and not self.shared:
            dialect = self.history_db.dialect
            q, p = dialect.quote, dialect.placeholder
            saved_at = batch.stamp[0]
            yield execute_many(
                f"UPDATE {q(batch.stored.table_name + '__history')} SET {q('_is_latest')} = FALSE, "
                f"{q('_superseded_at')} = {p} WHERE {q('_object_id')} = {p} AND {q('_object_version')} = {p}",
                [(saved_at, object_id, version) for object_id, version in batch.previous],
            )

    def _many_plan(self, batch: _Batch) -> Plan[None]:
        dialect = self.history_db.dialect
        q = dialect.quote
        history = q(batch.stored.table_name + "__history")
        if batch.expected:
            # Each object must still be at the version it was loaded (or saved) as.
            found = yield query(
                f"SELECT {q('_object_id')}, max({q('_object_version')}) FROM {history} "
                f"WHERE {dialect.any_of(q('_object_id'))} GROUP BY {q('_object_id')}",
                (dialect.list_param(sorted(batch.expected)),),
            )
            versions = {int(object_id): int(version) for object_id, version in found}
            for object_id, expected in batch.expected.items():
                current = versions.get(object_id)
                if current != expected:
                    raise _conflict(batch.model, object_id, expected, current)
        position = None
        if dialect.name == "postgresql":
            if batch.new:
                (ids,), = yield query(  # one array: far less to decode than one row per id
                    "SELECT array_agg(nextval(%s)) FROM generate_series(1, %s)",
                    (q(batch.stored.table_name + "__ids"), batch.new),
                )
        else:
            # The next feed position (writers take turns), and the ids after the highest.
            (top, last), = yield query(
                f"SELECT (SELECT coalesce(max({q('_object_id')}), 0) FROM {history}), "
                f"(SELECT coalesce(max({q('_tx')}), 0) FROM {history})"
            )
            ids, position = list(range(top + 1, top + 1 + batch.new)), last + 1
        if batch.new:
            fresh = iter(ids)
            batch.ids = [next(fresh) if object_id is None else object_id for object_id in batch.ids]
        batch.make_rows(not self.shared, position)
        yield insert_many(history, self._statements(batch.stored).columns, batch.rows)

    def _one_plan(self, batch: _Batch, *, alone: bool = False) -> Plan[None]:
        """Plan: one object's version in one statement, which allocates a new object's id or
        checks that an object is still at the version it was loaded (or saved) as.

        ``alone``: the statement is a transaction of its own, which also gives the version
        its feed position (in SQLite every statement does).
        """
        statements = self._statements(batch.stored)
        batch.make_rows(not self.shared)
        row = batch.rows[0]
        feed = statements.feed if alone else ()
        if batch.new:
            new = statements.new_alone if alone else statements.new
            if statements.sequence is None:
                (object_id,), = yield query(new, row[1:])
            else:
                (object_id,), = yield query(new, (statements.sequence, *row[1:], *feed))
            batch.ids[0] = object_id
            batch.rows[0] = (object_id, *row[1:])
            return
        object_id, expected = batch.previous[0]
        if alone and feed:
            written = len((yield query(statements.next_alone, (*row, object_id, expected, *feed))))
        else:
            written = yield execute(statements.next, (*row, object_id, expected))
        if written != 1:
            found = yield query(statements.current, (object_id,))
            raise _conflict(batch.model, object_id, expected, found[0][0] if found else None)

    def _statements(self, stored: StoredClass) -> _Statements:
        """The statements writing one class's history rows (made once per stored class)."""
        found = stored.derived.get("writes")
        if found is None:
            found = stored.derived["writes"] = _Statements.of(self.history_db.dialect, stored)
        return found  # type: ignore[no-any-return]

    def _latest_plan(self, stored: StoredClass, rows: Iterable[Sequence[Any]]) -> Plan[None]:
        """Plan: bring a separate latest-objects table level with history rows (address, deleted, columns)."""
        dialect = self.latest_db.dialect
        q, p = dialect.quote, dialect.placeholder
        table = q(stored.table_name)
        columns = [q(c) for c in (*ADDRESS, *stored.columns)]
        upserts, deletions = [], []
        history_codec, latest_codec = self.history_db.dialect.codec, dialect.codec
        if history_codec is not latest_codec:
            kinds = list(stored.columns.values())
            rows = [
                [*row[:4], *(latest_codec.encode(kind, history_codec.to_python(kind, value))
                             for kind, value in zip(kinds, row[4:]))]
                for row in rows
            ]
        for row in rows:
            if row[3]:
                deletions.append((row[0], row[1]))
            else:
                upserts.append([*row[:3], *row[4:]])
        if upserts:
            yield execute_many(dialect.upsert_latest(table, columns), upserts)
        if deletions:
            yield execute_many(
                f"DELETE FROM {table} WHERE {q('_object_id')} = {p} AND {q('_object_version')} < {p}", deletions
            )

    def _clear_pending_plan(self, stored: StoredClass, keys: Sequence[tuple[int, int]]) -> Plan[None]:
        dialect = self.history_db.dialect
        q, p = dialect.quote, dialect.placeholder
        yield execute_many(
            f"UPDATE {q(stored.table_name + '__history')} SET {q('_pending')} = FALSE "
            f"WHERE {q('_object_id')} = {p} AND {q('_object_version')} = {p}",
            keys,
        )

    def _latest_rows(self, batch: _Batch) -> list[list[Any]]:
        # Rows of the latest table: the address, the deletion flag, then every column
        # (those of other class versions empty).
        index = {field_def.column: FIELDS_AT + i for i, field_def in enumerate(batch.stored.fields.values())}
        order = [index.get(column) for column in batch.stored.columns]
        with paused():
            return [[*row[:3], row[4], *(None if i is None else row[i] for i in order)] for row in batch.rows]

    def _applied(self, tx: Transaction, batches: list[_Batch]) -> None:
        """After a write's statements ran: its instances' new metadata (provisional), its publication,
        its feed position."""
        for batch in batches:
            tx.written.add(batch.stored.table_name)
            if len(batch.objects) == 1:
                tx.set_metadata(batch.metadata())
                continue
            with paused():
                tx.set_metadata(batch.metadata())
        if not self.shared:
            tx.pending.latest.extend(batches)

    # A write of one object outside a transaction, with both aliases on one database, is
    # one statement, which commits by itself: no transaction block, no savepoint, nothing
    # to publish; the instance gets its metadata once the statement has run. It runs on a
    # connection in autocommit mode (SQLite's is the thread's own: when a transaction is
    # open on it, the write takes the way of any other, which refuses to join it).

    def _write_alone(self, obj: Any, deleted: bool, note: str | None) -> bool:
        """Write one object in one statement; False when this connection cannot."""
        model = type(obj)
        batch = self._batch(model, [obj], deleted, self.ensure(model, self.history_db))
        batch.stamp = self._stamp(clock(), note)
        done = False
        try:
            with self.history_db.connect() as driver:
                if driver.in_transaction:
                    return False
                run(self._one_plan(batch, alone=True), driver)
                done = True
        finally:
            if done:  # also when interrupted while the connection is given back
                _give(batch)
        return True

    async def _awrite_alone(self, obj: Any, deleted: bool, note: str | None) -> bool:
        model = type(obj)
        batch = self._batch(model, [obj], deleted, await self.aensure(model, self.history_db))
        batch.stamp = self._stamp(clock(), note)
        done = False
        try:
            async with self.history_db.aconnect() as driver:
                if driver.in_transaction:
                    return False
                # Once sent, the statement is awaited to its end, and a cancellation raised
                # once its outcome is on the instance.
                _, cancelled = await to_completion(arun(self._one_plan(batch, alone=True), driver))
                done = True
        finally:
            if done:  # also when cancelled while the connection is given back
                _give(batch)
        if cancelled:
            raise asyncio.CancelledError
        return True

    def _write(self, tx: Transaction, objects: Sequence[Any], deleted: bool, note: str | None) -> None:
        stamp = self._stamp(tx.saved_at, tx.note if note is None else note)
        batches = self._batches(objects, deleted, lambda model: self.ensure(model, self.history_db), stamp)
        for batch in batches:
            run(self._write_plan(batch), tx.driver)  # type: ignore[arg-type]
        self._applied(tx, batches)

    async def _awrite(self, tx: Transaction, objects: Sequence[Any], deleted: bool, note: str | None) -> None:
        stamp = self._stamp(tx.saved_at, tx.note if note is None else note)
        stored = {}
        for model in {type(obj): None for obj in objects}:
            stored[model] = await self.aensure(model, self.history_db)
        batches = self._batches(objects, deleted, stored.__getitem__, stamp)
        for batch in batches:
            await arun(self._write_plan(batch), tx.driver)  # type: ignore[arg-type]
        self._applied(tx, batches)

    def write(self, objects: Sequence[Any], *, deleted: bool = False, note: str | None = None) -> None:
        """Save (or delete) objects in one transaction: a new one, or a savepoint of the current one.

        ``note``: the note of the versions written (by default, the transaction's).
        """
        if not objects:
            return
        tx = session.current_transaction()
        if tx is None:
            if len(objects) == 1 and self.shared and self._write_alone(objects[0], deleted, note):
                return
            with self.transaction() as tx:
                self._write(tx, objects, deleted, note)
            return
        if not isinstance(tx.driver, Driver):
            raise RuntimeError("a synchronous write cannot join an asynchronous transaction")
        with tx.savepoint():
            self._write(tx, objects, deleted, note)

    async def awrite(self, objects: Sequence[Any], *, deleted: bool = False, note: str | None = None) -> None:
        """Asynchronous :meth:`write`."""
        if not objects:
            return
        tx = session.current_transaction()
        if tx is None:
            if len(objects) == 1 and self.shared and await self._awrite_alone(objects[0], deleted, note):
                return
            async with self.atransaction() as tx:
                await self._awrite(tx, objects, deleted, note)
            return
        if not isinstance(tx.driver, AsyncDriver):
            raise RuntimeError("an asynchronous write cannot join a synchronous transaction")
        async with tx.asavepoint():
            await self._awrite(tx, objects, deleted, note)

    def save(self, objects: Sequence[Any], note: str | None = None) -> None:
        try:
            self.write(objects, note=note)
        except UniqueViolationError as error:
            raise self._unique_violation(error, objects) from error

    async def asave(self, objects: Sequence[Any], note: str | None = None) -> None:
        try:
            await self.awrite(objects, note=note)
        except UniqueViolationError as error:
            raise self._unique_violation(error, objects) from error

    def delete(self, objects: Sequence[Any], note: str | None = None) -> None:
        self.write(objects, deleted=True, note=note)

    async def adelete(self, objects: Sequence[Any], note: str | None = None) -> None:
        await self.awrite(objects, deleted=True, note=note)

    # -- the change feed (PostgreSQL) ------------------------------------------------

    def _feed_plan(self, tx: Transaction) -> Plan[None]:
        """Plan: the transaction's feed position in each history it wrote, taken last.

        Each counter row stays locked until the transaction commits, so a later position
        always belongs to a later commit. Histories in name order: two transactions
        writing the same ones never wait for each other crosswise.
        """
        if self.history_db.dialect.name != "postgresql":
            return
        q = self.history_db.dialect.quote
        for table in sorted(tx.written):
            yield execute(f"WITH c AS ({_next_position(q, 'VALUES (%s, 1)')}) {_feed_entry(q, table)}", (table,))

    # -- writes by query -----------------------------------------------------------

    def rewrite(self, queryset: Any, values: Mapping[str, Any] | None) -> int:
        """Append a version of every object a query set selects among the latest objects: with
        ``values`` (fields by name) set, or (``values`` None) a deletion. One statement in one
        transaction (a savepoint inside one), built from the query: no object is loaded.
        Returns how many objects got a version.

        When both aliases use one database, the history's trigger brings the latest objects
        level in the same statement; otherwise the statement returns the rows it wrote, which
        are published to the latest objects' database after the commit, as any write's are.
        """
        model = self._rewritten(queryset, values)
        tx = session.current_transaction()
        try:
            if tx is None:
                with self.transaction() as tx:
                    return self._rewrite(tx, model, queryset, values)
            if not isinstance(tx.driver, Driver):
                raise RuntimeError("a synchronous write cannot join an asynchronous transaction")
            with tx.savepoint():
                return self._rewrite(tx, model, queryset, values)
        except UniqueViolationError as error:
            raise self._unique_violation(error, [], model) from error

    async def arewrite(self, queryset: Any, values: Mapping[str, Any] | None) -> int:
        """Asynchronous :meth:`rewrite`."""
        model = self._rewritten(queryset, values)
        tx = session.current_transaction()
        try:
            if tx is None:
                async with self.atransaction() as tx:
                    return await self._arewrite(tx, model, queryset, values)
            if not isinstance(tx.driver, AsyncDriver):
                raise RuntimeError("an asynchronous write cannot join a synchronous transaction")
            async with tx.asavepoint():
                return await self._arewrite(tx, model, queryset, values)
        except UniqueViolationError as error:
            raise self._unique_violation(error, [], model) from error

    @staticmethod
    def _rewritten(queryset: Any, values: Mapping[str, Any] | None) -> type[Any]:
        from kestrum_data.store.reads import layout_class

        using = queryset.get_using()
        if using != DEFAULT_DB_ALIAS:
            raise InvalidValueError(
                f"update() and delete() change the latest objects (database alias {DEFAULT_DB_ALIAS!r}), "
                f"not those of alias {using!r}"
            )
        if values is not None and not values:
            raise InvalidValueError("update() needs at least one field=value")
        return layout_class(queryset)

    def _rewrite_plan(
        self, model: type[Any], rewrite: Rewrite, stored: StoredClass, saved_at: Any
    ) -> Plan[tuple[int, list[Any]]]:
        """Plan: run a rewrite; the number of objects written, and the rows to publish (split layout)."""
        if rewrite.check is not None:
            found = yield query(*rewrite.check)
            if found:
                raise SchemaError(
                    f"{model.__name__} object {found[0][0]} was stored by a definition of {model.__name__} this one "
                    "cannot read: update() writes no version of it; query it to get it as a LegacyModel and "
                    "upgrade() it, or narrow the query"
                )
        if self.shared:  # the trigger brings the latest objects level
            count = yield execute(rewrite.sql, rewrite.params)
            return count, []
        rows = yield query(rewrite.sql, rewrite.params)
        if rows:
            dialect = self.history_db.dialect
            q, p = dialect.quote, dialect.placeholder
            yield execute_many(
                f"UPDATE {q(stored.table_name + '__history')} SET {q('_is_latest')} = FALSE, "
                f"{q('_superseded_at')} = {p} WHERE {q('_object_id')} = {p} AND {q('_object_version')} = {p}",
                [(saved_at, row[0], row[1] - 1) for row in rows],
            )
        return len(rows), rows

    def _rewritten_rows(
        self, tx: Transaction, model: type[Any], stored: StoredClass, rows: list[Any], deleted: bool
    ) -> None:
        # The rows the statement returned, published after the commit as a batch's rows are
        # (its values encoded for the history database, as the batch's own are).
        codec = self.history_db.dialect.codec
        kinds = [field_def.kind for field_def in stored.fields.values()]
        encoded = [
            (*row[:FIELDS_AT],
             *(codec.encode(kind, codec.to_python(kind, value)) for kind, value in zip(kinds, row[FIELDS_AT:])))
            for row in rows
        ]
        self._applied(tx, [_Batch(model, stored, [], [], [], [], [], {}, deleted, 0, rows=encoded)])

    def _rewrite(self, tx: Transaction, model: type[Any], queryset: Any, values: Mapping[str, Any] | None) -> int:
        from kestrum_data.store.reads import compiled

        stored = self.ensure(model, self.history_db)
        history = not self.shared
        stamp = self._stamp(tx.saved_at, tx.note)
        rewrite = compiled(
            self.registry, self.history_db, history, model, stored,
            lambda found: compile_rewrite(found.source, queryset, values, pending=history, stamp=stamp[:2]),
        )
        tx.written.add(stored.table_name)
        count, rows = run(self._rewrite_plan(model, rewrite, stored, stamp[0]), tx.driver)  # type: ignore[arg-type]
        if rows:
            self._rewritten_rows(tx, model, stored, rows, values is None)
        return int(count)

    async def _arewrite(
        self, tx: Transaction, model: type[Any], queryset: Any, values: Mapping[str, Any] | None
    ) -> int:
        from kestrum_data.store.reads import acompiled

        stored = await self.aensure(model, self.history_db)
        history = not self.shared
        stamp = self._stamp(tx.saved_at, tx.note)
        rewrite = await acompiled(
            self.registry, self.history_db, history, model, stored,
            lambda found: compile_rewrite(found.source, queryset, values, pending=history, stamp=stamp[:2]),
        )
        tx.written.add(stored.table_name)
        plan = self._rewrite_plan(model, rewrite, stored, stamp[0])
        count, rows = await arun(plan, tx.driver)  # type: ignore[arg-type]
        if rows:
            self._rewritten_rows(tx, model, stored, rows, values is None)
        return int(count)

    # -- serialising read-then-write ------------------------------------------------

    def lock(self, key: str) -> None:
        """Inside a transaction: wait until no other transaction holds ``key``, then hold it until
        this one ends. (SQLite needs none: a write transaction holds the database's write lock.)"""
        tx = session.current_transaction()
        if tx is not None and self.history_db.dialect.name == "postgresql":
            run(_lock_plan(key), tx.driver)  # type: ignore[arg-type]

    async def alock(self, key: str) -> None:
        """Asynchronous :meth:`lock`."""
        tx = session.current_transaction()
        if tx is not None and self.history_db.dialect.name == "postgresql":
            await arun(_lock_plan(key), tx.driver)  # type: ignore[arg-type]

    def _unique_violation(
        self, error: UniqueViolationError, objects: Sequence[Any], model: type[Any] | None = None
    ) -> UniqueViolationError:
        """The error of a write that would make two latest objects share values of unique fields,
        naming the class and the fields (and, for one object, its values)."""
        tx = session.current_transaction()
        models = [model] if model is not None else list(dict.fromkeys(map(type, objects)))
        for cls in models:
            stored = self.registry.cached(cls, self.history_db) or (tx.registered(cls, self.history_db) if tx else None)
            if stored is None:
                continue
            for name, columns, fields in stored.derived.get("unique", ()):
                spelled = ", ".join(f"{stored.table_name}.{column}" for column in columns)
                if error.constraint not in (name, spelled):
                    continue
                if len(objects) == 1:
                    shown = ", ".join(f"{field}={getattr(objects[0], field, None)!r}" for field in fields)
                    what = f"another {cls.__name__} object already has {shown}"
                else:
                    what = f"two {cls.__name__} objects would have the same {', '.join(fields)}"
                return UniqueViolationError(
                    f"{what}: {cls.__name__}.__unique__ makes ({', '.join(fields)}) unique among the latest "
                    "objects; nothing of the write was stored",
                    cls.__name__, fields, error.constraint,
                )
        return error

    @contextlib.contextmanager
    def _noted(self, tx: Transaction, note: str | None) -> Iterator[None]:
        if note is None:
            yield
            return
        before, tx.note = tx.note, note
        try:
            yield
        finally:
            tx.note = before

    @contextlib.contextmanager
    def transaction(self, note: str | None = None) -> Iterator[Transaction]:
        """Group writes into one transaction: all of them are stored, or (on an error) none.

        A transaction block inside another is a savepoint of it: when it raises, what it
        wrote is undone and the outer transaction goes on. Queries inside a transaction
        see its writes. A write that fails inside it is undone alone (the block may catch
        its error and go on); any other failed statement makes the block raise at its
        end. Never does a block end normally with its writes silently rolled back.
        """
        if note is not None and type(note) is not str:
            raise InvalidValueError(f"a note must be a str, not {type(note).__name__}")
        current = session.current_transaction()
        if current is not None:
            if not isinstance(current.driver, Driver):
                raise RuntimeError("a synchronous transaction cannot join an asynchronous one")
            with current.savepoint(), self._noted(current, note):
                yield current
            return
        driver: Driver | None = None
        tx: Transaction | None = None
        try:
            with self.history_db.transaction() as driver:
                tx = Transaction(self, driver)
                tx.note = note
                token = session.enter(tx)
                try:
                    yield tx
                    tx.check(ending=True)
                    if tx.written:
                        run(self._feed_plan(tx), tx.driver)  # type: ignore[arg-type]
                finally:
                    session.leave(token)
        except BaseException:
            if tx is not None:
                if driver is not None and driver.committed:  # interrupted after COMMIT: it stands
                    self._committed(tx)
                else:
                    tx.undo()
            raise
        assert tx is not None
        self._committed(tx)

    @contextlib.asynccontextmanager
    async def atransaction(self, note: str | None = None) -> AsyncIterator[Transaction]:
        """Asynchronous :meth:`transaction`.

        A cancellation that lands while COMMIT is in flight waits for its outcome, then
        is raised: the instances of a committed transaction keep their new metadata
        (their objects are stored), those of a rolled-back one their earlier metadata.
        """
        if note is not None and type(note) is not str:
            raise InvalidValueError(f"a note must be a str, not {type(note).__name__}")
        current = session.current_transaction()
        if current is not None:
            if not isinstance(current.driver, AsyncDriver):
                raise RuntimeError("an asynchronous transaction cannot join a synchronous one")
            async with current.asavepoint():
                with self._noted(current, note):
                    yield current
            return
        driver: AsyncDriver | None = None
        tx: Transaction | None = None
        cancelled = False
        try:
            async with self.history_db.atransaction() as driver:
                tx = Transaction(self, driver)
                tx.note = note
                token = session.enter(tx)
                try:
                    yield tx
                    tx.check(ending=True)
                    if tx.written:
                        # Part of committing: a cancellation landing meanwhile waits for the commit.
                        _, cancelled = await to_completion(arun(self._feed_plan(tx), tx.driver))  # type: ignore[arg-type]
                finally:
                    session.leave(token)
            if cancelled:
                raise asyncio.CancelledError
        except BaseException:
            if tx is not None:
                if driver is not None and driver.committed:  # cancelled while committing: it stands
                    self._published(tx)
                    self._forget_latest(tx)
                else:
                    tx.undo()
            raise
        assert tx is not None
        self._published(tx)
        try:
            for batch in tx.pending.latest:
                await self._apublish_latest(batch)
        except BaseException:  # cancelled: what is left is recovered on the next use
            self._forget_latest(tx)
            raise

    # -- after commit --------------------------------------------------------------

    def _published(self, tx: Transaction) -> None:
        """Classes the transaction registered in the history become known to the process."""
        for model, db, stored in tx.pending.ensured:
            if db is self.history_db:
                self.registry.publish(model, db, stored)
        # Registrations in a separate latest-objects database were left unpublished: their
        # recovery of pending writes runs on their first use after the transaction.

    def _committed(self, tx: Transaction) -> None:
        self._published(tx)
        try:
            for batch in tx.pending.latest:
                self._publish_latest(batch)
        except BaseException:  # interrupted: what is left is recovered on the next use
            self._forget_latest(tx)
            raise

    # A publication that fails leaves the write stored, its history rows marked pending.
    # Forgetting the class in the latest database makes its next use in this process
    # recover them (ClassRegistry.ensure recovers before the class is known there again),
    # so the write reports success: its instances have their metadata.

    def _forget_latest(self, tx: Transaction) -> None:
        for batch in tx.pending.latest:
            self.registry.forget(batch.model, self.latest_db)

    def _publication_failed(self, batch: _Batch, error: Exception) -> None:
        self.registry.forget(batch.model, self.latest_db)
        logger.warning(
            "%s objects were stored in the history, but bringing the latest objects level failed; "
            "it is retried on the class's next use: %s", batch.model.__name__, error,
        )

    def _publish_latest(self, batch: _Batch) -> None:
        try:
            stored = self.ensure(batch.model, self.latest_db)
            with self.latest_db.transaction() as driver:
                run(self._latest_plan(stored, self._latest_rows(batch)), driver)
            with self.history_db.transaction() as driver:
                run(self._clear_pending_plan(stored, [(row[0], row[1]) for row in batch.rows]), driver)
        except Exception as error:
            self._publication_failed(batch, error)

    async def _apublish_latest(self, batch: _Batch) -> None:
        try:
            stored = await self.aensure(batch.model, self.latest_db)
            async with self.latest_db.atransaction() as driver:
                await arun(self._latest_plan(stored, self._latest_rows(batch)), driver)
            async with self.history_db.atransaction() as driver:
                await arun(self._clear_pending_plan(stored, [(row[0], row[1]) for row in batch.rows]), driver)
        except Exception as error:
            self._publication_failed(batch, error)

    def _recover(self, model: type[Any], stored: StoredClass) -> None:
        authority = self.registry.cached(model, self.history_db) or stored
        with self.history_db.connect() as driver:
            rows = run(self._recover_plan(self.history_db.dialect, authority), driver)
        if rows:
            with self.latest_db.transaction() as driver:
                run(self._latest_plan(stored, rows), driver)
            with self.history_db.transaction() as driver:
                run(self._clear_pending_plan(stored, [(row[0], row[1]) for row in rows]), driver)

    async def _arecover(self, model: type[Any], stored: StoredClass) -> None:
        authority = self.registry.cached(model, self.history_db) or stored
        async with self.history_db.aconnect() as driver:
            rows = await arun(self._recover_plan(self.history_db.dialect, authority), driver)
        if rows:
            async with self.latest_db.atransaction() as driver:
                await arun(self._latest_plan(stored, rows), driver)
            async with self.history_db.atransaction() as driver:
                await arun(self._clear_pending_plan(stored, [(row[0], row[1]) for row in rows]), driver)


@dataclass(frozen=True, slots=True)
class _Encoding:
    """How the field values of one class version become history column values."""

    get: Callable[[dict[str, Any]], tuple[Any, ...]]
    """The field values of an instance's ``__dict__``, in column order."""
    kinds: tuple[str, ...]
    stored_as_is: tuple[frozenset[type], ...]
    """Per column, the value types stored without encoding (``None`` included)."""

    @classmethod
    def of(cls, codec: Codec, stored: StoredClass) -> _Encoding:
        names = list(stored.fields)
        get: Any = itemgetter(*names) if len(names) > 1 else lambda values: tuple(values[n] for n in names)
        kinds = tuple(field_def.kind for field_def in stored.fields.values())
        as_is = tuple(frozenset({type(None), *codec.pass_through.get(kind, ())}) for kind in kinds)
        return cls(get, kinds, as_is)

    def one(self, values: dict[str, Any], codec: Codec) -> list[Any]:
        """The encoded field values of one instance's ``__dict__``."""
        return [
            value if type(value) in as_is else codec.encode(kind, value)
            for value, as_is, kind in zip(self.get(values), self.stored_as_is, self.kinds)
        ]


def _next_position(q: Callable[[str], str], source: str) -> str:
    """PostgreSQL: count up a history's feed position (its row is created at 1); ``source``
    gives (table name, 1) when a position is due. The row stays locked until commit."""
    k = q(HISTORIES)
    return (
        f"INSERT INTO {k} AS k ({q('table_name')}, {q('position')}) {source} ON CONFLICT ({q('table_name')}) "
        f"DO UPDATE SET {q('position')} = k.{q('position')} + 1 RETURNING {q('position')}"
    )


def _feed_entry(q: Callable[[str], str], table: str) -> str:
    """PostgreSQL: the transaction at the position counted up in ``c``, in the history's feed."""
    return (
        f"INSERT INTO {q(table + FEED_SUFFIX)} ({q('position')}, {q('tx')}) "
        f"SELECT {q('position')}, pg_current_xact_id() FROM c"
    )


def _lock_plan(key: str) -> Plan[None]:
    # A transaction-scoped advisory lock on 64 bits of the key's digest.
    number = int.from_bytes(hashlib.sha256(key.encode()).digest()[:8], "big", signed=True)
    yield query("SELECT pg_advisory_xact_lock(%s)", (number,))


def _give(batch: _Batch) -> None:
    """Give a committed batch's instances their new metadata."""
    for obj, metadata in batch.metadata():
        obj.__dict__["metadata"] = metadata


@dataclass(frozen=True, slots=True)
class _Statements:
    """The SQL writing history rows of one class version."""

    columns: list[str]
    """The history's columns in the order of a batch's rows: :data:`ROW_COLUMNS`, the
    version's field columns, and in SQLite the feed position."""
    new: str
    """Insert of a new object's first version, allocating its id; returns the id."""
    sequence: str | None
    """The id sequence (PostgreSQL), the first parameter of :attr:`new`."""
    next: str
    """Insert of a row (id first) only when its object is at the version given by the
    two last parameters (its id, the version); changes no row otherwise."""
    current: str
    """The newest version of an object, or NULL (one parameter: its id)."""
    new_alone: str
    """:attr:`new` as a transaction of its own: with the feed position (PostgreSQL)."""
    next_alone: str
    """:attr:`next` as a transaction of its own; returns the row written (PostgreSQL)."""
    feed: tuple[Any, ...]
    """The parameters the ``_alone`` statements take after the others."""

    @classmethod
    def of(cls, dialect: Dialect, stored: StoredClass) -> _Statements:
        q, p = dialect.quote, dialect.placeholder
        history = q(stored.table_name + "__history")
        stamp = CoreTypes.DATETIME.value
        kinds = (["integer"] * 3 + ["boolean"] * 3 + [stamp, CoreTypes.STRING.value, stamp]
                 + [field_def.kind for field_def in stored.fields.values()])
        columns = [q(c) for c in ROW_COLUMNS] + [q(field_def.column) for field_def in stored.fields.values()]
        oid, version = q("_object_id"), q("_object_version")
        current = f"SELECT max({version}) FROM {history} WHERE {oid} = {p}"
        if dialect.name == "postgresql":
            # The feed position comes with the transaction (its id: the column's default).
            listed = ", ".join(columns)
            # A SELECT list gives its parameters no type of their own: each is cast to its column's.
            marks = [f"CAST(%s AS {dialect.column_types[kind]})" for kind in kinds]
            new = f"INSERT INTO {history} ({listed}) VALUES (nextval(%s), {', '.join(['%s'] * (len(columns) - 1))})"
            next_row = f"INSERT INTO {history} ({listed}) SELECT {', '.join(marks)} WHERE ({current}) = {p}"
            feed = f"c AS ({_next_position(q, f'SELECT %s, 1 FROM h')}), f AS ({_feed_entry(q, stored.table_name)})"
            return cls(
                columns,
                f"{new} RETURNING {oid}",
                q(stored.table_name + "__ids"),
                next_row,
                current,
                f"WITH h AS ({new} RETURNING {oid}), {feed} SELECT {oid} FROM h",
                f"WITH h AS ({next_row} RETURNING {oid}), {feed} SELECT {oid} FROM h",
                (stored.table_name,),
            )
        # Each statement takes the next feed position (writers take turns).
        listed = ", ".join([*columns, q("_tx")])
        position = f"(SELECT coalesce(max({q('_tx')}), 0) + 1 FROM {history})"
        marks = ["?"] * len(columns)
        new = (
            f"INSERT INTO {history} ({listed}) SELECT coalesce(max({oid}), 0) + 1, {', '.join(marks[1:])}, "
            f"{position} FROM {history} RETURNING {oid}"
        )
        next_row = f"INSERT INTO {history} ({listed}) SELECT {', '.join(marks)}, {position} WHERE ({current}) = {p}"
        return cls([*columns, q("_tx")], new, None, next_row, current, new, next_row, ())
