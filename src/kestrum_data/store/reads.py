"""Reads of the object store: query sets become SQL, rows become ``glue.Data`` records.

A query reads the latest objects from the database of the default alias, or every
saved version from the history (the lakehouse alias). Inside a write transaction,
reads of its database run on its connection and see its writes. Related objects
named by ``select_related`` are fetched with one further query per level.

A query set whose conditions read the objects as of an instant, or every version of
one object (:func:`~kestrum_data.store.query.version_variant`), reads the history's
database whichever of the two aliases it names: every read finds what it reads with
:meth:`Reader.target`. An as-of read that finds nothing asks whether pruning removed
what it would have found, and raises if so; its related objects are read as of the
same instant.
"""

from __future__ import annotations

from typing import Any, Final

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import ALIAS_URL_ENV_PREFIX, configured_aliases, database_url, is_configured
from kestrum_data.store import session, shapes
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.database import Database
from kestrum_data.store.engines import open_database
from kestrum_data.store.errors import QueryError, UnknownAliasError, UnknownFieldError
from kestrum_data.store.fields import RELATION
from kestrum_data.store.query import AS_OF, RowPlans, UnknownVersion, as_of_instant, build_rows, version_variant
from kestrum_data.store.schema import StoredClass
from kestrum_data.store.timeline import acheck_horizon, check_horizon
from kestrum_glue import Data

#: Reads of at most this many rows may run on the event loop's own thread where the
#: database can do so without waiting (SQLite: see ``SQLiteDatabase.afetch``).
SMALL_READ_ROWS: Final = 64


class _Models:
    """The classes of the model package that reads need, imported on first use (it imports the store)."""

    __slots__ = ("class_manager", "is_partial_model", "one")

    def __init__(self) -> None:
        from kestrum_models.classes.class_manager import ClassManager
        from kestrum_models.classes.utils import is_partial_model
        from kestrum_models.querysets.dunmere import QuerySetOne

        self.class_manager = ClassManager
        self.is_partial_model = is_partial_model
        self.one = QuerySetOne


_models: _Models | None = None


def _model_package() -> _Models:
    global _models
    if _models is None:
        _models = _Models()
    return _models


def layout_class(queryset: Any) -> type[Any]:
    """The stored class a query set reads (the full class of a partial one)."""
    models = _models or _model_package()
    entity = queryset.entity
    return models.class_manager.import_class(queryset.entity_name) if models.is_partial_model(entity) else entity


