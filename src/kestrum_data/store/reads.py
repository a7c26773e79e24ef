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

from collections.abc import AsyncIterator, Awaitable, Callable, Iterator, Mapping, Sequence
from typing import Any, Final

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.config import ALIAS_URL_ENV_PREFIX, configured_aliases, database_url, is_configured
from kestrum_data.store import session, shapes
from kestrum_data.store.classes import ClassRegistry
from kestrum_data.store.database import Database
from kestrum_data.store.engines import open_database
from kestrum_data.store.errors import InvalidValueError, QueryError, UnknownAliasError, UnknownFieldError
from kestrum_data.store.fields import RELATION
from kestrum_data.store.query import (
    AS_OF,
    NeedsRelated,
    RowPlans,
    Source,
    UnknownVersion,
    aggregate_reader,
    as_of_instant,
    build_rows,
    compile_aggregate,
    compile_page,
    version_variant,
)
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
            prepared = self._compiled(
                db, history, variant, model, stored, lambda found: shapes.select(found, queryset, cap)
            )
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
            prepared = await self._acompiled(
                db, history, variant, model, stored, lambda found: shapes.select(found, queryset, cap)
            )
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
        sql, params = self._compiled(db, history, variant, model, stored, lambda found: shapes.count(found, queryset))
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
        sql, params = await self._acompiled(
            db, history, variant, model, stored, lambda found: shapes.count(found, queryset)
        )
        driver = session.async_driver(db)
        if driver is None:
            found = int((await db.afetch(sql, params))[0][0])
        else:
            found = int((await driver.query(sql, params))[0][0])
        if variant == AS_OF and not found:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

    # -- lookups and orderings across relations ----------------------------------

    def _compiled[T](
        self, db: Database, history: bool, variant: str | None, model: type[Any], stored: StoredClass,
        compile: Callable[[shapes.Shapes], T],
    ) -> T:
        """``compile`` given the class's shapes; for a query crossing relations, given a source that
        joins the related classes' latest objects (registered in ``db`` as needed), kept for no other query."""
        return compiled(self.registry, db, history, model, stored, compile, variant)

    async def _acompiled[T](
        self, db: Database, history: bool, variant: str | None, model: type[Any], stored: StoredClass,
        compile: Callable[[shapes.Shapes], T],
    ) -> T:
        return await acompiled(self.registry, db, history, model, stored, compile, variant)

    # -- exists, values, aggregates, pages ----------------------------------------

    def _target(self, queryset: Any) -> tuple[type[Any], Database, bool, str | None]:
        model = layout_class(queryset)
        db, history, variant = self.target(queryset)
        return model, db, history, variant

    def _fetch(self, db: Database, sql: str, params: list[Any], consume: Callable[[Any], Any]) -> Any:
        driver = session.sync_driver(db)
        if driver is None:
            return db.fetch(sql, params, consume)
        return driver.fetch_into(sql, params, consume)

    async def _afetch(self, db: Database, sql: str, params: list[Any], *, small: bool = False) -> list[Any]:
        driver = session.async_driver(db)
        if driver is None:
            return await db.afetch(sql, params, small=small)
        return await driver.query(sql, params)

    def exists(self, queryset: Any) -> bool:
        """Whether a query set selects any row (at most one row is read)."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or self.ensure(model, db)
        sql, params = self._compiled(db, history, variant, model, stored, lambda found: shapes.exists(found, queryset))
        found = bool(self._fetch(db, sql, params, _any_row))
        if variant == AS_OF and not found:
            check_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

    async def aexists(self, queryset: Any) -> bool:
        """Asynchronous :meth:`exists`."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or await self.aensure(model, db)
        sql, params = await self._acompiled(
            db, history, variant, model, stored, lambda found: shapes.exists(found, queryset)
        )
        found = bool(await self._afetch(db, sql, params, small=True))
        if variant == AS_OF and not found:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

    def values(self, queryset: Any, names: Sequence[str], form: str) -> list[Any]:
        """The named fields (all when none is named) of each row: ``form`` "dict", "tuple" or "flat"."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or self.ensure(model, db)
        names = _value_names(names, form)
        sql, params, readers = self._compiled(
            db, history, variant, model, stored, lambda found: shapes.values(found, queryset, names)
        )
        found: list[Any] = self._fetch(db, sql, params, _values_of(readers, names or tuple(stored.fields), form))
        if variant == AS_OF and not found:
            check_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return found

    async def avalues(self, queryset: Any, names: Sequence[str], form: str) -> list[Any]:
        """Asynchronous :meth:`values`."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or await self.aensure(model, db)
        names = _value_names(names, form)
        sql, params, readers = await self._acompiled(
            db, history, variant, model, stored, lambda found: shapes.values(found, queryset, names)
        )
        limit = queryset.get_paginator().limit
        rows = await self._afetch(db, sql, params, small=type(limit) is int and limit <= SMALL_READ_ROWS)
        if variant == AS_OF and not rows:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        return _values_of(readers, names or tuple(stored.fields), form)(rows)

    def aggregate(self, queryset: Any, named: Mapping[str, Any], group: Sequence[str]) -> list[dict[str, Any]]:
        """Aggregates over the rows of a query set: one dict, or one per group of values of ``group``
        (ordered by them)."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or self.ensure(model, db)
        _check_names(named, group)
        if variant == AS_OF:  # aggregates of nothing give a row too: ask first
            check_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        statement, source = self._compiled(
            db, history, variant, model, stored,
            lambda found: (compile_aggregate(found.source, queryset, named, group), found.source),
        )
        found: list[dict[str, Any]] = self._fetch(db, statement.sql, statement.params, _aggregates_of(statement, source))
        return found

    async def aaggregate(self, queryset: Any, named: Mapping[str, Any], group: Sequence[str]) -> list[dict[str, Any]]:
        """Asynchronous :meth:`aggregate`."""
        model, db, history, variant = self._target(queryset)
        stored = self.cached(model, db) or await self.aensure(model, db)
        _check_names(named, group)
        if variant == AS_OF:
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))
        statement, source = await self._acompiled(
            db, history, variant, model, stored,
            lambda found: (compile_aggregate(found.source, queryset, named, group), found.source),
        )
        return _aggregates_of(statement, source)(await self._afetch(db, statement.sql, statement.params))

    def pages(self, queryset: Any, size: int) -> Iterator[list[Data]]:
        """The rows of a query set as records, a page of at most ``size`` rows at a time.

        Pages follow one another in the query set's order made total by the object id
        (keyset pages: each starts after the last row of the one before, never at a
        growing offset), so memory stays bounded whatever the number of rows. Each page
        is read by a statement of its own: an object saved meanwhile may be seen as it
        was or as it is, and one whose ordering fields changed may be seen twice or not.
        """
        model, db, history, variant = self._target(queryset)
        paging = _Paging(queryset, size)
        annotations = getattr(queryset, "_annotations", None) or {}
        kept: dict[int, RowPlans] = {}  # by stored class: one set of row plans for every page
        seen = False
        while paging.next_size() > 0:
            for attempt in range(2):
                stored = self.ensure(model, db)
                page, source = self._compiled(db, history, variant, model, stored, paging.statement(queryset))
                plans = kept.get(id(stored)) or kept.setdefault(id(stored), RowPlans(source, page.columns, page.only))
                rows = self._fetch(db, page.sql, page.params, list)
                try:
                    records = build_rows(rows, plans, annotations)
                    break
                except UnknownVersion:
                    if attempt:
                        raise
                    self.forget(model)
                    kept.clear()
            self._relate(records, plans, queryset)
            paging.advance(rows, page.keys)
            if records:
                seen = True
                yield records
        if variant == AS_OF and not seen:
            check_horizon(db, self.ensure(model, db), as_of_instant(queryset.get_conditions()))

    async def apages(self, queryset: Any, size: int) -> AsyncIterator[list[Data]]:
        """Asynchronous :meth:`pages`."""
        model, db, history, variant = self._target(queryset)
        paging = _Paging(queryset, size)
        annotations = getattr(queryset, "_annotations", None) or {}
        kept: dict[int, RowPlans] = {}
        seen = False
        while (count := paging.next_size()) > 0:
            for attempt in range(2):
                stored = self.cached(model, db) or await self.aensure(model, db)
                page, source = await self._acompiled(db, history, variant, model, stored, paging.statement(queryset))
                plans = kept.get(id(stored)) or kept.setdefault(id(stored), RowPlans(source, page.columns, page.only))
                rows = await self._afetch(db, page.sql, page.params, small=count <= SMALL_READ_ROWS)
                try:
                    records = build_rows(rows, plans, annotations)
                    break
                except UnknownVersion:
                    if attempt:
                        raise
                    self.forget(model)
                    kept.clear()
            await self._arelate(records, plans, queryset)
            paging.advance(rows, page.keys)
            if records:
                seen = True
                yield records
        if variant == AS_OF and not seen:
            stored = self.cached(model, db) or await self.aensure(model, db)
            await acheck_horizon(db, stored, as_of_instant(queryset.get_conditions()))

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


# -- relations, values, aggregates, pages ------------------------------------------------

#: Relations a lookup or ordering may cross (levels of joins).
MAX_JOINED: Final = 16


def _related_source(
    registry: ClassRegistry, class_name: str, db: Database, stored_of: StoredClass, variant: str | None = None
) -> Source:
    from kestrum_models.classes.class_manager import ClassManager

    model = ClassManager.import_class(class_name)
    # As of an instant: the related class's history, read as of the same instant.
    history = variant == AS_OF or (db is registry.history_db and not registry.shared)
    return Source(db.dialect, stored_of, registry.model_fields(model), history, db is registry.history_db)


def _joined(registry: ClassRegistry, db: Database, history: bool, model: type[Any], stored: StoredClass,
            related: dict[str, Source], variant: str | None) -> shapes.Shapes:
    source = Source(
        db.dialect, stored, registry.model_fields(model), history, db is registry.history_db, variant, related
    )
    return shapes.Shapes(source)


def compiled[T](
    registry: ClassRegistry, db: Database, history: bool, model: type[Any], stored: StoredClass,
    compile: Callable[[shapes.Shapes], T], variant: str | None = None,
) -> T:
    """``compile`` given the shapes of a class read from ``db`` (the latest objects, or with ``history``
    every version), or, when the query crosses relations, shapes of a source joining the latest
    objects of the related classes (registered in ``db`` as needed; such shapes are not kept)."""
    from kestrum_models.classes.class_manager import ClassManager

    shared = db is registry.history_db
    try:
        return compile(shapes.shapes_of(db.dialect, stored, registry.model_fields(model), history, shared, variant))
    except NeedsRelated as needed:
        wanted = needed.class_name
    related: dict[str, Source] = {}
    for _ in range(MAX_JOINED):
        related_stored = registry.ensure(ClassManager.import_class(wanted), db)
        related[wanted] = _related_source(registry, wanted, db, related_stored, variant)
        try:
            return compile(_joined(registry, db, history, model, stored, related, variant))
        except NeedsRelated as needed:
            wanted = needed.class_name
    raise InvalidValueError(f"a query may cross at most {MAX_JOINED} relations")


async def acompiled[T](
    registry: ClassRegistry, db: Database, history: bool, model: type[Any], stored: StoredClass,
    compile: Callable[[shapes.Shapes], T], variant: str | None = None,
) -> T:
    """Asynchronous :func:`compiled`."""
    from kestrum_models.classes.class_manager import ClassManager

    shared = db is registry.history_db
    try:
        return compile(shapes.shapes_of(db.dialect, stored, registry.model_fields(model), history, shared, variant))
    except NeedsRelated as needed:
        wanted = needed.class_name
    related: dict[str, Source] = {}
    for _ in range(MAX_JOINED):
        related_model = ClassManager.import_class(wanted)
        related_stored = registry.cached(related_model, db) or await registry.aensure(related_model, db)
        related[wanted] = _related_source(registry, wanted, db, related_stored, variant)
        try:
            return compile(_joined(registry, db, history, model, stored, related, variant))
        except NeedsRelated as needed:
            wanted = needed.class_name
    raise InvalidValueError(f"a query may cross at most {MAX_JOINED} relations")


def _any_row(rows: Any) -> bool:
    for _ in rows:
        return True
    return False


def _value_names(names: Sequence[str], form: str) -> tuple[str, ...]:
    names = tuple(names)
    if form == "flat" and len(names) != 1:
        raise InvalidValueError(f"values_list(flat=True) takes exactly one field name, not {len(names)}")
    for name in names:
        if not isinstance(name, str):
            raise InvalidValueError(f"values() takes field names, not {name!r}")
    if len(set(names)) != len(names):
        raise InvalidValueError(f"values() names a field twice: {', '.join(names)}")
    return names


def _values_of(readers: list[Any], names: tuple[str, ...], form: str) -> Callable[[Any], list[Any]]:
    """What turns fetched rows into the values of one form."""
    read = [(i, reader) for i, reader in enumerate(readers) if reader is not None]
    if form == "flat":
        reader = readers[0]
        if reader is None:
            return lambda rows: [row[0] for row in rows]
        return lambda rows: [reader(row[0]) for row in rows]

    def converted(row: Any) -> list[Any]:
        values = list(row)
        for i, reader in read:
            values[i] = reader(values[i])
        return values

    if form == "tuple":
        if not read:
            return lambda rows: [tuple(row) for row in rows]
        return lambda rows: [tuple(converted(row)) for row in rows]
    if not read:
        return lambda rows: [dict(zip(names, row)) for row in rows]
    return lambda rows: [dict(zip(names, converted(row))) for row in rows]


def _check_names(named: Mapping[str, Any], group: Sequence[str]) -> None:
    clash = sorted(set(named).intersection(group))
    if clash:
        raise InvalidValueError(f"aggregate names {', '.join(map(repr, clash))} are also grouped fields: rename them")


def _aggregates_of(statement: Any, source: Source) -> Callable[[Any], list[dict[str, Any]]]:
    from kestrum_data.store.query import value_reader

    groups = [(selected.name, value_reader(selected.source, selected)) for selected in statement.groups]
    outputs = []
    position = len(groups)
    for name, function, selected, nan in statement.outputs:
        reader = aggregate_reader(selected.source if selected is not None else source, function, selected)
        outputs.append((name, position, reader, position + 1 if nan else None))
        position += 2 if nan else 1

    def read(rows: Any) -> list[dict[str, Any]]:
        found = []
        for row in rows:
            result = {name: row[i] if reader is None else reader(row[i]) for i, (name, reader) in enumerate(groups)}
            for name, at, reader, nan_at in outputs:
                result[name] = reader(row[at], bool(nan_at is not None and row[nan_at]))
            found.append(result)
        return found

    return read


class _Paging:
    """Where keyset pages of a query set stand: the slice's offset (for the first page only), the
    rows left of its limit, and the order terms of the last row read."""

    def __init__(self, queryset: Any, size: int) -> None:
        if type(size) is not int or size < 1:
            raise InvalidValueError(f"chunk_size must be a positive int, not {size!r}")
        paginator = queryset.get_paginator()
        offset, limit = paginator.offset, paginator.limit
        for name, value in (("offset", offset), ("limit", limit)):
            if value is not None and (type(value) is not int or value < 0):
                raise InvalidValueError(f"the slice {name} must be a non-negative int or None, not {value!r}")
        self.size = size
        self.offset: int | None = offset or None
        self.left: int | None = limit
        self.after: list[Any] | None = None
        self.done = False

    def next_size(self) -> int:
        if self.done:
            return 0
        return self.size if self.left is None else min(self.size, self.left)

    def statement(self, queryset: Any) -> Callable[[shapes.Shapes], tuple[Any, Source]]:
        size, offset, after = self.next_size(), self.offset, self.after

        def compile(found: shapes.Shapes) -> tuple[Any, Source]:
            return compile_page(found.source, queryset, size=size, offset=offset, after=after), found.source

        return compile

    def advance(self, rows: list[Any], keys: list[int]) -> None:
        size = self.next_size()
        if len(rows) < size:
            self.done = True
            return
        if self.left is not None:
            self.left -= len(rows)
        self.offset = None
        last = rows[-1]
        self.after = [last[position] for position in keys]
