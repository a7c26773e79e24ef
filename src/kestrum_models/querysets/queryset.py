"""The query sets that ``Model.objects`` hands out.

:class:`ModelQuerySet` is the query set of the framework: a subclass of the native
``QuerySet`` that every building operation (``filter``, ``order_by``, ``using``, a
slice, ...) keeps, since they copy their receiver's class. It is generic in the model
class, so ``Book.objects.filter(...).execute()`` is typed ``list[Book]``.

What only a versioned store has: ``as_of(when)`` (the objects as they were at an
instant, a query set like any other), ``history(pk)`` (:class:`HistoryQuerySet`: every
version of one object), ``diff(pk, v1, v2)``, ``changes(since=cursor)``
(:class:`ChangeFeed`) and ``follow(...)``, ``prune(...)``.

``get``, ``get_or_none`` and ``first`` give :class:`ModelQuerySetOneRequired` and
:class:`ModelQuerySetOne`. Their errors keep the messages "No items found" and
"Multiple items found" and carry a note naming the model, the conditions and the
database alias. The note is written only when the error passes: a query that finds
what it must costs what the native variant costs.
"""

from __future__ import annotations

import asyncio
import datetime
from collections.abc import AsyncIterator, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Final, Literal, Self, overload

from kestrum_data.store import UniqueViolationError, storage
from kestrum_models.classes.model import Model
from kestrum_models.querysets.dunmere import DEFAULT_DB_ALIAS, QuerySet, QuerySetOne, QuerySetOneRequired
from kestrum_models.querysets.errors import MultipleObjectsReturnedError, ObjectDoesNotExistError, QuerySetError
from kestrum_models.querysets.executor import operation
from kestrum_models.querysets.results import (
    Aggregation,
    Exists,
    FlatValuesList,
    Grouping,
    Values,
    ValuesList,
)
from kestrum_utils.query.aggregates import Aggregate
from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only

if TYPE_CHECKING:
    from kestrum_data.store.timeline import Change
    from kestrum_glue import Data
    from kestrum_utils.query.utils import Q

__all__ = [
    "ChangeFeed",
    "HistoryQuerySet",
    "ModelQuerySet",
    "ModelQuerySetOne",
    "ModelQuerySetOneRequired",
    "changed_fields",
    "explain",
]


def explain(error: QuerySetError, queryset: QuerySet[Any] | QuerySetOne[Any]) -> None:
    """Add a note to a one-object query's error naming the model, the conditions and the alias."""
    conditions = queryset.get_conditions()
    where = f"matches {conditions!r}" if conditions else "exists (the query has no conditions)"
    using = queryset.get_using()
    alias = "" if using == DEFAULT_DB_ALIAS else f" in database alias {using!r}"
    if isinstance(error, MultipleObjectsReturnedError):
        error.add_note(f"more than one {queryset.entity_name} object {where}{alias}; narrow the conditions, or use first()")
    elif isinstance(error, ObjectDoesNotExistError):
        error.add_note(f"no {queryset.entity_name} object {where}{alias}")


