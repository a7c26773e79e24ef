"""The versioned object store: reads for the executors, writes for the models.

Writes. :meth:`Storage.save` stores a new version of each object: version 1 and a
new id for an object never saved, else the version after the one the instance was
loaded (or last saved) as. When that version already exists, another writer got
there first: the save raises :class:`ConflictError` and changes nothing; load the
object again and reapply the change. Deleting writes a deletion record as the
object's next version, so a stale instance cannot bring a deleted object back,
while the instance that deleted it may save it again. Every call is one
transaction: all its objects or none, also when the process dies half-way.

When the default alias and the lakehouse alias name different databases, a write
commits to the history first, with its rows marked pending, then to the latest
objects, then clears the marks; a write cut off in between is completed the next
time a process uses the class.
"""

from __future__ import annotations

import atexit
import contextlib
import contextvars
import threading
import weakref
from collections import defaultdict
from collections.abc import AsyncIterator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from operator import itemgetter
from typing import Any

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import DatabaseURL, configuration_generation, database_url
from kestrum_data.store.database import (
    AsyncDriver,
    Database,
    Dialect,
    Driver,
    Plan,
    arun,
    execute_many,
    insert_many,
    query,
    run,
)
from kestrum_data.store.errors import ConflictError, InvalidValueError, UnknownFieldError
from kestrum_data.store.fields import RELATION, ModelFields, describe
from kestrum_data.store.query import RowPlans, Source, UnknownVersion, build_rows, compile_count, compile_select
from kestrum_data.store.schema import ADDRESS, StoredClass, create_tables, index_fields, register
from kestrum_glue import Data

_databases: dict[DatabaseURL, Database] = {}
_databases_lock = threading.Lock()


def open_database(url: DatabaseURL) -> Database:
    """The process's :class:`Database` for ``url`` (one per URL, shared by all aliases naming it)."""
    with _databases_lock:
        db = _databases.get(url)
        if db is None:
            if url.kind == "sqlite":
                from kestrum_data.store.sqlite import SQLiteDatabase

                db = SQLiteDatabase(url)
            else:
                from kestrum_data.store.postgres import PostgresDatabase

                db = PostgresDatabase(url)
            _databases[url] = db
        return db


def close_databases() -> None:
    """Close every connection this process holds to the store's databases."""
    with _databases_lock:
        dbs = list(_databases.values())
        _databases.clear()
    for db in dbs:
        db.close()


# Closing at exit lets SQLite fold its write-ahead log back into the database file.
atexit.register(close_databases)


def table_of(model: type[Any]) -> str:
    return getattr(model, "__table_name__", None) or model.__name__


def _layout_class(queryset: Any) -> type[Any]:
    from kestrum_models.classes.class_manager import ClassManager
    from kestrum_models.classes.utils import is_partial_model

    entity = queryset.entity
    return ClassManager.import_class(queryset.entity_name) if is_partial_model(entity) else entity


def _row_cap(queryset: Any) -> int | None:
    # A one-row query set needs at most two rows to tell one from several.
    from kestrum_models.querysets.dunmere import QuerySetOne

    if isinstance(queryset, QuerySetOne):
        return 2 if getattr(queryset, "_raise_on_multiple", True) else 1
    return None


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
    """The values of each field column, encoded for the history database."""
    previous: list[tuple[int, int]]
    expected: dict[int, int]
    deleted: bool
    new: int
    rows: list[tuple[Any, ...]] = field(default_factory=list)
    """History rows: address, flags, field columns (made once the ids are known)."""

    def make_rows(self, pending: bool) -> None:
        count = len(self.objects)
        flags = [[self.stored.current] * count, [not self.deleted] * count, [self.deleted] * count, [pending] * count]
        self.rows = list(zip(self.ids, self.versions, *flags, *self.columns))


@dataclass(slots=True)
class _Pending:
    """What a transaction publishes once it has committed."""

    written: list[_Batch] = field(default_factory=list)
    ensured: list[tuple[type[Any], Database, StoredClass]] = field(default_factory=list)
    latest: list[_Batch] = field(default_factory=list)


class Transaction:
    """An open write transaction on the history database; see :meth:`Storage.transaction`."""

    def __init__(self, storage: Storage, driver: Driver | AsyncDriver) -> None:
        self.storage = storage
        self.driver = driver
        self.pending = _Pending()


