"""Prepared query shapes: statements and row plans compiled once per shape, values bound afresh.

A query set's *shape* is what its statement is made of besides the values it compares
with: the structure of its conditions (connectors, negations, lookup keys), its
ordering, field selection and distinct fields, the form of its slice (whether it has
a limit and an offset), its related objects and annotation names. Queries of one shape
share one statement and one set of row plans; each run binds its own values.

Values can change the SQL itself: a ``None`` compares with ``IS NULL``, an empty text
matches every text, a NaN, ``Versions.LATEST``, the values of an ``in`` list on SQLite
or the characters of an ``icontains`` text on PostgreSQL each compile differently. So
values are never assumed to leave the SQL alone: every run compiles each lookup for
its own value with the compiler's own code (which also checks and encodes the value
into parameters), and the SQL of each lookup is part of the key. What is shared is
the rest: the statement built around the lookups, and the row plans. The one
exception is the lookup whose SQL the compiler itself reports as fixed but for a few
properties of the value (:func:`~kestrum_data.store.query.plain_lookup`: a comparison
of a column with one parameter, for a value that is not ``None``, say): for a value
with those properties it takes that SQL and the value's checked and encoded parameter
without compiling; any other value compiles as above.

Whether a query reads the objects as of an instant, or every version of the history,
is the variant of its :class:`Source` (chosen by lookups of its conditions, see
:mod:`~kestrum_data.store.query`): each variant keeps shapes of its own, and the
instant is a bound value like any other.

The shapes of a class live with what the store knows of it (``StoredClass.derived``):
a new class version, a class read again from the registry, or a new database
configuration gives a new stored class, and with it an empty set of shapes.

A shape is kept only when the statement the compiler writes for it takes exactly the
parameters assembled here (those of the table, of the lookups in order, then of the
slice); any other statement is compiled anew on every run.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final

from kestrum_data.store.database import Dialect
from kestrum_data.store.fields import ModelFields
from kestrum_data.store.query import (
    AS_OF,
    HISTORY,
    PlainLookup,
    RowPlans,
    Source,
    compile_count,
    compile_exists,
    compile_select,
    compile_values,
    lookup_sql,
    plain_lookup,
    value_reader,
)
from kestrum_data.store.schema import StoredClass
from kestrum_utils.query.utils import Q

#: Shapes kept per class and source; when full they are dropped and gathered anew.
MAX_SHAPES: Final = 256
#: Lookup keys whose :class:`PlainLookup` (or its absence) is kept per class and source.
MAX_LOOKUPS: Final = 256


@dataclass(slots=True)
class Prepared:
    """One run of a shape: its statement, its parameters and the row plans of its rows."""

    sql: str
    params: list[Any]
    plans: RowPlans | None
    limit: int | None
    """The number of rows the statement returns at most (None: unbounded)."""


@dataclass(slots=True)
class _Entry:
    sql: str
    plans: RowPlans | Any
    """The row plans of a select; for other statements, what reads their rows."""
    paged: bool
    """Whether the slice's parameters follow those of the lookups."""


class Shapes:
    """The prepared shapes of one class read from one source (latest objects or history)."""

    __slots__ = ("entries", "lookups", "prefix", "source")

    def __init__(self, source: Source) -> None:
        self.source = source
        self.prefix: tuple[Any, ...] = tuple(source.params)
        """The parameters of the source's table, first in every statement."""
        self.entries: dict[tuple[Any, ...], _Entry] = {}
        self.lookups: dict[str, PlainLookup | None] = {}


_KEYS: Final = {
    (history, shared, variant): f"shapes:{history}:{shared}:{variant}"
    for history in (False, True) for shared in (False, True) for variant in (None, AS_OF, HISTORY)
}


def cached(stored: StoredClass, history: bool, shared: bool, variant: str | None = None) -> Shapes | None:
    """The shapes of a stored class read as the latest objects or as its history, if made already."""
    return stored.derived.get(_KEYS[history, shared, variant])


def shapes_of(
    dialect: Dialect, stored: StoredClass, model: ModelFields, history: bool, shared: bool, variant: str | None = None
) -> Shapes:
    """The shapes (and the :class:`Source`) of a stored class read as the latest objects or as its history."""
    key = _KEYS[history, shared, variant]
    found = stored.derived.get(key)
    if found is None:
        found = stored.derived[key] = Shapes(Source(dialect, stored, model, history, shared, variant))
    return found