class ModelQuerySet[M: Model](QuerySet[M]):
    """A query set over one model class, as ``Model.objects`` gives it.

    Lazy: nothing runs until ``execute()`` / ``await aexecute()``; each building
    operation returns a new query set of this class.
    """

    def get(self, *args: Q, **kwargs: Any) -> ModelQuerySetOneRequired[M]:
        """The one object matching the conditions: ``execute()`` raises when none or several match."""
        return ModelQuerySetOneRequired._from_queryset(self._filter(*args, **kwargs))

    def get_or_none(self, *args: Q, **kwargs: Any) -> ModelQuerySetOne[M]:
        """The one object matching the conditions, or None: ``execute()`` raises when several match."""
        return ModelQuerySetOne._from_queryset(self._filter(*args, **kwargs))

    def first(self, *args: Q, **kwargs: Any) -> ModelQuerySetOne[M]:
        """The first object matching the conditions (in the query set's ordering), or None."""
        qs = ModelQuerySetOne._from_queryset(self._filter(*args, **kwargs))
        qs._raise_on_multiple = False
        return qs

    # -- history, time travel, the change feed, pruning --------------------------

    def as_of(self, when: datetime.datetime) -> Self:
        """The objects as they were at ``when`` (timezone-aware): each one's version current
        then, objects deleted then left out. Every operation works on the result as on the
        latest objects; it replaces an earlier ``as_of``. Raises
        :class:`~kestrum_data.store.PrunedHistoryError` on execution when pruning removed
        versions current at ``when``.
        """
        from kestrum_utils.query.utils import Q

        instant = _instant(when, "as_of()")
        qs = self._copy()
        rest = _without(qs.get_conditions(), AS_OF_LOOKUP)
        # First among the conditions: later filters AND theirs on after it.
        qs._conditions = Q((AS_OF_LOOKUP, instant)) if rest is None else Q((AS_OF_LOOKUP, instant), rest)
        return qs

    def history(self, pk: int) -> HistoryQuerySet[M]:
        """Every version of the object ``pk``, oldest first, deletions included (lazy)."""
        qs = HistoryQuerySet._from_queryset(self.filter(**{HISTORY_LOOKUP: True, "_address__object_id": pk}))
        return qs.order_by("_address__object_version") if not self.get_order_by() else qs

    @sync_mode_only
    def diff(self, pk: int, v1: int, v2: int) -> dict[str, tuple[Any, Any]]:
        """The fields that differ from version ``v1`` to version ``v2`` of the object ``pk``:
        name -> (value in ``v1``, value in ``v2``)."""
        return self._diff(pk, v1, v2, self._versions(pk, v1, v2).execute())

    @async_mode_only
    async def adiff(self, pk: int, v1: int, v2: int) -> dict[str, tuple[Any, Any]]:
        """Asynchronous :meth:`diff`."""
        return self._diff(pk, v1, v2, await self._versions(pk, v1, v2).aexecute())

    def _versions(self, pk: int, *versions: int) -> HistoryQuerySet[M]:
        return self.history(pk).filter(_address__object_version__in=list(versions))

    def _diff(self, pk: int, v1: int, v2: int, found: list[Any]) -> dict[str, tuple[Any, Any]]:
        by_version = {obj.metadata["object_version"]: obj for obj in found}
        missing = [v for v in (v1, v2) if v not in by_version]
        if missing:
            raise ObjectDoesNotExistError(f"{self.entity_name} object {pk} has no version {missing[0]}")
        old, new = by_version[v1], by_version[v2]
        _refuse_deletion(old, "compare")
        _refuse_deletion(new, "compare")
        return changed_fields(old, new)

    def changes(self, since: str | Change | None = None) -> ChangeFeed[M]:
        """The versions of the class committed after the cursor ``since`` (a change's
        ``cursor``, or the change itself; None: from the beginning), in commit order (lazy)."""
        return ChangeFeed(_whole_class(self, "changes()"), since)

    async def follow(self, since: str | Change | None = None, *, poll: float = 1.0,
                     batch: int = 1000) -> AsyncIterator[Change]:
        """Every change committed after ``since``, then each new one as it commits: an
        endless asynchronous iterator that reads the feed again every ``poll`` seconds
        while there is nothing new (``batch`` entries per read)."""
        from kestrum_data.store import storage
        from kestrum_data.store.errors import InvalidValueError

        entity = _whole_class(self, "follow()")
        if not isinstance(poll, int | float) or isinstance(poll, bool) or not poll > 0:
            raise InvalidValueError(f"follow() polls every poll > 0 seconds, not {poll!r}")
        if type(batch) is not int or batch < 1:
            raise InvalidValueError(f"follow() reads batch >= 1 entries at a time, not {batch!r}")
        cursor = since
        while True:
            found = await storage().achanges(entity, cursor, batch)
            for change in found:
                yield change
            if found:
                cursor = found[-1]
            if len(found) < batch:
                await asyncio.sleep(poll)

    @sync_mode_only
    def prune(self, *, keep_last: int | None = None, older_than: datetime.datetime | None = None) -> int:
        """Remove old versions from the class's history in one transaction; returns how many.

        ``keep_last=n``: every version but the last ``n`` of each object; ``older_than=when``:
        every version replaced at or before ``when``. An object's latest version stays.
        Afterwards ``as_of()`` before the pruned versions' time, and the feed after their
        cursors, raise :class:`~kestrum_data.store.PrunedHistoryError`.
        """
        from kestrum_data.store import storage

        return storage().prune(_whole_class(self, "prune()"), keep_last=keep_last, older_than=older_than)

    @async_mode_only
    async def aprune(self, *, keep_last: int | None = None, older_than: datetime.datetime | None = None) -> int:
        """Asynchronous :meth:`prune`."""
        from kestrum_data.store import storage

        return await storage().aprune(_whole_class(self, "prune()"), keep_last=keep_last, older_than=older_than)

    # -- reads that build no instances (lazy: run with execute() / aexecute()) ----------

    def exists(self) -> Exists:
        """Whether any object matches: ``execute()`` gives a bool, reading at most one row."""
        return Exists(self)

    def values(self, *fields: str) -> Values:
        """The named fields (every field when none is named) of each object, as dicts."""
        return Values(self, _field_names(fields, "values"))

    @overload
    def values_list(self, *fields: str, flat: Literal[False] = False) -> ValuesList: ...

    @overload
    def values_list(self, *fields: str, flat: Literal[True]) -> FlatValuesList: ...

    def values_list(self, *fields: str, flat: bool = False) -> ValuesList | FlatValuesList:
        """The named fields of each object as tuples; with ``flat=True`` and one field, its values."""
        names = _field_names(fields, "values_list")
        if flat:
            if len(names) != 1:
                raise TypeError(f"values_list(flat=True) takes exactly one field name, not {len(names)}")
            return FlatValuesList(self, names)
        return ValuesList(self, names)

    def aggregate(self, **named: Aggregate) -> Aggregation:
        """Aggregates computed by the database: ``aggregate(n=Count(), total=Sum("price"))``
        runs to ``{"n": ..., "total": ...}``."""
        return Aggregation(self, _aggregates(named), ())

    def group_by(self, *fields: str) -> Grouping:
        """The objects grouped by the values of ``fields``: ``.aggregate(...)`` then gives one dict per group."""
        names = _field_names(fields, "group_by")
        if not names:
            raise TypeError("group_by() needs at least one field name")
        return Grouping(self, names)

    # -- bounded iteration ---------------------------------------------------------

    @sync_mode_only
    def iterator(self, chunk_size: int = 2000) -> Iterator[M]:
        """The objects, one at a time, read ``chunk_size`` rows at a time (memory stays bounded).

        Pages follow the query set's ordering made total by the object id, each starting
        after the last row of the one before: each object that stays in place is seen
        once, whatever others do meanwhile.
        """
        _check_chunk_size(chunk_size)
        return _instances(self, operation(self, "pages")(self, chunk_size))

    @async_mode_only
    def aiterator(self, chunk_size: int = 2000) -> AsyncIterator[M]:
        """Asynchronous :meth:`iterator`: ``async for obj in qs.aiterator(): ...``."""
        _check_chunk_size(chunk_size)
        return _ainstances(self, operation(self, "apages")(self, chunk_size))

    # -- writes by query (run at once) ----------------------------------------------

    @sync_mode_only
    def update(self, **values: Any) -> int:
        """Give every matching object a new version with ``values`` set; returns how many.

        One statement in one transaction, built from the query: no object is loaded.
        Instances loaded earlier are stale afterwards (saving one raises ConflictError).
        """
        return operation(self, "rewrite")(self, values)  # type: ignore[no-any-return]

    @async_mode_only
    async def aupdate(self, **values: Any) -> int:
        """Asynchronous :meth:`update`."""
        return await operation(self, "arewrite")(self, values)  # type: ignore[no-any-return]

    @sync_mode_only
    def delete(self) -> int:
        """Delete every matching object (one deletion version each; the history stays); returns how many."""
        return operation(self, "rewrite")(self, None)  # type: ignore[no-any-return]

    @async_mode_only
    async def adelete(self) -> int:
        """Asynchronous :meth:`delete`."""
        return await operation(self, "arewrite")(self, None)  # type: ignore[no-any-return]

    @sync_mode_only
    def get_or_create(self, defaults: Mapping[str, Any] | None = None, **lookups: Any) -> tuple[M, bool]:
        """The object matching ``lookups``, or a new one made of ``lookups`` and ``defaults``, saved;
        with whether it was created.

        Two callers at once create one object: the lookup and the creation share one
        transaction, serialised with other such calls for the same lookups (and a
        unique constraint covering the lookups settles it against any other writer).
        """
        found = self.get_or_none(**lookups).execute()
        if found is not None:
            return found, False
        store = storage()
        with store.transaction():
            store.lock(_lock_key(self, lookups))
            return self._get_or_create(defaults, lookups, update=False)

    @async_mode_only
    async def aget_or_create(self, defaults: Mapping[str, Any] | None = None, **lookups: Any) -> tuple[M, bool]:
        """Asynchronous :meth:`get_or_create`."""
        found = await self.get_or_none(**lookups).aexecute()
        if found is not None:
            return found, False
        store = storage()
        async with store.atransaction():
            await store.alock(_lock_key(self, lookups))
            return await self._aget_or_create(defaults, lookups, update=False)

    @sync_mode_only
    def update_or_create(self, defaults: Mapping[str, Any] | None = None, **lookups: Any) -> tuple[M, bool]:
        """The object matching ``lookups`` with ``defaults`` set and saved, or a new one made of both;
        with whether it was created. Race-safe as :meth:`get_or_create`."""
        store = storage()
        with store.transaction():
            store.lock(_lock_key(self, lookups))
            return self._get_or_create(defaults, lookups, update=True)

    @async_mode_only
    async def aupdate_or_create(self, defaults: Mapping[str, Any] | None = None, **lookups: Any) -> tuple[M, bool]:
        """Asynchronous :meth:`update_or_create`."""
        store = storage()
        async with store.atransaction():
            await store.alock(_lock_key(self, lookups))
            return await self._aget_or_create(defaults, lookups, update=True)

    def _get_or_create(self, defaults: Mapping[str, Any] | None, lookups: dict[str, Any], *, update: bool) -> tuple[M, bool]:
        found = self.get_or_none(**lookups).execute()
        if found is None:
            obj = self.entity(**_created(lookups, defaults))
            try:
                return obj.save(), True
            except UniqueViolationError:
                # Another writer stored it first (or the values collide with another object).
                found = self.get_or_none(**lookups).execute()
                if found is None:
                    raise
        if update and defaults:
            for name, value in defaults.items():
                setattr(found, name, value)
            found.save()
        return found, False

    async def _aget_or_create(
        self, defaults: Mapping[str, Any] | None, lookups: dict[str, Any], *, update: bool
    ) -> tuple[M, bool]:
        found = await self.get_or_none(**lookups).aexecute()
        if found is None:
            obj = self.entity(**_created(lookups, defaults))
            try:
                return await obj.asave(), True
            except UniqueViolationError:
                found = await self.get_or_none(**lookups).aexecute()
                if found is None:
                    raise
        if update and defaults:
            for name, value in defaults.items():
                setattr(found, name, value)
            await found.asave()
        return found, False


