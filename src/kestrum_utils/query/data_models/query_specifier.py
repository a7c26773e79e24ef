"""Column selection of a query."""

from __future__ import annotations

import copy
from collections.abc import Mapping
from typing import Any, Self


class QuerySpecifier:
    """Which columns a query loads (``only``) and which it de-duplicates on (``distinct``).

    An empty list means no restriction. Lists are stored as given, on construction
    and on assignment: executors check them when they run. Every query set builds
    and deep-copies one, so it is a plain object with two slots.
    """

    __slots__ = ("distinct", "only")
    __hash__ = None  # type: ignore[assignment]  # mutable

    only: list[str]
    distinct: list[str]

    def __init__(self, *, only: list[str] | None = None, distinct: list[str] | None = None) -> None:
        self.only = [] if only is None else only
        self.distinct = [] if distinct is None else distinct

    def model_copy(self, *, update: Mapping[str, Any] | None = None, deep: bool = False) -> Self:
        """A copy sharing the lists, or with ``deep`` one sharing no list; the fields of ``update`` replaced."""
        new = object.__new__(type(self))
        only, distinct = self.only, self.distinct
        if deep:
            # Lists of field names (str, immutable) are deep-copied by copying the list.
            new.only = only.copy() if type(only) is list and (not only or _names(only)) else copy.deepcopy(only)
            new.distinct = (
                distinct.copy() if type(distinct) is list and (not distinct or _names(distinct)) else copy.deepcopy(distinct)
            )
        else:
            new.only, new.distinct = only, distinct
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
        assert isinstance(other, QuerySpecifier)
        return (self.only, self.distinct) == (other.only, other.distinct)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(only={self.only!r}, distinct={self.distinct!r})"


def _names(items: list[Any]) -> bool:
    for item in items:
        if type(item) is not str:
            return False
    return True
