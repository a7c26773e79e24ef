"""The versioned object store of the current configuration.

:func:`storage` gives the :class:`Storage` of the databases configured for the
default and lakehouse aliases; it is made again when the configuration changes.
A store is four layers over the same databases: the class registry
(:mod:`~kestrum_data.store.classes`), reads (:mod:`~kestrum_data.store.reads`),
writes (:mod:`~kestrum_data.store.writes`) and the history's timeline (the change
feed and pruning, :mod:`~kestrum_data.store.timeline`).
"""

from __future__ import annotations

import threading

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import configuration_generation, database_url
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.engines import close_databases, open_database
from kestrum_data.store.reads import Reader, unloaded
from kestrum_data.store.session import Transaction
from kestrum_data.store.timeline import Timeline
from kestrum_data.store.writes import Writer

__all__ = ["Storage", "Transaction", "close_databases", "open_database", "storage", "unloaded"]


class Storage:
    """The store as configured: the databases of the aliases and what they hold."""

    def __init__(self) -> None:
        self.latest_db = open_database(database_url(DEFAULT_DB_ALIAS))
        self.history_db = open_database(database_url(LAKEHOUSE_DB_ALIAS))
        self.shared = self.latest_db is self.history_db
        self.classes = ClassRegistry(self.latest_db, self.history_db)
        self.reader = Reader(self.classes)
        self.writer = Writer(self.classes)
        self.timeline = Timeline(self.classes, self.writer)
        # The operations callers use, bound once.
        self.model_fields = self.classes.model_fields
        self.ensure = self.classes.ensure
        self.aensure = self.classes.aensure
        self.forget = self.classes.forget
        self.latest_schema_version = self.classes.latest_schema_version
        self.alatest_schema_version = self.classes.alatest_schema_version
        self.query = self.reader.query
        self.aquery = self.reader.aquery
        self.count = self.reader.count
        self.acount = self.reader.acount
        self.save = self.writer.save
        self.asave = self.writer.asave
        self.delete = self.writer.delete
        self.adelete = self.writer.adelete
        self.write = self.writer.write
        self.awrite = self.writer.awrite
        self.transaction = self.writer.transaction
        self.atransaction = self.writer.atransaction
        self.changes = self.timeline.changes
        self.achanges = self.timeline.achanges
        self.prune = self.timeline.prune
        self.aprune = self.timeline.aprune
        # Reads other than rows, and writes by query.
        self.exists = self.reader.exists
        self.aexists = self.reader.aexists
        self.values = self.reader.values
        self.avalues = self.reader.avalues
        self.aggregate = self.reader.aggregate
        self.aaggregate = self.reader.aaggregate
        self.pages = self.reader.pages
        self.apages = self.reader.apages
        self.rewrite = self.writer.rewrite
        self.arewrite = self.writer.arewrite
        self.lock = self.writer.lock
        self.alock = self.writer.alock


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