def _field_names(fields: tuple[Any, ...], method: str) -> tuple[str, ...]:
    for name in fields:
        if not isinstance(name, str):
            raise TypeError(f"{method}() takes field names (str), not {type(name).__name__}")
    return fields


def _aggregates(named: dict[str, Any]) -> dict[str, Any]:
    if not named:
        raise TypeError("aggregate() needs at least one named aggregate, such as n=Count()")
    for name, value in named.items():
        if not isinstance(value, Aggregate):
            raise TypeError(f"aggregate {name}= takes Count, Sum, Avg, Min or Max, not {type(value).__name__}")
    return named


def _check_chunk_size(chunk_size: Any) -> None:
    if type(chunk_size) is not int or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive int, not {chunk_size!r}")


def _instances[M: Model](queryset: ModelQuerySet[M], pages: Iterator[list[Data]]) -> Iterator[M]:
    create = queryset._create_instance
    partial = bool(queryset.get_query_specifier().only)
    try:
        for records in pages:
            for record in records:
                yield create(_is_partial=partial, data=record)
    finally:  # an iteration left early ends its pages at once
        close = getattr(pages, "close", None)
        if close is not None:
            close()


async def _ainstances[M: Model](queryset: ModelQuerySet[M], pages: AsyncIterator[list[Data]]) -> AsyncIterator[M]:
    create = queryset._acreate_instance
    partial = bool(queryset.get_query_specifier().only)
    try:
        async for records in pages:
            for record in records:
                yield await create(_is_partial=partial, data=record)
    finally:
        close = getattr(pages, "aclose", None)
        if close is not None:
            await close()


