"""Aggregate functions of a query: ``Count``, ``Sum``, ``Avg``, ``Min`` and ``Max``.

Each names the field it reads (``Count()`` alone counts the objects) and is computed
by the database::

    Book.objects.filter(genre="novel").aggregate(n=Count(), total=Sum("price")).execute()
    # {"n": 3, "total": 12.5}

``Count("field")`` counts the objects whose field is not null, and with
``distinct=True`` the different values. Over no objects, ``Count`` gives 0 and the
others ``None``.
"""

from __future__ import annotations

from typing import Any, ClassVar, Final

AGGREGATE_NAMES: Final = ("count", "sum", "avg", "min", "max")


class Aggregate:
    """One aggregate function over a field (a value object: equal when function, field and distinct agree)."""

    __slots__ = ("distinct", "field")

    function: ClassVar[str]

    field: str | None
    distinct: bool

    def __init__(self, field: str, *, distinct: bool = False) -> None:
        if not isinstance(field, str) or not field:
            raise TypeError(f"{type(self).__name__}() needs a field name (a non-empty str), not {field!r}")
        self.field = field
        self.distinct = bool(distinct)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Aggregate):
            return NotImplemented
        return (self.function, self.field, self.distinct) == (other.function, other.field, other.distinct)

    def __hash__(self) -> int:
        return hash((self.function, self.field, self.distinct))

    def __repr__(self) -> str:
        args = [] if self.field is None else [repr(self.field)]
        if self.distinct:
            args.append("distinct=True")
        return f"{type(self).__name__}({', '.join(args)})"

    def key(self) -> tuple[Any, ...]:
        """What the SQL of this aggregate depends on."""
        return (self.function, self.field, self.distinct)


class Count(Aggregate):
    """The number of objects (``Count()``), of those whose field is not null, or of different values (``distinct=True``)."""

    __slots__ = ()
    function = "count"

    def __init__(self, field: str | None = None, *, distinct: bool = False) -> None:
        if field is None:
            if distinct:
                raise TypeError("Count(distinct=True) needs a field name: the different values of which field?")
            self.field = None
            self.distinct = False
            return
        super().__init__(field, distinct=distinct)


class Sum(Aggregate):
    """The sum of a number field's values (nulls left out)."""

    __slots__ = ()
    function = "sum"


class Avg(Aggregate):
    """The mean of a number field's values (nulls left out), as a float."""

    __slots__ = ()
    function = "avg"


class Min(Aggregate):
    """The least value of a field (nulls left out)."""

    __slots__ = ()
    function = "min"


class Max(Aggregate):
    """The greatest value of a field (nulls left out)."""

    __slots__ = ()
    function = "max"
