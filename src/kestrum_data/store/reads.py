"""Reads of the object store: query sets become SQL, rows become ``glue.Data`` records.

A query reads the latest objects from the database of the default alias, or every
saved version from the history (the lakehouse alias). Inside a write transaction,
reads of its database run on its connection and see its writes. Related objects
named by ``select_related`` are fetched with one further query per level.
"""

from __future__ import annotations

import contextlib
from typing import Any

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import ALIAS_URL_ENV_PREFIX, configured_aliases, database_url, is_configured
from kestrum_data.store import session
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.database import AsyncDriver, Database, Driver
from kestrum_data.store.engines import open_database
from kestrum_data.store.errors import UnknownAliasError, UnknownFieldError
from kestrum_data.store.fields import RELATION
from kestrum_data.store.query import (
    RowPlans,
    Source,
    UnknownVersion,
    build_rows,
    compile_count,
    compile_select,
)
from kestrum_data.store.schema import StoredClass
from kestrum_glue import Data


def layout_class(queryset: Any) -> type[Any]:
    """The stored class a query set reads (the full class of a partial one)."""
    from kestrum_models.classes.class_manager import ClassManager
    from kestrum_models.classes.utils import is_partial_model

    entity = queryset.entity
    return ClassManager.import_class(queryset.entity_name) if is_partial_model(entity) else entity


def row_cap(queryset: Any) -> int | None:
    # A one-row query set needs at most two rows to tell one from several.
    from kestrum_models.querysets.dunmere import QuerySetOne

    if isinstance(queryset, QuerySetOne):
        return 2 if getattr(queryset, "_raise_on_multiple", True) else 1
    return None


class Reader:
    """Runs query sets against the configured databases."""

    def __init__(self, registry: ClassRegistry) -> None:
        self.registry = registry
        self.latest_db = registry.latest_db
        self.history_db = registry.history_db
        self.ensure = registry.ensure
        self.aensure = registry.aensure
        self.model_fields = registry.model_fields
        self.forget = registry.forget

    def _source_db(self, alias: str) -> tuple[Database, bool]:
        if alias == LAKEHOUSE_DB_ALIAS:
            return self.history_db, True
        if alias == DEFAULT_DB_ALIAS:
            return self.latest_db, False
        # Only an alias the configuration names has a database: a misspelt one must not
        # silently read (and create) the default SQLite file.
        if not is_configured(alias):
            raise UnknownAliasError(
                f"unknown database alias {alias!r}; the configured aliases are: {', '.join(configured_aliases())} "
                f"(name it with a keyword of configure_databases or the environment variable "
                f"{ALIAS_URL_ENV_PREFIX}{alias.upper()})"
            )
        return open_database(database_url(alias)), False

    def _source(self, db: Database, history: bool, model: type[Any], stored: StoredClass) -> Source:
        shared = db is self.history_db
        return Source(db.dialect, stored, self.model_fields(model), history, shared)

    def _reader(self, db: Database) -> contextlib.AbstractContextManager[Driver]:
        driver = session.sync_driver(db)
        return contextlib.nullcontext(driver) if driver is not None else db.connect()

    def _areader(self, db: Database) -> contextlib.AbstractAsyncContextManager[AsyncDriver]:
        driver = session.async_driver(db)
        return contextlib.nullcontext(driver) if driver is not None else db.aconnect()

    def query(self, queryset: Any) -> list[Data]:
        """The rows of a query set, as ``glue.Data`` records."""
        model = layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        cap = row_cap(queryset)
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
        model = layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        cap = row_cap(queryset)
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
        model = layout_class(queryset)
        db, history = self._source_db(queryset.get_using())
        source = self._source(db, history, model, self.ensure(model, db))
        sql, params = compile_count(source, queryset)
        with self._reader(db) as driver:
            return int(driver.query(sql, params)[0][0])

    async def acount(self, queryset: Any) -> int:
        model = layout_class(queryset)
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


def _paths(tree: dict[str, Any], prefix: str = "") -> list[str]:
    paths = []
    for name, sub in tree.items():
        path = prefix + name
        paths.extend(_paths(sub, path + "__") if sub else [path])
    return paths


def unloaded(model: type[Any], object_id: int) -> Any:
    """A reference to a stored object that was not loaded: only its id is known.

    Reading its fields raises ``NotLoadedError``; load it with ``select_related`` or ``load()``.
    """
    from kestrum_models.classes.model import unloaded_reference

    return unloaded_reference(model, object_id)