def _created(lookups: dict[str, Any], defaults: Mapping[str, Any] | None) -> dict[str, Any]:
    """The field values of an object made by get_or_create: plain ``field=value`` lookups, then the defaults."""
    values = {name: value for name, value in lookups.items() if "__" not in name and not name.startswith("_")}
    values.update(defaults or {})
    return values


def _lock_key(queryset: ModelQuerySet[Any], lookups: dict[str, Any]) -> str:
    """What get_or_create calls for the same objects hold while they look and create."""
    shown = sorted((name, getattr(value, "pk", value) if isinstance(value, Model) else value)
                   for name, value in lookups.items())
    return f"get_or_create:{queryset.table_name}:{shown!r}"


class ModelQuerySetOne[M: Model](QuerySetOne[M]):
    """A query set executed to one object or None (``get_or_none``, ``first``)."""

    @sync_mode_only
    def execute(self) -> M | None:
        """The one object, or None; raises :class:`MultipleObjectsReturnedError` when several match."""
        try:
            return super().execute()
        except QuerySetError as error:
            explain(error, self)
            raise

    @async_mode_only
    async def aexecute(self) -> M | None:
        """Asynchronous :meth:`execute`."""
        try:
            return await super().aexecute()
        except QuerySetError as error:
            explain(error, self)
            raise


