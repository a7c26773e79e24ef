"""The query sets that ``Model.objects`` hands out.

:class:`ModelQuerySet` is the query set of the framework: a subclass of the native
``QuerySet`` that every building operation (``filter``, ``order_by``, ``using``, a
slice, ...) keeps, since they copy their receiver's class. It is generic in the model
class, so ``Book.objects.filter(...).execute()`` is typed ``list[Book]``.

``get``, ``get_or_none`` and ``first`` give :class:`ModelQuerySetOneRequired` and
:class:`ModelQuerySetOne`. Their errors keep the messages "No items found" and
"Multiple items found" and carry a note naming the model, the conditions and the
database alias. The note is written only when the error passes: a query that finds
what it must costs what the native variant costs.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Literal, overload

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
    from kestrum_glue import Data
    from kestrum_utils.query.utils import Q

__all__ = ["ModelQuerySet", "ModelQuerySetOne", "ModelQuerySetOneRequired", "explain"]


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