def select(shapes: Shapes, queryset: Any, row_cap: int | None = None) -> Prepared:
    """The statement, parameters and row plans that fetch the rows of ``queryset``."""
    source = shapes.source
    bound = _bind(shapes, queryset, "select", row_cap)
    if bound is not None:
        key, entry, values, page_params, limit = bound
        if entry is not None:
            return Prepared(entry.sql, [*shapes.prefix, *values, *page_params], entry.plans, limit)
    compiled = compile_select(source, queryset, row_cap=row_cap)
    plans = RowPlans(source, compiled.columns, compiled.only)
    if bound is None:
        return Prepared(compiled.sql, compiled.params, plans, _limit(queryset, row_cap))
    if compiled.params == [*shapes.prefix, *values, *page_params]:
        _keep(shapes, key, _Entry(compiled.sql, plans, True))
    return Prepared(compiled.sql, compiled.params, plans, limit)


def count(shapes: Shapes, queryset: Any) -> tuple[str, list[Any]]:
    """The statement and parameters that count the rows of ``queryset``."""
    source = shapes.source
    bound = _bind(shapes, queryset, "count", None)
    if bound is not None:
        key, entry, values, page_params, _ = bound
        if entry is not None:
            return entry.sql, [*shapes.prefix, *values, *(page_params if entry.paged else ())]
    sql, params = compile_count(source, queryset)
    if bound is not None:
        head = [*shapes.prefix, *values]
        for paged, tail in ((False, []), (True, page_params)):
            if params == [*head, *tail]:
                _keep(shapes, key, _Entry(sql, None, paged))
                break
    return sql, params


def exists(shapes: Shapes, queryset: Any) -> tuple[str, list[Any]]:
    """The statement and parameters telling whether ``queryset`` selects any row."""
    sql, params, _ = _kept(shapes, queryset, "exists", lambda: (*compile_exists(shapes.source, queryset), None))
    return sql, params


def values(shapes: Shapes, queryset: Any, names: tuple[str, ...]) -> tuple[str, list[Any], list[Any]]:
    """The statement and parameters giving the named fields of the rows of ``queryset``, and for
    each field what reads its values (None: they are read as they are)."""

    def compile() -> tuple[str, list[Any], list[Any]]:
        statement = compile_values(shapes.source, queryset, names)
        readers = [value_reader(selected.source, selected) for selected in statement.selected]
        return statement.sql, statement.params, readers

    return _kept(shapes, queryset, ("values", names), compile)


def _kept(
    shapes: Shapes, queryset: Any, kind: Any, compile: Callable[[], tuple[str, list[Any], Any]]
) -> tuple[str, list[Any], Any]:
    """A statement whose parameters are the table's, the lookups' and the slice's, kept per shape
    with what reads its rows (``compile`` gives all three)."""
    bound = _bind(shapes, queryset, kind, None)
    if bound is not None:
        key, entry, values, page_params, _ = bound
        if entry is not None:
            return entry.sql, [*shapes.prefix, *values, *page_params], entry.plans
    sql, params, readers = compile()
    if bound is not None and params == [*shapes.prefix, *values, *page_params]:
        _keep(shapes, key, _Entry(sql, readers, True))
    return sql, params, readers


def _bind(
    shapes: Shapes, queryset: Any, kind: str, row_cap: int | None
) -> tuple[tuple[Any, ...], _Entry | None, list[Any], list[Any], int | None] | None:
    """A query set's full shape key, the entry kept for it (if any), its lookups' parameters,
    its slice's parameters and its row limit. None when it does not fit a shape or a value is
    refused: the compiler then reports what is wrong, in its own order."""
    try:
        paginator = queryset.get_paginator()
        offset, limit = paginator.offset, paginator.limit
        if not (
            (offset is None or (type(offset) is int and offset >= 0))
            and (limit is None or (type(limit) is int and limit >= 0))
        ):
            return None  # the compiler says what is wrong with it
        if row_cap is not None:
            limit = row_cap if limit is None else min(limit, row_cap)
        shape = _shape(queryset, kind, offset, limit)
        if shape is None:
            return None
        fragments, values = _lookups(shapes, shape[1])
        # The slice's SQL follows from the shape (whether there is a limit, an offset);
        # its parameters come as the dialect's limit_offset() gives them.
        page_params = [] if limit is None else [limit]
        if offset:
            page_params.append(offset)
        key = (shape[0], tuple(fragments))
        entry = shapes.entries.get(key)  # TypeError for unhashable parts (odd field names)
    except Exception:  # noqa: BLE001
        return None
    return key, entry, values, page_params, limit


