"""Lazy results of a query set that are not model instances: existence, field values, aggregates.

Each holds the query set it was made from and runs nothing until ``execute()`` (or
``await aexecute()``), like ``count()``; it can be run again, each time anew. The
database computes each of them: no model instance is built.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from kestrum_models.querysets.executor import operation
from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only

if TYPE_CHECKING:
    from kestrum_models.querysets.queryset import ModelQuerySet

__all__ = ["Aggregation", "Exists", "FlatValuesList", "GroupedAggregation", "Grouping", "Values", "ValuesList"]


class _Lazy:
    __slots__ = ("queryset",)

    def __init__(self, queryset: ModelQuerySet[Any]) -> None:
        self.queryset = queryset

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {self.queryset.entity_name} objects>"


class Exists(_Lazy):
    """Whether a query set selects any object (``qs.exists()``); the database reads at most one row."""

    __slots__ = ()

    @sync_mode_only
    def execute(self) -> bool:
        """True when the query set selects at least one object."""
        queryset = self.queryset
        return operation(queryset, "exists")(queryset)  # type: ignore[no-any-return]

    @async_mode_only
    async def aexecute(self) -> bool:
        """Asynchronous :meth:`execute`."""
        queryset = self.queryset
        return await operation(queryset, "aexists")(queryset)  # type: ignore[no-any-return]


class _Fields(_Lazy):
    __slots__ = ("fields",)

    form: str

    def __init__(self, queryset: ModelQuerySet[Any], fields: tuple[str, ...]) -> None:
        super().__init__(queryset)
        self.fields = fields

    def _run(self) -> Any:
        queryset = self.queryset
        return operation(queryset, "values")(queryset, self.fields, self.form)

    async def _arun(self) -> Any:
        queryset = self.queryset
        return await operation(queryset, "avalues")(queryset, self.fields, self.form)


class Values(_Fields):
    """Each selected object's fields as a dict (``qs.values(...)``), in the query set's order."""

    __slots__ = ()
    form = "dict"

    @sync_mode_only
    def execute(self) -> list[dict[str, Any]]:
        """One dict per object: the named fields (every field when none was named)."""
        return self._run()  # type: ignore[no-any-return]

    @async_mode_only
    async def aexecute(self) -> list[dict[str, Any]]:
        """Asynchronous :meth:`execute`."""
        return await self._arun()  # type: ignore[no-any-return]


class ValuesList(_Fields):
    """Each selected object's fields as a tuple (``qs.values_list(...)``)."""

    __slots__ = ()
    form = "tuple"

    @sync_mode_only
    def execute(self) -> list[tuple[Any, ...]]:
        """One tuple per object: the named fields in the order named (every field when none was named)."""
        return self._run()  # type: ignore[no-any-return]

    @async_mode_only
    async def aexecute(self) -> list[tuple[Any, ...]]:
        """Asynchronous :meth:`execute`."""
        return await self._arun()  # type: ignore[no-any-return]


class FlatValuesList(_Fields):
    """One field of each selected object (``qs.values_list(field, flat=True)``)."""

    __slots__ = ()
    form = "flat"

    @sync_mode_only
    def execute(self) -> list[Any]:
        """The field's value of each object."""
        return self._run()  # type: ignore[no-any-return]

    @async_mode_only
    async def aexecute(self) -> list[Any]:
        """Asynchronous :meth:`execute`."""
        return await self._arun()  # type: ignore[no-any-return]


class _Aggregates(_Lazy):
    __slots__ = ("group", "named")

    def __init__(self, queryset: ModelQuerySet[Any], named: dict[str, Any], group: tuple[str, ...]) -> None:
        super().__init__(queryset)
        self.named = named
        self.group = group

    def _run(self) -> list[dict[str, Any]]:
        queryset = self.queryset
        return operation(queryset, "aggregate")(queryset, self.named, self.group)  # type: ignore[no-any-return]

    async def _arun(self) -> list[dict[str, Any]]:
        queryset = self.queryset
        return await operation(queryset, "aaggregate")(queryset, self.named, self.group)  # type: ignore[no-any-return]


class Aggregation(_Aggregates):
    """Aggregates over the selected objects (``qs.aggregate(...)``)."""

    __slots__ = ()

    @sync_mode_only
    def execute(self) -> dict[str, Any]:
        """The aggregates by name, e.g. ``{"n": 3, "total": 12.5}``."""
        return self._run()[0]

    @async_mode_only
    async def aexecute(self) -> dict[str, Any]:
        """Asynchronous :meth:`execute`."""
        return (await self._arun())[0]


class GroupedAggregation(_Aggregates):
    """Aggregates per group of selected objects (``qs.group_by(...).aggregate(...)``)."""

    __slots__ = ()

    @sync_mode_only
    def execute(self) -> list[dict[str, Any]]:
        """One dict per group, ordered by the grouped fields: their values, then the aggregates."""
        return self._run()

    @async_mode_only
    async def aexecute(self) -> list[dict[str, Any]]:
        """Asynchronous :meth:`execute`."""
        return await self._arun()


class Grouping:
    """The selected objects grouped by the values of some fields (``qs.group_by(...)``)."""

    __slots__ = ("fields", "queryset")

    def __init__(self, queryset: ModelQuerySet[Any], fields: tuple[str, ...]) -> None:
        self.queryset = queryset
        self.fields = fields

    def aggregate(self, **named: Any) -> GroupedAggregation:
        """Aggregates per group: ``group_by("genre").aggregate(n=Count())`` runs to one dict per genre."""
        return GroupedAggregation(self.queryset, named, self.fields)

    def __repr__(self) -> str:
        return f"<Grouping of {self.queryset.entity_name} objects by {', '.join(self.fields)}>"