class ModelQuerySetOneRequired[M: Model](QuerySetOneRequired[M]):
    """A query set executed to exactly one object (``get``)."""

    @sync_mode_only
    def execute(self) -> M:
        """The one object; raises :class:`ObjectDoesNotExistError` or :class:`MultipleObjectsReturnedError`."""
        try:
            return super().execute()
        except QuerySetError as error:
            explain(error, self)
            raise

    @async_mode_only
    async def aexecute(self) -> M:
        """Asynchronous :meth:`execute`."""
        try:
            return await super().aexecute()
        except QuerySetError as error:
            explain(error, self)
            raise


# -- history, time travel, the change feed, pruning -----------------------------------

AS_OF_LOOKUP: Final = "_address__as_of"
HISTORY_LOOKUP: Final = "_address__history"


def _instant(when: Any, what: str) -> datetime.datetime:
    from kestrum_data.store.errors import InvalidValueError

    if not isinstance(when, datetime.datetime) or when.utcoffset() is None:
        raise InvalidValueError(f"{what} needs a timezone-aware datetime, not {when!r}")
    return when


def _without(conditions: Q | None, key: str) -> Q | None:
    """The conditions less their top-level lookup ``key`` (a query set's earlier as_of)."""
    from kestrum_utils.query.utils import Q

    if conditions is None or conditions.negated or conditions.connector != "AND":
        return conditions
    kept = [child for child in conditions.children if not (type(child) is tuple and child[0] == key)]
    if len(kept) == len(conditions.children):
        return conditions
    return Q(*kept) if kept else None


def _field_values(obj: Any) -> dict[str, Any]:
    """The stored fields of an instance (of a legacy row: every field it holds)."""
    from kestrum_models.classes.model import METADATA_FIELD, LegacyModel

    if isinstance(obj, LegacyModel):
        return dict(obj.__pydantic_extra__ or {})
    return {name: obj.__dict__.get(name) for name in type(obj).__pydantic_fields__ if name != METADATA_FIELD}


def _same(old: Any, new: Any) -> bool:
    if old is new:
        return True
    if isinstance(old, Model) and isinstance(new, Model) and type(old).__name__ == type(new).__name__:
        # A related object, loaded or only referenced: the same object is the same value.
        ids = [(obj.__dict__.get("metadata") or {}).get("object_id") for obj in (old, new)]
        if ids[0] is not None:
            return ids[0] == ids[1]
    if isinstance(old, float) and isinstance(new, float) and old != old and new != new:
        return True  # NaN is NaN, as the store's lookups have it
    try:
        return bool(old == new)
    except Exception:  # noqa: BLE001 - values that cannot tell are different
        return False


