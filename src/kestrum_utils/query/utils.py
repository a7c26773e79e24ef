"""Query conditions: the ``Q`` condition tree and its lookup grammar.

A lookup key is a field path, optionally followed by an operator, joined by double
underscores: ``name``, ``age__gt``, ``_address__object_id``, ``tags__contains``.
Only a trailing segment that is a known operator is read as the operator; every
other segment belongs to the (possibly nested) field path. A key without an
operator means ``exact``.

==============  =============================================================
operator        a row matches when the field value ...
==============  =============================================================
``exact``       equals the value (``None`` matches a null or missing field; a
                float NaN matches a NaN)
``ne``          does not equal the value (the negation of ``exact``); also ``neq``
``gt`` ``gte``  is greater than (or equal to) the value; null never matches
``lt`` ``lte``  is less than (or equal to) the value; null never matches
``in``          is one of the given values
``contains``    contains the value (substring of a string, element of a list)
``icontains``   is a string containing the value, ignoring case
``startswith``  is a string starting with the value
``endswith``    is a string ending with the value
``isnull``      is null or missing (value ``True``) or is not (value ``False``)
==============  =============================================================

Conditions are immutable: ``&``, ``|`` and ``~`` build new objects, so a condition
handed to a query set can never be changed through another reference to it.
"""

from __future__ import annotations

import functools
import keyword
import operator
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Final, Literal, NamedTuple

type Connector = Literal["AND", "OR"]
type Child = Q | tuple[str, Any]

AND: Final = "AND"
OR: Final = "OR"


def _exact(actual: Any, value: Any) -> bool:
    if value is None:
        return actual is None
    if isinstance(value, float) and value != value:
        # A NaN equals a NaN here, so that a condition can find NaN values.
        return isinstance(actual, float) and actual != actual
    return bool(actual == value)


def _in(actual: Any, values: Any) -> bool:
    return any(_exact(actual, value) for value in values)


def _ordered(compare: Callable[[Any, Any], Any]) -> Callable[[Any, Any], bool]:
    def test(actual: Any, value: Any) -> bool:
        return actual is not None and value is not None and bool(compare(actual, value))

    return test


def _contains(actual: Any, value: Any) -> bool:
    if actual is None:
        return False
    return value in actual


def _icontains(actual: Any, value: Any) -> bool:
    return isinstance(actual, str) and str(value).casefold() in actual.casefold()


_OPERATORS: Final[dict[str, Callable[[Any, Any], bool]]] = {
    "exact": _exact,
    "ne": lambda actual, value: not _exact(actual, value),
    "neq": lambda actual, value: not _exact(actual, value),
    "gt": _ordered(operator.gt),
    "gte": _ordered(operator.ge),
    "lt": _ordered(operator.lt),
    "lte": _ordered(operator.le),
    "in": _in,
    "contains": _contains,
    "icontains": _icontains,
    "startswith": lambda actual, value: isinstance(actual, str) and actual.startswith(value),
    "endswith": lambda actual, value: isinstance(actual, str) and actual.endswith(value),
    "isnull": lambda actual, value: (actual is None) is bool(value),
}

LOOKUP_OPERATORS: Final[frozenset[str]] = frozenset(_OPERATORS)


def split_lookup(key: str) -> tuple[tuple[str, ...], str]:
    """Split a lookup key into its field path and operator.

    >>> split_lookup("_address__object_id__in")
    (('_address', 'object_id'), 'in')
    """
    if type(key) is str:
        # Every condition and every compiled query splits its keys: the few keys a
        # program uses are split once.
        return _split_cached(key)
    return _split(key)


def _split(key: str) -> tuple[tuple[str, ...], str]:
    parts = key.split("__")
    if len(parts) > 1 and parts[-1] in LOOKUP_OPERATORS:
        path, op = parts[:-1], parts[-1]
    else:
        path, op = parts, "exact"
    if not all(path):
        raise ValueError(f"invalid lookup {key!r}: every field name in the path must be non-empty")
    return tuple(path), op


_split_cached = functools.lru_cache(maxsize=1024)(_split)


def resolve(row: Any, path: Sequence[str]) -> Any:
    """Follow a field path through nested mappings or attributes; missing values are ``None``."""
    value = row
    for name in path:
        if value is None:
            return None
        value = value.get(name) if isinstance(value, Mapping) else getattr(value, name, None)
    return value


class Lookup(NamedTuple):
    """One leaf condition: a field path, an operator and the value to compare with."""

    key: str
    path: tuple[str, ...]
    operator: str
    value: Any

    @classmethod
    def parse(cls, key: str, value: Any) -> Lookup:
        path, op = split_lookup(key)
        return cls(key, path, op, value)

    def test(self, row: Any) -> bool:
        """Evaluate this lookup on a row (a mapping or an object)."""
        return _OPERATORS[self.operator](resolve(row, self.path), self.value)


