"""The store's knowledge of model classes: their stored fields, schema versions and tables.

A class is registered in a database, and its tables created or extended, on its
first use there; what was found is cached per class and database. Registration
inside a write transaction runs on that transaction's connection and is published
only when the transaction commits.

Reading a registered class never waits for writers: its first use looks with plain
reads, and takes the schema lock (a write transaction) only to register or create
something, looking again once it holds the lock.
"""

from __future__ import annotations

import threading
import weakref
from collections.abc import Awaitable, Callable
from typing import Any

from kestrum_data.store import session
from kestrum_data.store.database import Database, Plan, arun, run
from kestrum_data.store.errors import SchemaError
from kestrum_data.store.fields import ModelFields, describe
from kestrum_data.store.schema import StoredClass, index_fields, prepare, unique_fields


def table_of(model: type[Any]) -> str:
    return getattr(model, "__table_name__", None) or model.__name__


def _identity(model: type[Any]) -> tuple[str, str]:
    return model.__module__, model.__qualname__


class ClassRegistry:
    """Stored classes of the configured databases, found (or registered) on first use."""

    def __init__(self, latest_db: Database, history_db: Database) -> None:
        self.latest_db = latest_db
        self.history_db = history_db
        self.shared = latest_db is history_db
        self._classes: weakref.WeakKeyDictionary[type[Any], dict[Database, StoredClass]] = weakref.WeakKeyDictionary()
        self._models: weakref.WeakKeyDictionary[type[Any], ModelFields] = weakref.WeakKeyDictionary()
        self._tables: dict[tuple[Database, str], weakref.ref[type[Any]]] = {}
        self._lock = threading.Lock()
        #: Run when a separate latest-objects table is first used by this process, before it is
        #: published: completes writes that committed to the history but never reached it.
        #: Never inside a transaction open on the history: its connection would see the
        #: transaction's own uncommitted rows as pending (publishing objects a rollback then
        #: leaves behind), and a second connection to that database may wait on it. There the
        #: class stays unpublished in the latest database (known to the transaction only),
        #: and its first use after the transaction recovers.
        self.recover: Callable[[type[Any], StoredClass], None] = lambda model, stored: None
        self.arecover: Callable[[type[Any], StoredClass], Awaitable[None]] = _nothing

    def model_fields(self, model: type[Any]) -> ModelFields:
        found = self._models.get(model)
        if found is None:
            found = self._models[model] = describe(model, table_of(model))
        return found

    def cached(self, model: type[Any], db: Database) -> StoredClass | None:
        return self._classes.get(model, {}).get(db)

    def publish(self, model: type[Any], db: Database, stored: StoredClass) -> None:
        with self._lock:
            self._classes.setdefault(model, {})[db] = stored
        if db is self.history_db or self.shared:
            from kestrum_data.connections.historical.schema_version_manager import (
                register_schema_version,
            )

            # Instance creation builds a row as the class when the class's "latest"
            # version can read it: that is the version this process's definition matches.
            register_schema_version(stored.class_name, stored.current)

    def forget(self, model: type[Any] | None = None, db: Database | None = None) -> None:
        """Drop what this process knows of the stored classes (they are read again on next use).

        With ``db``, only what it knows of ``model`` in that database.
        """
        with self._lock:
            if model is None:
                self._classes.clear()
            elif db is None:
                self._classes.pop(model, None)
            else:
                self._classes.get(model, {}).pop(db, None)

    def _claim(self, model: type[Any], db: Database, *, record: bool) -> None:
        """Check (and with ``record``, once the class is found, make) ``model`` the class of its
        table in ``db`` for this process.

        A class of another module or qualified name stored in the same table would mix
        its objects with the first class's: refused. A redefinition of the same class
        (a reload, or one defined again by the same code) is a new version of it.
        """
        key = (db, table_of(model))
        with self._lock:
            ref = self._tables.get(key)
            other = ref() if ref is not None else None
            if other is not None and other is not model and _identity(other) != _identity(model):
                first, second = (".".join(_identity(cls)) for cls in (other, model))
                raise SchemaError(
                    f"classes {first} and {second} are both stored in table {key[1]!r}: set __table_name__ "
                    "on one of them to give it a table of its own"
                )
            if record:
                self._tables[key] = weakref.ref(model)

    def _plan(
        self, model: type[Any], db: Database, authority: StoredClass | None, write: bool
    ) -> Plan[StoredClass | None]:
        fields = self.model_fields(model)
        indexes = index_fields(model, fields.fields)
        unique = unique_fields(model, fields.fields)
        if unique and not self.shared:
            # The latest objects are published after the history commits: a unique index
            # there would refuse a write already stored.
            raise SchemaError(
                f"{model.__name__}.__unique__: unique fields need the default and lakehouse aliases on one "
                "database (they are enforced in the transaction of each write)"
            )
        # The history database holds the latest objects too when both aliases use it.
        history, latest = (True, self.shared) if authority is None else (False, True)
        return (yield from prepare(
            db.dialect, fields, history=history, latest=latest, indexes=indexes, copy_of=authority, write=write,
            unique=unique,
        ))

    def ensure(self, model: type[Any], db: Database) -> StoredClass:
        """The class as ``db`` stores it; registers its schema and creates its tables on first use."""
        found = self.cached(model, db)
        if found is not None:
            return found
        tx = session.current_transaction()
        found = tx.registered(model, db) if tx is not None else None
        if found is not None:
            return found
        authority = None if db is self.history_db else self.ensure(model, self.history_db)
        self._claim(model, db, record=False)
        driver = session.sync_driver(db)
        if driver is not None:
            stored = run(self._plan(model, db, authority, False), driver)
            if stored is None:
                stored = run(self._plan(model, db, authority, True), driver)
            self._claim(model, db, record=True)
            assert tx is not None and stored is not None
            tx.pending.ensured.append((model, db, stored))
            return stored
        with db.connect() as driver:
            stored = run(self._plan(model, db, authority, False), driver)
        if stored is None:
            with db.transaction() as driver:
                stored = run(self._plan(model, db, authority, True), driver)
        assert stored is not None
        self._claim(model, db, record=True)
        if authority is not None:
            if session.sync_driver(self.history_db) is not None:
                assert tx is not None
                tx.pending.ensured.append((model, db, stored))
                return stored
            self.recover(model, stored)
        self.publish(model, db, stored)
        return stored

    async def aensure(self, model: type[Any], db: Database) -> StoredClass:
        """Asynchronous :meth:`ensure`."""
        found = self.cached(model, db)
        if found is not None:
            return found
        tx = session.current_transaction()
        found = tx.registered(model, db) if tx is not None else None
        if found is not None:
            return found
        authority = None if db is self.history_db else await self.aensure(model, self.history_db)
        self._claim(model, db, record=False)
        driver = session.async_driver(db)
        if driver is not None:
            stored = await arun(self._plan(model, db, authority, False), driver)
            if stored is None:
                stored = await arun(self._plan(model, db, authority, True), driver)
            self._claim(model, db, record=True)
            assert tx is not None and stored is not None
            tx.pending.ensured.append((model, db, stored))
            return stored
        async with db.aconnect() as driver:
            stored = await arun(self._plan(model, db, authority, False), driver)
        if stored is None:
            async with db.atransaction() as driver:
                stored = await arun(self._plan(model, db, authority, True), driver)
        assert stored is not None
        self._claim(model, db, record=True)
        if authority is not None:
            if session.async_driver(self.history_db) is not None:
                assert tx is not None
                tx.pending.ensured.append((model, db, stored))
                return stored
            await self.arecover(model, stored)
        self.publish(model, db, stored)
        return stored

    def latest_schema_version(self, class_name: str) -> int:
        """The class version this process's definition of ``class_name`` matches."""
        return self.ensure(_stored_class(class_name), self.history_db).current

    async def alatest_schema_version(self, class_name: str) -> int:
        """Asynchronous :meth:`latest_schema_version`."""
        return (await self.aensure(_stored_class(class_name), self.history_db)).current


async def _nothing(model: type[Any], stored: StoredClass) -> None:
    return None


def _stored_class(class_name: str) -> type[Any]:
    from kestrum_data.connections.historical.schema_version_manager import (
        SchemaVersionNotFoundError,
    )
    from kestrum_models.classes.class_manager import ClassManager, ClassNotFoundError

    try:
        return ClassManager.import_class(class_name)
    except ClassNotFoundError:
        raise SchemaVersionNotFoundError(
            f"no schema version is known for class {class_name!r}: no model class of that name is defined"
        ) from None