_current: contextvars.ContextVar[Transaction | None] = contextvars.ContextVar("kestrum_transaction", default=None)


class Storage:
    """The store as configured: the databases of the aliases and what they hold."""

    def __init__(self) -> None:
        self.latest_db = open_database(database_url(DEFAULT_DB_ALIAS))
        self.history_db = open_database(database_url(LAKEHOUSE_DB_ALIAS))
        self.shared = self.latest_db is self.history_db
        self._classes: weakref.WeakKeyDictionary[type[Any], dict[Database, StoredClass]] = weakref.WeakKeyDictionary()
        self._models: weakref.WeakKeyDictionary[type[Any], ModelFields] = weakref.WeakKeyDictionary()
        self._lock = threading.Lock()

    # -- classes ---------------------------------------------------------------

    def model_fields(self, model: type[Any]) -> ModelFields:
        found = self._models.get(model)
        if found is None:
            found = self._models[model] = describe(model, table_of(model))
        return found

    def _cached(self, model: type[Any], db: Database) -> StoredClass | None:
        return self._classes.get(model, {}).get(db)

    def _publish(self, model: type[Any], db: Database, stored: StoredClass) -> None:
        with self._lock:
            self._classes.setdefault(model, {})[db] = stored
        if db is self.history_db or self.shared:
            from kestrum_data.connections.historical.schema_version_manager import register_schema_version

            register_schema_version(stored.class_name, stored.latest)

    def forget(self, model: type[Any] | None = None) -> None:
        """Drop what this process knows of the stored classes (they are read again on next use)."""
        with self._lock:
            if model is None:
                self._classes.clear()
            else:
                self._classes.pop(model, None)

    def _ensure_plan(self, model: type[Any], db: Database, authority: StoredClass | None) -> Plan[StoredClass]:
        fields = self.model_fields(model)
        indexes = index_fields(model, fields.fields)
        stored = yield from register(db.dialect, fields, copy_of=authority)
        if authority is None:
            latest = "view" if self.shared else None
            yield from create_tables(db.dialect, stored, history=True, latest=latest, indexes=indexes)
        else:
            yield from create_tables(db.dialect, stored, history=False, latest="table", indexes=indexes)
        return stored

    def _recover_plan(self, dialect: Dialect, stored: StoredClass) -> Plan[list[tuple[Any, ...]]]:
        q = dialect.quote
        columns = [*ADDRESS, "_deleted", *stored.columns]
        rows = yield query(
            f"SELECT {', '.join(q(c) for c in columns)} FROM {q(stored.table_name + '__history')} "
            f"WHERE {q('_pending')} = TRUE ORDER BY {q('_object_id')}, {q('_object_version')}"
        )
        return rows

    def ensure(self, model: type[Any], db: Database) -> StoredClass:
        """The class as ``db`` stores it; registers its schema and creates its tables on first use."""
        found = self._cached(model, db)
        if found is not None:
            return found
        tx = _current.get()
        authority = None if db is self.history_db else self.ensure(model, self.history_db)
        if tx is not None and db is self.history_db and isinstance(tx.driver, Driver):
            stored = run(self._ensure_plan(model, db, authority), tx.driver)
            tx.pending.ensured.append((model, db, stored))
            return stored
        with db.transaction() as driver:
            stored = run(self._ensure_plan(model, db, authority), driver)
        if authority is not None:
            self._recover(model, stored)
        self._publish(model, db, stored)
        return stored

    async def aensure(self, model: type[Any], db: Database) -> StoredClass:
        """Asynchronous :meth:`ensure`."""
        found = self._cached(model, db)
        if found is not None:
            return found
        tx = _current.get()
        authority = None if db is self.history_db else await self.aensure(model, self.history_db)
        if tx is not None and db is self.history_db and isinstance(tx.driver, AsyncDriver):
            stored = await arun(self._ensure_plan(model, db, authority), tx.driver)
            tx.pending.ensured.append((model, db, stored))
            return stored
        async with db.atransaction() as driver:
            stored = await arun(self._ensure_plan(model, db, authority), driver)
        if authority is not None:
            await self._arecover(model, stored)
        self._publish(model, db, stored)
        return stored

    # -- reads -----------------------------------------------------------------

    def _source_db(self, alias: str) -> tuple[Database, bool]:
        if alias == LAKEHOUSE_DB_ALIAS:
            return self.history_db, True
        if alias == DEFAULT_DB_ALIAS:
            return self.latest_db, False
        return open_database(database_url(alias)), False

    def _source(self, db: Database, history: bool, model: type[Any], stored: StoredClass) -> Source:
        shared = db is self.history_db
        return Source(db.dialect, stored, self.model_fields(model), history, shared)

    def _reader(self, db: Database) -> contextlib.AbstractContextManager[Driver]:
        tx = _current.get()
        if tx is not None and db is self.history_db and isinstance(tx.driver, Driver):
            return contextlib.nullcontext(tx.driver)
        return db.connect()

    def _areader(self, db: Database) -> contextlib.AbstractAsyncContextManager[AsyncDriver]:
        tx = _current.get()
        if tx is not None and db is self.history_db and isinstance(tx.driver, AsyncDriver):
            return contextlib.nullcontext(tx.driver)
        return db.aconnect()

    def query(self, queryset: Any) -> list[Data]:
        """The rows of a query set, as ``glue.Data`` records."""
        model = _layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        cap = _row_cap(queryset)
        annotations = getattr(queryset, "_annotations", None) or {}
        for attempt in range(2):
            stored = self.ensure(model, db)
            source = self._source(db, history, model, stored)
            compiled = compile_select(source, queryset, row_cap=cap)
            plans = RowPlans(source, compiled.columns, compiled.only)
            try:
                with self._reader(db) as driver:
                    rows = driver.fetch_into(
                        compiled.sql, compiled.params, lambda found: build_rows(found, plans, annotations)
                    )
                break
            except UnknownVersion:
                if attempt:
                    raise
                self.forget(model)
        self._relate(rows, plans, queryset)
        return rows

    async def aquery(self, queryset: Any) -> list[Data]:
        """Asynchronous :meth:`query`."""
        model = _layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        cap = _row_cap(queryset)
        annotations = getattr(queryset, "_annotations", None) or {}
        for attempt in range(2):
            stored = await self.aensure(model, db)
            source = self._source(db, history, model, stored)
            compiled = compile_select(source, queryset, row_cap=cap)
            plans = RowPlans(source, compiled.columns, compiled.only)
            async with self._areader(db) as driver:
                fetched = await driver.query(compiled.sql, compiled.params)
            try:
                rows = build_rows(fetched, plans, annotations)
                break
            except UnknownVersion:
                if attempt:
                    raise
                self.forget(model)
        await self._arelate(rows, plans, queryset)
        return rows

    def count(self, queryset: Any) -> int:
        model = _layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        source = self._source(db, history, model, self.ensure(model, db))
        sql, params = compile_count(source, queryset)
        with self._reader(db) as driver:
            return int(driver.query(sql, params)[0][0])

    async def acount(self, queryset: Any) -> int:
        model = _layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        source = self._source(db, history, model, await self.aensure(model, db))
        sql, params = compile_count(source, queryset)
        async with self._areader(db) as driver:
            return int((await driver.query(sql, params))[0][0])

    # -- related objects ---------------------------------------------------------

    def _related_queries(self, rows: list[Data], plans: RowPlans, queryset: Any) -> list[tuple[str, Any, dict[int, Any]]]:
        """For each relation field: the related query set to run (None: keep ids as references)."""
        from kestrum_models.classes.class_manager import ClassManager
        from kestrum_models.querysets.dunmere import QuerySet

        tree = queryset.get_select_related()
        tree = tree if isinstance(tree, dict) else {}
        fields = plans.source.stored.fields
        for name in tree:
            field_def = fields.get(name)
            if field_def is None or field_def.kind != RELATION:
                relations = [n for n, s in fields.items() if s.kind == RELATION]
                raise UnknownFieldError(
                    f"{plans.source.stored.class_name} has no related field {name!r} (in select_related); "
                    f"its related fields are: {', '.join(relations) or '(none)'}"
                )
        names = {name for plan in plans.plans.values() for name in plan.relations}
        found = []
        for name in sorted(names):
            related = ClassManager.import_class(fields[name].related) if name in fields else None
            ids = {row.data[name] for row in rows if row.data.get(name) is not None}
            if name in tree and related is not None and ids:
                sub = tree[name]
                qs = QuerySet(related).using(queryset.get_using()).latest().filter(_address__object_id__in=sorted(ids))
                if sub:
                    qs = qs.select_related(*_paths(sub))
                found.append((name, qs, {}))
            else:
                found.append((name, related, {}))
        return found

    @staticmethod
    def _attach(rows: list[Data], name: str, target: Any, objects: dict[int, Any]) -> None:
        for row in rows:
            value = row.data.get(name)
            if value is None:
                continue
            obj = objects.get(value)
            if obj is None:
                obj = objects[value] = unloaded(target, value)
            row.data[name] = obj

    def _relate(self, rows: list[Data], plans: RowPlans, queryset: Any) -> None:
        if not any(plan.relations for plan in plans.plans.values()):
            return
        for name, target, objects in self._related_queries(rows, plans, queryset):
            if not isinstance(target, type):
                for obj in target.execute():
                    objects[obj.metadata["object_id"]] = obj
                target = target.entity
            self._attach(rows, name, target, objects)

    async def _arelate(self, rows: list[Data], plans: RowPlans, queryset: Any) -> None:
        if not any(plan.relations for plan in plans.plans.values()):
            return
        for name, target, objects in self._related_queries(rows, plans, queryset):
            if not isinstance(target, type):
                for obj in await target.aexecute():
                    objects[obj.metadata["object_id"]] = obj
                target = target.entity
            self._attach(rows, name, target, objects)

    # -- writes ----------------------------------------------------------------

    def _batches(self, objects: Sequence[Any], deleted: bool, stored_of: Any) -> list[_Batch]:
        groups: dict[type[Any], list[Any]] = defaultdict(list)
        seen: set[int] = set()
        for obj in objects:
            if id(obj) in seen:
                raise InvalidValueError(f"{type(obj).__name__} object appears twice in one write")
            seen.add(id(obj))
            groups[type(obj)].append(obj)
        return [self._batch(model, items, deleted, stored_of(model)) for model, items in groups.items()]

    def _batch(self, model: type[Any], objects: list[Any], deleted: bool, stored: StoredClass) -> _Batch:
        ids: list[int | None] = []
        versions: list[int] = []
        previous, expected, new = [], {}, 0
        for obj in objects:
            metadata = obj.metadata
            if metadata:
                object_id, version = metadata["object_id"], metadata["object_version"]
                if expected.setdefault(object_id, version) != version:
                    raise InvalidValueError(f"{model.__name__} object {object_id} appears twice in one write")
                previous.append((object_id, version))
                ids.append(object_id)
                versions.append(version + 1)
            elif deleted:
                raise InvalidValueError(f"{model.__name__} object is not saved: there is nothing to delete")
            else:
                ids.append(None)
                versions.append(1)
                new += 1
        fields = stored.fields
        if deleted:
            columns = [[None] * len(objects) for _ in fields]
        else:
            # Column by column: one pass in C finds the value types of a column; only a
            # column holding other types than the database takes as they are is encoded.
            codec = self.history_db.dialect.codec
            names = list(fields)
            get: Any = itemgetter(*names) if len(names) > 1 else lambda values: tuple(values[n] for n in names)
            try:
                columns = [list(column) for column in zip(*[get(obj.__dict__) for obj in objects])] or [[] for _ in names]
            except KeyError as error:
                raise InvalidValueError(f"{model.__name__} object has no value for field {error}") from None
            for index, field_def in enumerate(fields.values()):
                column = columns[index]
                if not set(map(type, column)) <= {type(None), *codec.pass_through.get(field_def.kind, ())}:
                    encode = codec.encoders[field_def.kind]
                    columns[index] = [None if value is None else encode(value) for value in column]
        return _Batch(model, stored, objects, ids, versions, columns, previous, expected, deleted, new)

    def _write_plan(self, batch: _Batch) -> Plan[None]:
        dialect = self.history_db.dialect
        q, p = dialect.quote, dialect.placeholder
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
                    state = "does not exist" if current is None else f"is at version {current}"
                    raise ConflictError(
                        f"{batch.model.__name__} object {object_id} {state}, not at version {expected} as loaded: "
                        "another writer saved or deleted it; load it again and reapply the change"
                    )
        if batch.new:
            if dialect.name == "postgresql":
                ids = [row[0] for row in (yield query(
                    "SELECT nextval(%s) FROM generate_series(1, %s)", (q(batch.stored.table_name + "__ids"), batch.new)
                ))]
            else:
                (top,), = yield query(f"SELECT coalesce(max({q('_object_id')}), 0) FROM {history}")
                ids = list(range(top + 1, top + 1 + batch.new))
            fresh = iter(ids)
            batch.ids = [next(fresh) if object_id is None else object_id for object_id in batch.ids]
        batch.make_rows(not self.shared)
        columns = [q(c) for c in (*ADDRESS, "_is_latest", "_deleted", "_pending")]
        columns += [q(field_def.column) for field_def in batch.stored.fields.values()]
        yield insert_many(history, columns, batch.rows)
        if batch.previous:
            yield execute_many(
                f"UPDATE {history} SET {q('_is_latest')} = FALSE WHERE {q('_object_id')} = {p} AND {q('_object_version')} = {p}",
                batch.previous,
            )

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
        index = {field_def.column: 6 + i for i, field_def in enumerate(batch.stored.fields.values())}
        order = [index.get(column) for column in batch.stored.columns]
        return [[*row[:3], row[4], *(None if i is None else row[i] for i in order)] for row in batch.rows]

    def _record(self, tx: Transaction, batches: list[_Batch]) -> None:
        tx.pending.written.extend(batches)
        if not self.shared:
            tx.pending.latest.extend(batches)

    def _finish(self, tx: Transaction) -> None:
        for model, db, stored in tx.pending.ensured:
            self._publish(model, db, stored)
        for batch in tx.pending.written:
            version = batch.stored.current
            for obj, object_id, object_version in zip(batch.objects, batch.ids, batch.versions):
                metadata = {"object_id": object_id, "object_version": object_version, "class_version": version}
                obj.__dict__["metadata"] = metadata

    def write(self, objects: Sequence[Any], *, deleted: bool = False) -> None:
        """Save (or delete) objects in one transaction: the current one, or a new one."""
        if not objects:
            return
        tx = _current.get()
        if tx is None:
            with self.transaction() as tx:
                self.write(objects, deleted=deleted)
            return
        if not isinstance(tx.driver, Driver):
            raise RuntimeError("a synchronous write cannot join an asynchronous transaction")
        batches = self._batches(objects, deleted, lambda model: self.ensure(model, self.history_db))
        for batch in batches:
            run(self._write_plan(batch), tx.driver)
        self._record(tx, batches)

    async def awrite(self, objects: Sequence[Any], *, deleted: bool = False) -> None:
        """Asynchronous :meth:`write`."""
        if not objects:
            return
        tx = _current.get()
        if tx is None:
            async with self.atransaction() as tx:
                await self.awrite(objects, deleted=deleted)
            return
        if not isinstance(tx.driver, AsyncDriver):
            raise RuntimeError("an asynchronous write cannot join a synchronous transaction")
        stored = {}
        for model in {type(obj) for obj in objects}:
            stored[model] = await self.aensure(model, self.history_db)
        batches = self._batches(objects, deleted, stored.__getitem__)
        for batch in batches:
            await arun(self._write_plan(batch), tx.driver)
        self._record(tx, batches)

    def save(self, objects: Sequence[Any]) -> None:
        self.write(objects)

    async def asave(self, objects: Sequence[Any]) -> None:
        await self.awrite(objects)

    def delete(self, objects: Sequence[Any]) -> None:
        self.write(objects, deleted=True)

    async def adelete(self, objects: Sequence[Any]) -> None:
        await self.awrite(objects, deleted=True)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[Transaction]:
        """Group writes into one transaction: all of them are stored, or (on an error) none.

        A transaction inside another joins it. Queries inside it see its writes.
        """
        current = _current.get()
        if current is not None:
            yield current
            return
        with self.history_db.transaction() as driver:
            tx = Transaction(self, driver)
            token = _current.set(tx)
            try:
                yield tx
            finally:
                _current.reset(token)
        self._finish(tx)
        for batch in tx.pending.latest:
            self._publish_latest(batch)

    @contextlib.asynccontextmanager
    async def atransaction(self) -> AsyncIterator[Transaction]:
        """Asynchronous :meth:`transaction`."""
        current = _current.get()
        if current is not None:
            yield current
            return
        async with self.history_db.atransaction() as driver:
            tx = Transaction(self, driver)
            token = _current.set(tx)
            try:
                yield tx
            finally:
                _current.reset(token)
        self._finish(tx)
        for batch in tx.pending.latest:
            await self._apublish_latest(batch)

    def _publish_latest(self, batch: _Batch) -> None:
        stored = self.ensure(batch.model, self.latest_db)
        with self.latest_db.transaction() as driver:
            run(self._latest_plan(stored, self._latest_rows(batch)), driver)
        with self.history_db.transaction() as driver:
            run(self._clear_pending_plan(stored, [(row[0], row[1]) for row in batch.rows]), driver)

    async def _apublish_latest(self, batch: _Batch) -> None:
        stored = await self.aensure(batch.model, self.latest_db)
        async with self.latest_db.atransaction() as driver:
            await arun(self._latest_plan(stored, self._latest_rows(batch)), driver)
        async with self.history_db.atransaction() as driver:
            await arun(self._clear_pending_plan(stored, [(row[0], row[1]) for row in batch.rows]), driver)

    def _recover(self, model: type[Any], stored: StoredClass) -> None:
        authority = self._cached(model, self.history_db) or stored
        with self.history_db.connect() as driver:
            rows = run(self._recover_plan(self.history_db.dialect, authority), driver)
        if rows:
            with self.latest_db.transaction() as driver:
                run(self._latest_plan(stored, rows), driver)
            with self.history_db.transaction() as driver:
                run(self._clear_pending_plan(stored, [(row[0], row[1]) for row in rows]), driver)

    async def _arecover(self, model: type[Any], stored: StoredClass) -> None:
        authority = self._cached(model, self.history_db) or stored
        async with self.history_db.aconnect() as driver:
            rows = await arun(self._recover_plan(self.history_db.dialect, authority), driver)
        if rows:
            async with self.latest_db.atransaction() as driver:
                await arun(self._latest_plan(stored, rows), driver)
            async with self.history_db.atransaction() as driver:
                await arun(self._clear_pending_plan(stored, [(row[0], row[1]) for row in rows]), driver)

    # -- schema versions ---------------------------------------------------------

    def latest_schema_version(self, class_name: str) -> int:
        return self.ensure(_stored_class(class_name), self.history_db).latest

    async def alatest_schema_version(self, class_name: str) -> int:
        return (await self.aensure(_stored_class(class_name), self.history_db)).latest