_UNKNOWN: Final[Any] = object()


def _lookups(shapes: Shapes, leaves: list[tuple[str, Any]]) -> tuple[list[str], list[Any]]:
    """The SQL of each lookup and their parameters in order, as :func:`lookup_sql` gives them."""
    known = shapes.lookups
    fragments: list[str] = []
    values: list[Any] = []
    for leaf in leaves:
        key, value = leaf
        plain = known.get(key, _UNKNOWN)
        if plain is _UNKNOWN:
            plain = plain_lookup(shapes.source, key)
            if len(known) >= MAX_LOOKUPS:
                known.clear()
            known[key] = plain
        if plain is not None and plain.fits(value):
            fragments.append(plain.sql)
            values.append(plain.encode(value))
        else:
            sql, params = lookup_sql(shapes.source, (leaf,))
            fragments += sql
            values += params
    return fragments, values


def _limit(queryset: Any, row_cap: int | None) -> int | None:
    limit = queryset.get_paginator().limit
    if row_cap is not None:
        return row_cap if limit is None else min(limit, row_cap)
    return limit


def _keep(shapes: Shapes, key: tuple[Any, ...], entry: _Entry) -> None:
    entries = shapes.entries
    if len(entries) >= MAX_SHAPES:
        entries.clear()
    entries[key] = entry


def _shape(queryset: Any, kind: str, offset: Any, limit: Any) -> tuple[tuple[Any, ...], list[tuple[str, Any]]] | None:
    """The key of a query set's shape (without its lookups' SQL) and its lookups in the
    compiler's order; None for a query set that does not fit a shape."""
    leaves: list[tuple[str, Any]] = []
    tree = None
    conditions = queryset.get_conditions()
    if type(conditions) is Q:
        # The usual tree, lookups under one node (every filter() and get()), read in place.
        children = conditions.children
        if children:
            keys = []
            for child in children:
                if type(child) is tuple and len(child) == 2 and type(child[0]) is str:
                    keys.append(child[0])
                    leaves.append(child)
                else:
                    leaves.clear()
                    tree = _tree(conditions, leaves)
                    break
            else:
                tree = (conditions.connector, bool(conditions.negated), tuple(keys))
    elif conditions:
        tree = _tree(conditions, leaves)
    if tree is False:
        return None
    order = queryset.get_order_by()
    if type(order) is not list:
        return None
    ordering = tuple([(item.field, bool(item.descending)) for item in order]) if order else ()
    specifier = queryset.get_query_specifier()
    only, distinct = specifier.only, specifier.distinct
    only = _names(only) if only else ()
    distinct = _names(distinct) if distinct else ()
    if only is None or distinct is None:
        return None
    related = queryset.get_select_related()
    if type(related) is not bool:
        related = _frozen(related)
    annotations = getattr(queryset, "_annotations", None)
    named = tuple(annotations) if annotations and type(annotations) is dict else ()
    return (kind, tree, ordering, only, distinct, bool(offset), limit is None, related, named), leaves


def _tree(node: Any, leaves: list[tuple[str, Any]]) -> Any:
    # The structure of a condition tree; its lookups are gathered in the order the compiler
    # visits them. False: a tree the compiler would refuse.
    if not isinstance(node, Q):
        return False
    parts: list[Any] = []
    for child in node.children:
        if isinstance(child, Q):
            part = _tree(child, leaves)
            if part is False:
                return False
            parts.append(part)
        elif type(child) is tuple and len(child) == 2 and type(child[0]) is str:
            parts.append(child[0])
            leaves.append(child)
        else:
            return False
    return (node.connector, bool(node.negated), tuple(parts))


def _names(names: Any) -> tuple[str, ...] | None:
    if type(names) not in (list, tuple):
        return None
    for name in names:
        if type(name) is not str:
            return None
    return tuple(names)


def _frozen(tree: Any) -> Any:
    if type(tree) is bool:
        return tree
    if type(tree) is not dict:
        raise TypeError("not a select_related tree")
    return tuple((name, _frozen(sub)) for name, sub in tree.items())
