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

from typing import TYPE_CHECKING, Any

from kestrum_models.querysets.dunmere import DEFAULT_DB_ALIAS, QuerySet, QuerySetOne, QuerySetOneRequired
from kestrum_models.querysets.errors import MultipleObjectsReturnedError, ObjectDoesNotExistError, QuerySetError
from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only

if TYPE_CHECKING:
    from kestrum_models.classes.model import Model
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