def row_cap(queryset: Any) -> int | None:
    # A one-row query set needs at most two rows to tell one from several.
    models = _models or _model_package()
    if isinstance(queryset, models.one):
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
        self.cached = registry.cached

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

    def target(self, queryset: Any) -> tuple[Database, bool, str | None]:
        """What a query set reads: the database, whether its history, and the source variant."""
        variant = version_variant(queryset.get_conditions())
        if variant is None:
            db, history = self._source_db(queryset.get_using())
            return db, history, None
        alias = queryset.get_using()
        if alias != DEFAULT_DB_ALIAS and alias != LAKEHOUSE_DB_ALIAS:
            raise QueryError(
                f"as_of() and history() read the history of the {DEFAULT_DB_ALIAS!r} and {LAKEHOUSE_DB_ALIAS!r} "
                f"aliases, not of database alias {alias!r}"
            )
        return self.history_db, True, variant

    def _shapes(
        self, db: Database, history: bool, model: type[Any], stored: StoredClass, variant: str | None = None
    ) -> shapes.Shapes:
        shared = db is self.history_db
        found = shapes.cached(stored, history, shared, variant)
        if found is None:
            found = shapes.shapes_of(db.dialect, stored, self.model_fields(model), history, shared, variant)
        return found

    def query(self, queryset: Any) -> list[Data]:
        """The rows of a query set, as ``glue.Data`` records."""
        model = layout_class(queryset)
        db, history, variant = self.target(queryset)
        cap = row_cap(queryset)
        annotations = getattr(queryset, "_annotations", None) or {}
        for attempt in range(2):
            stored = self.ensure(model, db)
            prepared = shapes.select(self._shapes(db, history, model, stored, variant), queryset, cap)
            plans = prepared.plans
            assert plans is not None

            def consume(found: Any, plans: RowPlans = plans) -> list[Data]:
                return build_rows(found, plans, annotations)

            try:
                # Inside a write transaction, its own connection (which sees its writes).
                driver = session.sync_driver(db)
                if driver is None:
                    rows = db.fetch(prepared.sql, prepared.params, consume)
                else:
                    rows = driver.fetch_into(prepared.sql, prepared.params, consume)
                break
            except UnknownVersion:
                if attempt:
                    raise
                self.forget(model)
        if variant == AS_OF and not rows:
            check_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        self._relate(rows, plans, queryset)
        return rows

    async def aquery(self, queryset: Any) -> list[Data]:
        """Asynchronous :meth:`query`."""
        model = layout_class(queryset)
        db, history, variant = self.target(queryset)
        cap = row_cap(queryset)
        annotations = getattr(queryset, "_annotations", None) or {}
        for attempt in range(2):
            stored = self.cached(model, db) or await self.aensure(model, db)
            prepared = shapes.select(self._shapes(db, history, model, stored, variant), queryset, cap)
            plans = prepared.plans
            assert plans is not None
            driver = session.async_driver(db)
            if driver is None:
                small = prepared.limit is not None and prepared.limit <= SMALL_READ_ROWS
                fetched = await db.afetch(prepared.sql, prepared.params, small=small)
            else:
                fetched = await driver.query(prepared.sql, prepared.params)
            try:
                rows = build_rows(fetched, plans, annotations)
                break
            except UnknownVersion:
                if attempt:
                    raise
                self.forget(model)
        if variant == AS_OF and not rows:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        await self._arelate(rows, plans, queryset)
        return rows

    def count(self, queryset: Any) -> int:
        model = layout_class(queryset)
        db, history, variant = self.target(queryset)
        stored = self.ensure(model, db)
        sql, params = shapes.count(self._shapes(db, history, model, stored, variant), queryset)
        driver = session.sync_driver(db)
        if driver is None:
            found = int(db.fetch(sql, params, list)[0][0])
        else:
            found = int(driver.query(sql, params)[0][0])
        if variant == AS_OF and not found:
            check_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

    async def acount(self, queryset: Any) -> int:
        model = layout_class(queryset)
        db, history, variant = self.target(queryset)
        stored = self.cached(model, db) or await self.aensure(model, db)
        sql, params = shapes.count(self._shapes(db, history, model, stored, variant), queryset)
        driver = session.async_driver(db)
        if driver is None:
            found = int((await db.afetch(sql, params))[0][0])
        else:
            found = int((await driver.query(sql, params))[0][0])
        if variant == AS_OF and not found:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

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
                if version_variant(queryset.get_conditions()) == AS_OF:
                    # The related objects as they were at the same instant.
                    qs = qs.filter(_address__as_of=as_of_instant(queryset.get_conditions()))
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
        if not _relations(plans):
            return
        for name, target, objects in self._related_queries(rows, plans, queryset):
            if not isinstance(target, type):
                for obj in target.execute():
                    objects[obj.metadata["object_id"]] = obj
                target = target.entity
            self._attach(rows, name, target, objects)

    async def _arelate(self, rows: list[Data], plans: RowPlans, queryset: Any) -> None:
        if not _relations(plans):
            return
        for name, target, objects in self._related_queries(rows, plans, queryset):
            if not isinstance(target, type):
                for obj in await target.aexecute():
                    objects[obj.metadata["object_id"]] = obj
                target = target.entity
            self._attach(rows, name, target, objects)


def _relations(plans: RowPlans) -> bool:
    for plan in plans.plans.values():
        if plan.relations:
            return True
    return False


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