def changed_fields(old: Any, new: Any) -> dict[str, tuple[Any, Any]]:
    """The fields whose values differ between two versions: name -> (old value, new value).

    A field one of them lacks (another class version's) has the value None there.
    """
    before, after = _field_values(old), _field_values(new)
    names = [*before, *(name for name in after if name not in before)]
    return {
        name: (before.get(name), after.get(name))
        for name in names
        if not _same(before.get(name), after.get(name))
    }


def _refuse_deletion(obj: Any, action: str) -> None:
    from kestrum_data.store.errors import InvalidValueError

    metadata = obj.metadata or {}
    if metadata.get("deleted"):
        raise InvalidValueError(
            f"version {metadata['object_version']} of {obj.original_class.__name__} object {metadata['object_id']} "
            f"records the object's deletion: it has no fields to {action}"
        )


class HistoryQuerySet[M: Model](ModelQuerySet[M]):
    """Every version of one object, oldest first, as ``Model.objects.history(pk)`` gives it.

    Lazy like any query set: slice it, filter it, ``count()`` it. Each version is an
    instance (a row its class cannot read, and a deletion, a ``LegacyModel``) carrying
    ``saved_at``, ``note`` and ``deleted`` with its address. ``order_by("-version")``
    gives the newest first (``version`` names the object version, unless the class has
    a field of that name).
    """

    def order_by(self, *args: str) -> Self:
        """Order the versions; ``"version"`` / ``"-version"`` is the object version."""
        if "version" not in self.entity.__pydantic_fields__:
            args = tuple(
                f"{arg[: len(arg) - len('version')]}_address__object_version" if arg in ("version", "-version") else arg
                for arg in args
            )
        return super().order_by(*args)


class ChangeFeed[M: Model]:
    """The versions of a class committed after a cursor, in commit order: ``Model.objects.changes(since=...)``.

    Lazy: ``execute()`` / ``await aexecute()`` read them, as :class:`~kestrum_data.store.Change`
    entries; ``feed[:n]`` reads at most ``n``. Each entry's ``cursor`` resumes after it.
    """

    __slots__ = ("entity", "limit", "since")

    def __init__(self, entity: type[M], since: str | Change | None = None, limit: int | None = None) -> None:
        from kestrum_data.store.timeline import parse_cursor

        parse_cursor(since)  # refused at once when it is no cursor
        self.entity = entity
        self.since = since
        self.limit = limit

    def __getitem__(self, index: slice) -> ChangeFeed[M]:
        if type(index) is not slice or index.start not in (None, 0) or index.step not in (None, 1):
            raise TypeError("a change feed takes slices [:n] only (resume from a cursor to read on)")
        stop = index.stop
        if stop is not None and (type(stop) is not int or stop < 0):
            raise TypeError(f"a change feed's slice stop must be a non-negative int, not {stop!r}")
        limit = stop if self.limit is None or stop is None else min(stop, self.limit)
        return ChangeFeed(self.entity, self.since, self.limit if stop is None else limit)

    @sync_mode_only
    def execute(self) -> list[Change]:
        """The entries, oldest commit first."""
        from kestrum_data.store import storage

        return storage().changes(self.entity, self.since, self.limit)

    @async_mode_only
    async def aexecute(self) -> list[Change]:
        """Asynchronous :meth:`execute`."""
        from kestrum_data.store import storage

        return await storage().achanges(self.entity, self.since, self.limit)

    def __repr__(self) -> str:
        return f"<ChangeFeed of {self.entity.__name__} since {self.since!r}>"


def _whole_class(qs: ModelQuerySet[Any], what: str) -> type[Any]:
    from kestrum_data.store.errors import InvalidValueError

    paginator = qs.get_paginator()
    if qs.get_conditions() or qs.get_order_by() or paginator.offset is not None or paginator.limit is not None:
        raise InvalidValueError(f"{what} applies to a class's whole history: call it on Model.objects, unfiltered")
    return qs.entity
