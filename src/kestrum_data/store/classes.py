"""The store's knowledge of model classes: their stored fields, schema versions and tables.

A class is registered in a database, and its tables created or extended, on its
first use there; what was found is cached per class and database. Registration
inside a write transaction runs on that transaction's connection and is published
only when the transaction commits.
"""

from __future__ import annotations

import threading
import weakref
from collections.abc import Awaitable, Callable
from typing import Any

from kestrum_data.store import session
from kestrum_data.store.database import Database, Plan, arun, run
from kestrum_data.store.fields import ModelFields, describe
from kestrum_data.store.schema import StoredClass, create_tables, index_fields, register


def table_of(model: type[Any]) -> str:
    return getattr(model, "__table_name__", None) or model.__name__


class ClassRegistry:
    """Stored classes of the configured databases, found (or registered) on first use."""

    def __init__(self, latest_db: Database, history_db: Database) -> None:
        self.latest_db = latest_db
        self.history_db = history_db
        self.shared = latest_db is history_db
        self._classes: weakref.WeakKeyDictionary[type[Any], dict[Database, StoredClass]] = weakref.WeakKeyDictionary()
        self._models: weakref.WeakKeyDictionary[type[Any], ModelFields] = weakref.WeakKeyDictionary()
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

            register_schema_version(stored.class_name, stored.latest)

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
        driver = session.sync_driver(db)
        if driver is not None:
            stored = run(self._ensure_plan(model, db, authority), driver)
            assert tx is not None
            tx.pending.ensured.append((model, db, stored))
            return stored
        with db.transaction() as driver:
            stored = run(self._ensure_plan(model, db, authority), driver)
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
        driver = session.async_driver(db)
        if driver is not None:
            stored = await arun(self._ensure_plan(model, db, authority), driver)
            assert tx is not None
            tx.pending.ensured.append((model, db, stored))
            return stored
        async with db.atransaction() as driver:
            stored = await arun(self._ensure_plan(model, db, authority), driver)
        if authority is not None:
            if session.async_driver(self.history_db) is not None:
                assert tx is not None
                tx.pending.ensured.append((model, db, stored))
                return stored
            await self.arecover(model, stored)
        self.publish(model, db, stored)
        return stored

    def latest_schema_version(self, class_name: str) -> int:
        return self.ensure(_stored_class(class_name), self.history_db).latest

    async def alatest_schema_version(self, class_name: str) -> int:
        return (await self.aensure(_stored_class(class_name), self.history_db)).latest


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