def _flatten(children: Iterable[Child], connector: Connector, negated: bool) -> tuple[tuple[Child, ...], Connector, bool]:
    # Normal form, so that structurally equal conditions compare equal and repr()
    # round-trips: nested nodes with the same connector are merged, empty conditions
    # dropped, and a node holding a single sub-condition is replaced by it.
    flat: list[Child] = []
    for child in children:
        if isinstance(child, Q):
            if not child.children:
                continue
            if not child.negated and (child.connector == connector or len(child.children) == 1):
                flat.extend(child.children)
                continue
        flat.append(child)
    if len(flat) == 1 and isinstance(flat[0], Q):
        only = flat[0]
        return only.children, only.connector, only.negated is not negated
    if len(flat) <= 1:
        connector = AND
    return tuple(flat), connector, negated and bool(flat)


def _is_keyword_name(key: str) -> bool:
    return key.isidentifier() and not keyword.iskeyword(key)


def _leaf_call(items: Sequence[tuple[str, Any]]) -> str:
    if len(items) == 1 and not _is_keyword_name(items[0][0]):
        return f"Q({items[0]!r})"
    return "Q(" + ", ".join(f"{key}={value!r}" for key, value in items) + ")"


class Q:
    """A condition tree: keyword lookups combined with ``&`` (AND), ``|`` (OR) and ``~`` (NOT).

    ``Q(*children, **lookups)`` ANDs its children (conditions or ``(lookup, value)``
    pairs) and its keyword lookups, in the given order. ``Q()`` is the empty
    condition: it is false and combining with it yields a copy of the other side.
    """

    __slots__ = ("children", "connector", "negated")
    __hash__ = None  # type: ignore[assignment]  # equality is structural and values may be unhashable

    children: tuple[Child, ...]
    connector: Connector
    negated: bool

    def __init__(self, *children: Child, **lookups: Any) -> None:
        if not children:
            # Keyword lookups alone (every filter() and get()) are already in normal form.
            for key in lookups:  # keyword names are always str
                _split_cached(key)
            self.children = tuple(lookups.items())
            self.connector = AND
            self.negated = False
            return
        items: list[Child] = []
        for child in (*children, *lookups.items()):
            if isinstance(child, Q):
                items.append(child)
            elif isinstance(child, tuple) and len(child) == 2 and isinstance(child[0], str):
                split_lookup(child[0])
                items.append((child[0], child[1]))
            else:
                raise TypeError(f"Q() children must be Q objects or (lookup, value) pairs, not {child!r}")
        self.children, self.connector, self.negated = _flatten(items, AND, False)

    @classmethod
    def _node(cls, children: Iterable[Child], connector: Connector, negated: bool) -> Q:
        node = object.__new__(cls)
        node.children, node.connector, node.negated = _flatten(children, connector, negated)
        return node

    def _combine(self, other: Q, connector: Connector) -> Q:
        if not other:
            return self.__copy__()
        if not self:
            return other.__copy__()
        return Q._node((self, other), connector, False)

    def __and__(self, other: object) -> Q:
        if not isinstance(other, Q):
            return NotImplemented
        return self._combine(other, AND)

    def __or__(self, other: object) -> Q:
        if not isinstance(other, Q):
            return NotImplemented
        return self._combine(other, OR)

    def __invert__(self) -> Q:
        # The negation of the empty condition stays empty (no filter at all).
        return Q._node(self.children, self.connector, not self.negated)

    def __copy__(self) -> Q:
        # The parts are immutable and already in normal form: the copy shares them.
        node = object.__new__(Q)
        node.children, node.connector, node.negated = self.children, self.connector, self.negated
        return node

    def __bool__(self) -> bool:
        return bool(self.children)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Q):
            return NotImplemented
        return (self.connector, self.negated, self.children) == (other.connector, other.negated, other.children)

    def iter_lookups(self) -> Iterator[Lookup]:
        """Yield every leaf lookup of the tree, depth first, in order."""
        for child in self.children:
            if isinstance(child, Q):
                yield from child.iter_lookups()
            else:
                yield Lookup.parse(*child)

    def matches(self, row: Mapping[str, Any]) -> bool:
        """Evaluate the condition on a row; nested paths follow nested mappings or attributes."""
        results = (
            child.matches(row) if isinstance(child, Q) else Lookup.parse(*child).test(row) for child in self.children
        )
        hit = all(results) if self.connector == AND else any(results)
        return hit is not self.negated

    def _parts(self) -> list[str]:
        # Operands of this node's connector, ignoring negation. Consecutive keyword
        # lookups under AND are grouped into one call, as long as no key repeats.
        parts: list[str] = []
        group: dict[str, Any] = {}

        def flush() -> None:
            if group:
                parts.append(_leaf_call(list(group.items())))
                group.clear()

        for child in self.children:
            if isinstance(child, Q):
                flush()
                parts.append(child._operand())
            elif self.connector == OR or not _is_keyword_name(child[0]):
                flush()
                parts.append(_leaf_call([child]))
            else:
                if child[0] in group:
                    flush()
                group[child[0]] = child[1]
        flush()
        return parts

    def _joined(self, parts: list[str]) -> str:
        return (" & " if self.connector == AND else " | ").join(parts)

    def _operand(self) -> str:
        parts = self._parts()
        text = self._joined(parts) if len(parts) == 1 else f"({self._joined(parts)})"
        return f"~{text}" if self.negated else text

    def __repr__(self) -> str:
        if not self.children:
            return "Q()"
        return self._operand() if self.negated else self._joined(self._parts())