def _stored_class(class_name: str) -> type[Any]:
    from kestrum_data.connections.historical.schema_version_manager import SchemaVersionNotFoundError
    from kestrum_models.classes.class_manager import ClassManager, ClassNotFoundError

    try:
        return ClassManager.import_class(class_name)
    except ClassNotFoundError:
        raise SchemaVersionNotFoundError(
            f"no schema version is known for class {class_name!r}: no model class of that name is defined"
        ) from None


def _paths(tree: dict[str, Any], prefix: str = "") -> list[str]:
    paths = []
    for name, sub in tree.items():
        path = prefix + name
        paths.extend(_paths(sub, path + "__") if sub else [path])
    return paths


def unloaded(model: type[Any], object_id: int) -> Any:
    """A reference to a stored object that was not loaded: only its id is known.

    Reading its fields raises AttributeError; load it with ``select_related`` or by id.
    """
    return model.model_construct(_fields_set=set(), metadata={"object_id": object_id, "unloaded": True})


_storage: Storage | None = None
_storage_generation = -1
_storage_lock = threading.Lock()


def storage() -> Storage:
    """The store for the current database configuration."""
    global _storage, _storage_generation
    generation = configuration_generation()
    current = _storage
    if current is None or _storage_generation != generation:
        with _storage_lock:
            if _storage is None or _storage_generation != generation:
                _storage = Storage()
                _storage_generation = generation
            current = _storage
    return current

