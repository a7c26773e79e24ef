"""Pagination of query results."""

from __future__ import annotations

import copy
from collections.abc import Mapping
from typing import Any, Self


class NumberPaginator:
    """Offset and limit of a query; ``None`` means unbounded.

    A slice ``[start:stop]`` is stored as ``offset=start, limit=stop - start``.
    Values are stored as given, on construction and on assignment: executors check
    them when they run. Every query set builds and copies one, so it is a plain
    object with two slots.
    """

    __slots__ = ("limit", "offset")
    __hash__ = None  # type: ignore[assignment]  # mutable

    limit: int | None
    offset: int | None

    def __init__(self, *, limit: int | None = None, offset: int | None = None) -> None:
        self.limit = limit
        self.offset = offset

    def model_copy(self, *, update: Mapping[str, Any] | None = None, deep: bool = False) -> Self:
        """An independent copy (values copied too with ``deep``), with the fields of ``update`` replaced."""
        new = object.__new__(type(self))
        if deep:
            new.limit, new.offset = copy.deepcopy((self.limit, self.offset))
        else:
            new.limit, new.offset = self.limit, self.offset
        if update:
            for name, value in update.items():
                setattr(new, name, value)
        return new

    def __copy__(self) -> Self:
        return self.model_copy()

    def __deepcopy__(self, memo: dict[int, Any] | None = None) -> Self:
        return self.model_copy(deep=True)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, NumberPaginator)
        return (self.limit, self.offset) == (other.limit, other.offset)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(limit={self.limit!r}, offset={self.offset!r})"
