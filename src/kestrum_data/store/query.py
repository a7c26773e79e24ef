"""Query sets as SQL: every name checked against the model, every value a bound parameter.

:func:`compile_select` and :func:`compile_count` turn what a query set describes
(conditions, ordering, field selection, distinct fields, slice) into one statement.
Field names, lookups and values are checked before any SQL text is built; the
only text that reaches SQL is quoted identifiers of the model's own columns and
the dialect's fixed fragments.

Lookups: ``exact``, ``ne`` (or ``neq``), ``lt``, ``lte``, ``gt``, ``gte``, ``in``,
``contains``, ``icontains``, ``startswith``, ``endswith`` and ``isnull``, on the
model's fields, and ``_address__object_id``, ``_address__object_version`` and
``_address__class_version`` (whose versions may be ``Versions.LATEST``). A null
field matches no comparison, so its negation (``exclude``) matches it.

Two lookups choose what a query reads (:func:`version_variant`; each only among the
conditions ANDed at the top): ``_address__as_of=<aware datetime>`` reads the objects
as they were at that instant, each object's version current then (the ``as_of``
:class:`Source` variant), and ``_address__history=True`` every version, deletions
included (the ``history`` variant, whose deletion rows come with a negated class
version, which picks the layout of :data:`DELETION`: their records hold no field and
become ``LegacyModel`` instances). Both read the history's database; the
instant of ``as_of`` is a bound parameter like any value. Every read from a history
gives each record's ``_metadata`` the version's ``saved_at``, ``note`` and
``deleted`` too. A read of an ``as_of`` source that finds nothing must ask
:func:`~kestrum_data.store.timeline.check_horizon` whether pruning removed what it
would have found (the statement itself finds nothing then).

A lookup's SQL holds exactly when the condition's own Python test (``Q.matches``)
holds for the value as loaded, on every dialect. Where the stored form would
compare differently (a duration's ISO text, a Decimal's JSON text, a set's element
order, NaN and -0.0, text holding NUL, case folding), the dialect compares by
meaning (``Dialect.number_test``, ``text_test``, ``form_key``). A list of values
travels as one parameter, never as one parameter or expression per value.

Statements are kept per query shape (:mod:`~kestrum_data.store.shapes`): a
lookup's SQL may depend on its value (its SQL is part of the shape's key), and the
statement on whether the slice has a limit and an offset, but nothing else in a
statement may depend on a value. Parameters come in this order: the table's, the
lookups' (in the order :meth:`_Builder.condition` visits them), the slice's; a
statement whose parameters come otherwise is compiled anew on every run.

:func:`build_rows` turns the fetched rows into ``glue.Data`` records.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any, Final

from pydantic import BaseModel

from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_data.store.database import Dialect
from kestrum_data.store.errors import (
    InvalidValueError,
    QueryError,
    UnknownFieldError,
    UnknownLookupError,
)
from kestrum_data.store.fields import (
    DECIMAL,
    DURATION,
    JSON_KINDS,
    ORDERED_KINDS,
    RELATION,
    SET,
    TEXT_KINDS,
    ModelFields,
    StoredField,
    _strip,
    canonical_json,
    check_integer,
    check_text,
    relation_id,
)
from kestrum_data.store.schema import ADDRESS, HISTORIES, NEVER, VERSION_COLUMNS, StoredClass, saved_at_sql
from kestrum_glue import Data
from kestrum_glue._records import RowLayout
from kestrum_glue._records import build as build_records
from kestrum_utils.models.data_models.enums import CoreTypes
from kestrum_utils.query.utils import LOOKUP_OPERATORS, Q, split_lookup

ADDRESS_FIELD: Final = "_address"
ADDRESS_PARTS: Final = {"object_id": '"_object_id"', "object_version": '"_object_version"',
                        "class_version": '"_class_version"'}
TABLE: Final = "t"

_COMPARE: Final = {"exact": "=", "ne": "<>", "neq": "<>", "lt": "<", "lte": "<=", "gt": ">", "gte": ">="}
_TEXT_OPERATORS: Final = ("contains", "icontains", "startswith", "endswith")


AS_OF: Final = "as_of"
HISTORY: Final = "history"
VARIANT_LOOKUPS: Final = {f"{ADDRESS_FIELD}__{AS_OF}": AS_OF, f"{ADDRESS_FIELD}__{HISTORY}": HISTORY}
"""The lookups that choose a :class:`Source` variant, and the variant each chooses."""
DELETION: Final = "deleted"
"""The class version a deletion row's record names as the one it was written under (``history``
variant): no class version of the class, and none can read it, so that instance creation
makes it a ``LegacyModel`` holding no field."""


def version_variant(conditions: Any) -> str | None:
    """The variant of :class:`Source` a query set's conditions choose: a variant lookup
    among the conditions ANDed at their top, or None."""
    if conditions is None or not isinstance(conditions, Q) or conditions.negated or conditions.connector != "AND":
        return None
    for child in conditions.children:
        if type(child) is tuple and child[0] in VARIANT_LOOKUPS:
            return VARIANT_LOOKUPS[child[0]]
    return None


def as_of_instant(conditions: Any) -> Any:
    """The instant of an ``as_of`` query set's conditions."""
    for child in conditions.children:
        if type(child) is tuple and child[0] == f"{ADDRESS_FIELD}__{AS_OF}":
            return child[1]
    raise LookupError("the conditions read no instant")


def _is_latest(value: Any) -> bool:
    # Versions.LATEST, glue.Version.LATEST and the text "LATEST" all name the newest version.
    return isinstance(value, str) and value == "LATEST"


@dataclass(slots=True)
class Source:
    """What a query reads: one class's objects in one database, latest ones or every version."""

    dialect: Dialect
    stored: StoredClass
    model: ModelFields
    history: bool
    """Every saved version (the lakehouse), not only the latest object versions."""
    shared: bool = False
    """One database holds both; the latest objects are read from their own table either way."""
    variant: str | None = None
    """:data:`AS_OF` or :data:`HISTORY` (reading the history), or None."""
    related: dict[str, Source] | None = None
    """The latest objects of the classes that lookups and orderings across relations reach, by
    class name (see :class:`NeedsRelated`)."""

    @property
    def table(self) -> str:
        """What a statement reads ``AS t``: the table, or a query over it that gives rows of
        versions lacking a field the field's default (parameters in :attr:`params`)."""
        return self._from()[0]

    @property
    def params(self) -> list[Any]:
        """The parameters of :attr:`table`, which come before any other in a statement."""
        return self._from()[1]

    def _from(self) -> tuple[str, list[Any]]:
        key = f"from:{self.history}"
        found = self.stored.derived.get(key)
        if found is None:
            found = self.stored.derived[key] = _from_clause(self)
        return found

    def base_conditions(self) -> list[str]:
        return [f'{TABLE}."_deleted" = FALSE'] if self.history and self.variant != HISTORY else []

    def version_select(self) -> list[str]:
        """What a statement selects after the field columns and before the address: the
        version columns of :meth:`address_entries`."""
        if not self.history:
            return []
        found = [saved_at_sql(self.dialect, f'{TABLE}."_saved_at"'), f'{TABLE}."_note"', f'{TABLE}."_deleted"']
        # Deletion rows of the history variant negate the class version they choose their layout by.
        return [*found, f'{TABLE}."_class_version"'] if self.variant == HISTORY else found

    def address_select(self) -> list[str]:
        """The address a statement selects last: object id, object version, class version
        (negated in deletion rows of the ``history`` variant)."""
        version = f'{TABLE}."_class_version"'
        if self.variant == HISTORY:
            version = f'CASE WHEN {TABLE}."_deleted" THEN -{version} ELSE {version} END'
        return [f'{TABLE}."_object_id"', f'{TABLE}."_object_version"', version]

    def address_entries(self, first: int) -> tuple[tuple[str, int, Any, Any], ...]:
        """The version entries of each record's ``_metadata`` (see ``RowLayout``), read from
        the columns of :meth:`version_select`, which start at column ``first``."""
        if not self.history:
            return ()
        found = self.stored.derived.get("version entries")
        if found is None:
            if self.dialect.name == "sqlite":
                # Times are stored as ISO text, flags as integers.
                decode: tuple[Any, Any] = (datetime.datetime.fromisoformat, (str,))
                flag: tuple[Any, Any] = (bool, (int,))
            else:
                decode = flag = (None, None)
            found = self.stored.derived["version entries"] = (("saved_at", *decode), ("note", None, None),
                                                              ("deleted", *flag))
        return tuple((key, first + i, decode, types) for i, (key, decode, types) in enumerate(found))


def _from_clause(source: Source) -> tuple[str, list[Any]]:
    # Rows of a version that lacks a field load with the field's default: conditions,
    # ordering and distinct fields must see that default too, not the empty column.
    q, stored, model = source.dialect.quote, source.stored, source.model
    name = stored.table_name + ("__history" if source.history else "")
    readable = {v for v in stored.versions if stored.current in stored.compatible(v)}
    filled: dict[str, tuple[list[int], Any]] = {}
    for field_name, field_def in stored.fields.items():
        lacking = sorted(v for v in readable if field_name not in stored.versions[v].fields)
        has_default, default = model.default(field_name) if lacking else (False, None)
        if has_default and default is not None:
            try:
                value = source.dialect.codec.encode(field_def.kind, model.check_value(field_name, default))
            except InvalidValueError:
                continue  # a default the field's own type refuses: such rows do not load either
            filled[field_def.column] = (lacking, value)
    if not filled:
        return q(name), []
    flags = ["_is_latest", "_deleted", *VERSION_COLUMNS] if source.history else []
    items, params = [q(column) for column in (*ADDRESS, *flags)], []
    for column, kind in stored.columns.items():
        if column not in filled:
            items.append(q(column))
            continue
        versions, value = filled[column]
        marks = ", ".join(source.dialect.placeholder for _ in versions)
        typed = source.dialect.placeholder
        if source.dialect.name != "sqlite":
            typed = f"CAST({typed} AS {source.dialect.column_types[kind]})"
        items.append(f'CASE WHEN "_class_version" IN ({marks}) THEN {typed} ELSE {q(column)} END AS {q(column)}')
        params += [*versions, value]
    return f"(SELECT {', '.join(items)} FROM {q(name)})", params


class NeedsRelated(Exception):
    """A lookup or ordering crosses a relation to a class the source was not given: the reader
    prepares that class's latest objects (:attr:`Source.related`) and compiles again."""

    def __init__(self, class_name: str) -> None:
        super().__init__(class_name)
        self.class_name = class_name


_INSTANT: Final = object()
"""Stands in a join's parameters for the instant of an ``as_of`` source (known once its lookup is compiled)."""


@dataclass(slots=True)
class _Join:
    alias: str
    sql: str
    params: list[Any]
    builder: _Builder


@dataclass(slots=True)
class Compiled:
    sql: str
    params: list[Any]
    columns: list[str]
    """The field columns selected, in order (the address follows them)."""
    only: frozenset[str] | None


class _Builder:
    def __init__(self, source: Source, params: list[Any] | None = None) -> None:
        self.source = source
        self.dialect = source.dialect
        self.model = source.model
        self.fields = source.stored.fields
        self.params: list[Any] = list(source.params) if params is None else params
        self.alias = TABLE
        #: The builder the statement is made by (this one, or the one that joined this one's class).
        self.root = self
        self.path: tuple[str, ...] = ()
        #: Joined relations by path from the root (kept by the root only).
        self.joins: dict[tuple[str, ...], _Join] = {}
        self.head = len(self.params)
        """How many of :attr:`params` are the table's."""
        self.instant: Any = None
        """The encoded instant of an ``as_of`` source (kept by the root only): its joins read as of it too."""

    # -- names ---------------------------------------------------------------

    def _unknown_field(self, name: str, context: str) -> UnknownFieldError:
        known = ", ".join(self.fields) or "(none)"
        return UnknownFieldError(f"{self.model.class_name} has no field {name!r} ({context}); its fields are: {known}")

    def field(self, name: str, context: str) -> StoredField:
        field_def = self.fields.get(name)
        if field_def is None:
            raise self._unknown_field(name, context)
        return field_def

    def column(self, field_def: StoredField) -> str:
        return f"{self.alias}.{self.dialect.quote(field_def.column)}"

    # -- relations -------------------------------------------------------------

    def join(self, name: str, field_def: StoredField) -> _Builder:
        """The builder of the latest objects a relation field points to, joined (once per path)."""
        root = self.root
        path = (*self.path, name)
        found = root.joins.get(path)
        if found is not None:
            return found.builder
        related = (root.source.related or {}).get(field_def.related or "")
        if related is None:
            raise NeedsRelated(field_def.related or "")
        child = _Builder(related, root.params)
        child.alias, child.root, child.path = f"j{len(root.joins) + 1}", root, path
        q, p = self.dialect.quote, self.dialect.placeholder
        on = f"{child.alias}.{q('_object_id')} = {self.column(field_def)}"
        params = list(related.params)
        if root.source.variant == AS_OF and related.history:
            # The related objects as they were at the same instant.
            saved, superseded = f"{child.alias}.{q('_saved_at')}", f"{child.alias}.{q('_superseded_at')}"
            on += f" AND {superseded} > {p} AND {saved} <= {p} AND {child.alias}.{q('_deleted')} = FALSE"
            params += [_INSTANT, _INSTANT]
        elif related.history:  # the related class's latest objects, from its history
            on += f" AND {child.alias}.{q('_is_latest')} = TRUE AND {child.alias}.{q('_deleted')} = FALSE"
        root.joins[path] = _Join(child.alias, f" LEFT JOIN {related.table} AS {child.alias} ON {on}", params, child)
        return child

    def relation(self, name: str, context: str) -> StoredField:
        field_def = self.field(name, context)
        if field_def.kind != RELATION:
            raise UnknownFieldError(f"{self.model.class_name}.{name} has no nested fields ({context})")
        return field_def

    def from_sql(self) -> str:
        """The FROM clause's table and joins (call once every name is compiled)."""
        return f"{self.source.table} AS {TABLE}" + "".join(join.sql for join in self.joins.values())

    def all_params(self, tail: Iterable[Any] = ()) -> list[Any]:
        """The parameters in statement order: the table's, the joins', the others', then ``tail``."""
        if not self.joins:
            return [*self.params, *tail]
        instant = self.instant
        joined = [instant if param is _INSTANT else param for join in self.joins.values() for param in join.params]
        return [*self.params[: self.head], *joined, *self.params[self.head :], *tail]

    def related_id(self, field_def: StoredField, value: Any, key: str) -> Any:
        """A relation lookup's value: a stored object stands for its id."""
        if not isinstance(value, BaseModel):
            return value
        name = type(value).__name__.removesuffix("Partial")
        if field_def.related and name != field_def.related:
            raise InvalidValueError(
                f"lookup {key!r}: {self.model.class_name}.{field_def.name} holds {field_def.related} objects, "
                f"not {type(value).__name__}"
            )
        return relation_id(value)

    def param(self, value: Any) -> str:
        self.params.append(value)
        return self.dialect.placeholder

    # -- conditions ----------------------------------------------------------

    def condition(self, node: Q) -> str:
        if not isinstance(node, Q):
            raise TypeError(f"query conditions must be Q objects, not {type(node).__name__}")
        parts = [self.condition(child) if isinstance(child, Q) else self.lookup(*child) for child in node.children]
        if not parts:
            text = "TRUE"
        elif len(parts) == 1:
            text = parts[0]
        else:
            text = (" AND " if node.connector == "AND" else " OR ").join(f"({part})" for part in parts)
        # Under NOT, an unknown (null) comparison counts as false, as it does at the top.
        return f"NOT COALESCE(({text}), FALSE)" if node.negated else text

    def lookup(self, key: str, value: Any) -> str:
        path, operator = split_lookup(key)
        return self._lookup(path, operator, value, key)

    def _lookup(self, path: tuple[str, ...], operator: str, value: Any, key: str) -> str:
        if path[0] == ADDRESS_FIELD:
            if len(path) == 2 and path[1] in (AS_OF, HISTORY):
                return self.version_lookup(path[1], operator, value, key)
            if len(path) != 2 or path[1] not in ADDRESS_PARTS:
                raise UnknownFieldError(
                    f"unknown address field in lookup {key!r}: use _address__object_id, "
                    "_address__object_version or _address__class_version"
                )
            return self.address(path[1], operator, value, key)
        field_def = self.fields.get(path[0])
        if field_def is None:
            raise self._unknown_field(path[0], f"in lookup {key!r}")
        if len(path) > 1:
            if field_def.kind == RELATION:  # a lookup on the related object's fields
                return self.join(path[0], field_def)._lookup(path[1:], operator, value, key)
            if len(path) == 2:
                raise UnknownLookupError(
                    f"unknown lookup {path[1]!r} in {key!r}; lookups are: {', '.join(sorted(LOOKUP_OPERATORS))}"
                )
            raise UnknownFieldError(
                f"{self.model.class_name}.{path[0]} has no nested fields to look up ({key!r})"
            )
        return self.field_lookup(field_def, operator, value, key)

    def _refuse(self, operator: str, field_def: StoredField, key: str) -> UnknownLookupError:
        return UnknownLookupError(
            f"lookup {operator!r} does not apply to {self.model.class_name}.{field_def.name} "
            f"({field_def.kind}) in {key!r}"
        )

    def encode(self, field_def: StoredField, value: Any) -> Any:
        checked = self.model.check_value(field_def.name, value)
        return self.dialect.codec.encode(field_def.kind, checked)

    def field_lookup(self, field_def: StoredField, operator: str, value: Any, key: str) -> str:
        column = self.column(field_def)
        if field_def.kind == RELATION and operator != "isnull":
            if operator == "in":
                value = [self.related_id(field_def, item, key) for item in self._values(value, key)]
            else:
                value = self.related_id(field_def, value, key)
        if operator == "isnull":
            return self._isnull(column, value, key)
        if operator in ("exact", "ne", "neq") and value is None:
            return f"{column} IS {'NOT ' if operator != 'exact' else ''}NULL"
        if operator in _TEXT_OPERATORS:
            if field_def.kind == "array" and operator == "contains":
                self.param(canonical_json(value))
                return self.dialect.array_contains(column)
            if field_def.kind not in TEXT_KINDS or self.model.form(field_def.name) is not None:
                raise self._refuse(operator, field_def, key)
            if not isinstance(value, str):
                raise InvalidValueError(f"lookup {key!r} needs a str, not {type(value).__name__}")
            check_text(value)
            if not value:
                return f"{column} IS NOT NULL"
            if "\0" in value and not self.dialect.nul_in_text:
                return "FALSE"
            return self.sql(self.dialect.text_test(operator, column, value))
        if operator == "in":
            return self._in(column, field_def, value, key)
        test = self._compare(column, field_def, operator, value, key)
        # "ne" is the negation of "exact": a null field does not equal the value.
        return f"NOT COALESCE(({test}), FALSE)" if _COMPARE[operator] == "<>" else test

    def sql(self, built: tuple[str, list[Any]]) -> str:
        """The SQL of a dialect's (sql, params) pair, its parameters added in order."""
        text, params = built
        self.params.extend(params)
        return text

    def _compare(self, column: str, field_def: StoredField, operator: str, value: Any, key: str) -> str:
        sign = "=" if _COMPARE[operator] == "<>" else _COMPARE[operator]
        form = self.model.form(field_def.name)
        if form is not None:
            # Compared by meaning (a duration, a number, a set), not by stored text.
            if sign != "=" and form == SET:
                raise self._refuse(operator, field_def, key)
            checked = self.model.check_value(field_def.name, value)
            param = self.sql(self.dialect.form_param(form, checked))
            return f"{self.dialect.form_key(form, column)} {sign} {param}"
        if field_def.kind in JSON_KINDS:
            if sign != "=":
                raise self._refuse(operator, field_def, key)
            self.param(canonical_json(self.model.check_value(field_def.name, value)))
            return self.dialect.json_equals(column)
        if field_def.kind not in ORDERED_KINDS and sign != "=":
            raise self._refuse(operator, field_def, key)
        if sign == "=" and self._unstorable(field_def, value):
            return "FALSE"
        if field_def.kind == CoreTypes.NUMBER.value:
            return self.sql(self.dialect.number_test(column, sign, self.model.check_value(field_def.name, value)))
        return f"{column} {sign} {self.param(self.encode(field_def, value))}"

    def _unstorable(self, field_def: StoredField, value: Any) -> bool:
        # Text with NUL where text columns cannot hold it: no stored value equals it.
        return (
            not self.dialect.nul_in_text and field_def.kind in TEXT_KINDS and isinstance(value, str) and "\0" in value
        )

    def _isnull(self, column: str, value: Any, key: str) -> str:
        if not isinstance(value, bool):
            raise InvalidValueError(f"lookup {key!r} needs True or False, not {value!r}")
        return f"{column} IS {'' if value else 'NOT '}NULL"

    def _values(self, value: Any, key: str) -> list[Any]:
        if isinstance(value, str | bytes | Mapping) or not isinstance(value, Iterable):
            raise InvalidValueError(f"lookup {key!r} needs a list (or another collection) of values, not {type(value).__name__}")
        return list(value)

    def _in(self, column: str, field_def: StoredField, value: Any, key: str) -> str:
        # However many the values, the statement gets a fixed number of parameters (lists
        # travel as one array or JSON parameter): no limit on values, no deep expression.
        values = self._values(value, key)
        checked = [
            self.model.check_value(field_def.name, item)
            for item in values
            if item is not None and not self._unstorable(field_def, item)
        ]
        with_null = any(item is None for item in values)
        tests = []
        if checked:
            form = self.model.form(field_def.name)
            if form is not None:
                key_sql = self.dialect.form_key(form, column)
                tests.append(self.sql(self.dialect.form_in(form, key_sql, checked)))
            elif field_def.kind in JSON_KINDS:
                texts = list(dict.fromkeys(canonical_json(item) for item in checked))
                tests.append(self.sql(self.dialect.values_in(column, field_def.kind, texts)))
            else:
                codec = self.dialect.codec
                encoded = [codec.encode(field_def.kind, item) for item in checked]
                tests.append(self.sql(self.dialect.values_in(column, field_def.kind, encoded)))
        if with_null:
            tests.append(f"{column} IS NULL")
        return " OR ".join(f"({test})" for test in tests) if tests else "FALSE"

    def address(self, part: str, operator: str, value: Any, key: str) -> str:
        column = f"{self.alias}.{ADDRESS_PARTS[part]}"
        if operator == "isnull":
            return "TRUE" if self._isnull(column, value, key).endswith("NOT NULL") else "FALSE"
        if part != "object_id" and _is_latest(value):
            if operator not in ("exact", "ne", "neq"):
                raise UnknownLookupError(f"Versions.LATEST works only with exact and ne lookups ({key!r})")
            if part == "class_version" or not self.source.history or self.source.variant == AS_OF:
                # Every row is written under one class version (the newest for its object
                # version), and every row of the latest objects is the latest version.
                latest = "TRUE"
            else:
                latest = f'{self.alias}."_is_latest" = TRUE'
            return latest if operator == "exact" else f"NOT ({latest})"
        if operator in _TEXT_OPERATORS:
            raise UnknownLookupError(f"lookup {operator!r} does not apply to {key!r}")
        if operator == "in":
            ids = list(dict.fromkeys(self._address_value(item, key) for item in self._values(value, key)))
            if not ids:
                return "FALSE"
            self.param(self.dialect.list_param(ids))
            return self.dialect.any_of(column)
        test = f"{column} {'=' if _COMPARE[operator] == '<>' else _COMPARE[operator]} {self.param(self._address_value(value, key))}"
        return f"NOT ({test})" if _COMPARE[operator] == "<>" else test

    def version_lookup(self, part: str, operator: str, value: Any, key: str) -> str:
        """``_address__as_of``: the version current at an instant, unless pruning removed
        versions current then (the statement then finds nothing); ``_address__history``: every
        version. Each only where it chose the source's variant."""
        source = self.source
        if source.variant != part or operator != "exact":
            use = "as_of(when)" if part == AS_OF else "history(pk)"
            raise QueryError(
                f"lookup {key!r} chooses what a query reads and is written by {use} of a query set: "
                "it cannot be combined with other conditions by OR or NOT"
            )
        if part == HISTORY:
            if value is not True:
                raise InvalidValueError(f"lookup {key!r} takes True, not {value!r}")
            return "TRUE"
        instant = self.root.instant = self.encode_instant(value, key)
        self.params += [instant, instant, source.stored.table_name, instant]
        found: str | None = source.stored.derived.get("as of")
        if found is None:
            q, p = self.dialect.quote, self.dialect.placeholder
            saved, superseded = f'{TABLE}."_saved_at"', f'{TABLE}."_superseded_at"'
            found = source.stored.derived["as of"] = (
                f"{superseded} > {p} AND {saved} <= {p} AND NOT EXISTS (SELECT 1 FROM "
                f"{q(HISTORIES)} WHERE {q('table_name')} = {p} AND {q('pruned_before')} > {p})"
            )
        return found

    def encode_instant(self, value: Any, key: str) -> Any:
        # The query sets built from one as_of() share its instant: the last one encoded is kept.
        derived = self.source.stored.derived
        last = derived.get("as of instant")
        if last is not None and last[0] is value:
            return last[1]
        if not isinstance(value, datetime.datetime) or value.tzinfo is None or value.utcoffset() is None:
            raise InvalidValueError(f"lookup {key!r} needs a timezone-aware datetime, not {value!r}")
        encoded = self.dialect.codec.encode(CoreTypes.DATETIME.value, value)
        derived["as of instant"] = (value, encoded)
        return encoded

    @staticmethod
    def _address_value(value: Any, key: str) -> int:
        if isinstance(value, int) and not isinstance(value, bool):
            return check_integer(value)
        if isinstance(value, str) and value.strip().isdecimal():
            return check_integer(int(value))
        raise InvalidValueError(f"lookup {key!r} needs an integer (or Versions.LATEST for versions), not {value!r}")

    # -- ordering, selection ---------------------------------------------------

    def order_column(self, name: str) -> tuple[str, bool]:
        """The SQL an ordering item sorts by, and whether it may be null."""
        if name.startswith(ADDRESS_FIELD + "__"):
            part = name[len(ADDRESS_FIELD) + 2 :]
            if part not in ADDRESS_PARTS:
                raise UnknownFieldError(f"unknown address field {name!r} in ordering")
            return f"{self.alias}.{ADDRESS_PARTS[part]}", self.root is not self
        head, sep, rest = name.partition("__")
        if sep and rest and name not in self.fields:  # ordering by a related object's field: null where there is none
            return self.join(head, self.relation(head, f"in ordering {name!r}")).order_column(rest)[0], True
        field_def = self.field(name, "in ordering")
        form = self.model.form(field_def.name)
        if form in (DURATION, DECIMAL):
            return self.dialect.form_key(form, self.column(field_def)), True
        if field_def.kind in JSON_KINDS:
            raise UnknownLookupError(f"{self.model.class_name}.{name} ({field_def.kind}) cannot be used for ordering")
        return self.column(field_def), True


def lookup_sql(source: Source, leaves: Iterable[tuple[str, Any]]) -> tuple[list[str], list[Any]]:
    """The SQL of each ``(lookup, value)`` leaf as :func:`compile_select` writes it, and their parameters in order."""
    b = _Builder(source, [])
    return [b.lookup(key, value) for key, value in leaves], b.params


@dataclass(frozen=True, slots=True)
class PlainLookup:
    """A lookup whose SQL is one comparison with one parameter, the same for every value it
    :meth:`fits`: what :meth:`_Builder.lookup` writes for such a value, without compiling it."""

    sql: str
    encode: Callable[[Any], Any]
    """The value checked and encoded: the lookup's one parameter."""
    nul_text: bool
    """Text holding NUL compiles otherwise (the dialect's text columns cannot hold it)."""

    def fits(self, value: Any) -> bool:
        # The properties of a value that :meth:`_Builder.field_lookup` and :meth:`_compare`
        # test before writing the comparison: ``None`` (IS NULL) and unstorable text.
        return value is not None and not (self.nul_text and isinstance(value, str) and "\0" in value)


def plain_lookup(source: Source, key: str) -> PlainLookup | None:
    """The :class:`PlainLookup` of a lookup key, or None when its SQL depends on its value in
    other ways (or the compiler refuses the key: it says why when it compiles it)."""
    b = _Builder(source, [])
    try:
        path, operator = split_lookup(key)
    except ValueError:
        return None
    if operator not in _COMPARE:
        return None
    negated = _COMPARE[operator] == "<>"
    sign = "=" if negated else _COMPARE[operator]
    mark = b.dialect.placeholder
    if path[0] == ADDRESS_FIELD:
        # Only object ids: versions may be Versions.LATEST, which compiles otherwise.
        if path != (ADDRESS_FIELD, "object_id"):
            return None
        test = f'{TABLE}."_object_id" {sign} {mark}'
        return PlainLookup(f"NOT ({test})" if negated else test, partial(_Builder._address_value, key=key), False)
    field_def = b.fields.get(path[0])
    if field_def is None or len(path) != 1 or b.model.form(field_def.name) is not None:
        return None
    kind = field_def.kind
    if kind in JSON_KINDS or kind == CoreTypes.NUMBER.value or (kind not in ORDERED_KINDS and sign != "="):
        return None
    test = f"{b.column(field_def)} {sign} {mark}"
    # What the compiler does to the value (check it as the field's type, encode it for the
    # column), with the field's checker and the kind's encoder looked up once.
    check, encode = b.model.checker(field_def.name), b.dialect.codec.encoders[kind]
    return PlainLookup(
        f"NOT COALESCE(({test}), FALSE)" if negated else test,
        lambda value: None if (checked := check(value)) is None else encode(checked),
        kind in TEXT_KINDS and not b.dialect.nul_in_text,
    )


def _paging(queryset: Any) -> tuple[int | None, int | None]:
    paginator = queryset.get_paginator()
    values = []
    for name in ("offset", "limit"):
        value = getattr(paginator, name)
        if value is not None and (type(value) is not int or value < 0):
            raise InvalidValueError(f"the slice {name} must be a non-negative int or None, not {value!r}")
        values.append(value)
    return values[0], values[1]


def _names(values: Any, what: str) -> list[str]:
    if not isinstance(values, list | tuple) or not all(isinstance(name, str) for name in values):
        raise InvalidValueError(f"{what} must be a list of field names, not {values!r}")
    return list(values)


def compile_select(source: Source, queryset: Any, *, row_cap: int | None = None) -> Compiled:
    """The statement that fetches the rows of ``queryset``: its field columns, then the address."""
    b = _Builder(source)
    dialect, q = b.dialect, b.dialect.quote
    field_def = queryset.get_query_specifier()
    only_names = _names(field_def.only or [], "only")
    distinct = [b.field(name, "in distinct") for name in _names(field_def.distinct or [], "distinct")]
    for name in only_names:
        b.field(name, "in only")
    only = frozenset(only_names) if only_names else None
    columns = [
        column
        for column, kind in source.stored.columns.items()
        if only is None or any(s.column == column for s in source.stored.fields.values() if s.name in only)
        or _only_elsewhere(source.stored, only, column)
    ]
    where = _where_terms(b, source, queryset)
    items = queryset.get_order_by()
    order = [b.order_column(item.field) for item in items]
    descending = [bool(item.descending) for item in items]
    offset, limit = _paging(queryset)
    if row_cap is not None:
        limit = row_cap if limit is None else min(limit, row_cap)
    # A page is only well defined in a total order: ties are broken by the address, in
    # the direction of the last ordering item, so that an index on the ordered fields
    # (which holds the id after them) serves the order read forwards or backwards. The
    # address is never null: its terms name no nulls placement, as its indexes do not.
    tiebreak = _tiebreak(source)
    terms = [
        dialect.order_term(column, desc) if nullable else f"{column} DESC" if desc else column
        for (column, nullable), desc in zip(order, descending)
    ]
    if terms and (offset or limit is not None or distinct):
        ordered = {column for column, _ in order}
        terms += [f"{t} DESC" if descending[-1] else t for t in tiebreak if t not in ordered]
    select = [f"{TABLE}.{q(column)}" for column in columns] + source.version_select() + source.address_select()
    where_sql = _where_sql(where)
    if distinct:
        _plain_order(b, order, "distinct()")
        partition = ", ".join(b.column(s) for s in distinct)
        window_order = ", ".join(terms or tiebreak)
        inner = (
            f"SELECT {TABLE}.*, ROW_NUMBER() OVER (PARTITION BY {partition} ORDER BY {window_order}) AS \"_rank\" "
            f"FROM {b.from_sql()}{where_sql}"
        )
        outer_terms = ", ".join(terms or tiebreak)
        sql = f"SELECT {', '.join(select)} FROM ({inner}) AS {TABLE} WHERE {TABLE}.\"_rank\" = 1 ORDER BY {outer_terms}"
    elif (source.variant == AS_OF and dialect.name == "sqlite" and (offset or limit is not None)
          and not b.joins and not source.params):
        # SQLite reads a history row for every index entry a search looks at: the versions
        # of a slice are chosen in the as-of index alone (it holds every column the as-of
        # test reads), and only their rows are read.
        order_sql = ", ".join(terms or tiebreak)
        page, page_params = dialect.limit_offset(limit, offset)
        address = f'{TABLE}."_object_id", {TABLE}."_object_version"'
        inner = f"SELECT {address} FROM {b.from_sql()}{where_sql} ORDER BY {order_sql}{page}"
        sql = (f"SELECT {', '.join(select)} FROM {source.table} AS {TABLE} WHERE ({address}) IN ({inner}) "
               f"ORDER BY {order_sql}")
        return Compiled(sql, b.all_params(page_params), columns, only)
    else:
        sql = f"SELECT {', '.join(select)} FROM {b.from_sql()}{where_sql}"
        if terms:
            sql += f" ORDER BY {', '.join(terms)}"
        elif offset or limit is not None:
            sql += f" ORDER BY {', '.join(tiebreak)}"
    page, page_params = dialect.limit_offset(limit, offset)
    return Compiled(sql + page, b.all_params(page_params), columns, only)


def _plain_order(b: _Builder, order: list[tuple[str, bool]], what: str) -> None:
    # Such statements order outside the query that joins: by the table's own columns only.
    aliases = [join.alias + "." for join in b.joins.values()]
    if any(alias in column for column, _ in order for alias in aliases):
        raise UnknownLookupError(f"{what} cannot be combined with an ordering across a relation")


def _only_elsewhere(stored: StoredClass, only: frozenset[str], column: str) -> bool:
    # A selected field may live in another column in rows of other class versions.
    return any(
        field_def.column == column and field_def.name in only
        for version in stored.versions.values()
        for field_def in version.fields.values()
    )


def _where_terms(b: _Builder, source: Source, queryset: Any) -> list[str]:
    """The source's own conditions, then the query set's, as terms to join with AND."""
    where = source.base_conditions()
    conditions = queryset.get_conditions()
    if conditions:
        where.append(b.condition(conditions))
    return where


def _where_sql(where: list[str]) -> str:
    return f" WHERE {' AND '.join(f'({w})' for w in where)}" if where else ""


def compile_count(source: Source, queryset: Any) -> tuple[str, list[Any]]:
    """The statement that counts what :func:`compile_select` would fetch."""
    offset, limit = _paging(queryset)
    if offset or limit is not None or queryset.get_query_specifier().distinct:
        inner = compile_select(source, queryset)
        return f"SELECT count(*) FROM ({inner.sql}) AS {TABLE}_count", inner.params
    b = _Builder(source)
    where_sql = _where_sql(_where_terms(b, source, queryset))
    return f"SELECT count(*) FROM {b.from_sql()}{where_sql}", b.all_params()


# -- exists, values, aggregates, pages, writes by query ------------------------
#
# Each compiles the rows a query set selects (conditions, ordering, distinct fields,
# slice) as compile_select does, into another statement. Parameters come in the same
# order: the table's, the joins', the lookups' (then any keyset values), the slice's.


def _tiebreak(source: Source) -> list[str]:
    # Every version of an object in a history; one version of each object as of an instant.
    if source.history and source.variant != AS_OF:
        return [f'{TABLE}."_object_id"', f'{TABLE}."_object_version"']
    return [f'{TABLE}."_object_id"']


def _sliced(queryset: Any) -> bool:
    offset, limit = _paging(queryset)
    return bool(offset) or limit is not None or bool(queryset.get_query_specifier().distinct)


@dataclass(slots=True)
class _Key:
    """One term of a total order: its SQL, direction and whether it may be null."""

    sql: str
    descending: bool
    nullable: bool


def _keyset(b: _Builder, keys: list[_Key], after: Sequence[Any]) -> str:
    """SQL holding for the rows after the row whose keys are ``after``, in the order of ``keys``.

    The values are the ones the database gave for the keys, so that each comparison
    sorts as the ORDER BY does (NaN, -0.0, collations, comparison keys alike).
    """
    alternatives = []
    for i, (key, value) in enumerate(zip(keys, after)):
        if value is None and key.descending:
            continue  # nulls come last descending: nothing of this key sorts after one
        # Parameters in the order their placeholders appear: the equal keys, then this one.
        equal = [f"{k.sql} IS NULL" if v is None else f"{k.sql} = {b.param(v)}" for k, v in zip(keys[:i], after[:i])]
        if value is None:
            later = f"{key.sql} IS NOT NULL"
        elif key.descending:
            later = f"({key.sql} < {b.param(value)}" + (f" OR {key.sql} IS NULL)" if key.nullable else ")")
        else:
            later = f"{key.sql} > {b.param(value)}"
        alternatives.append(" AND ".join([*equal, later]))
    # Equality parameters of earlier keys are repeated per alternative, each in its place.
    return " OR ".join(f"({alternative})" for alternative in alternatives) or "FALSE"


def _select_sql(
    b: _Builder,
    queryset: Any,
    items: list[str] | Callable[[list[_Key]], list[str]],
    *,
    paging: tuple[int | None, int | None] | None = None,
    keyed: bool = False,
    after: Sequence[Any] | None = None,
    where: Sequence[str] = (),
) -> str:
    """``SELECT items`` over the rows of ``queryset`` (and ``where``), with its ordering and slice
    (or ``paging``).

    ``keyed``: ordered totally, by the ordering, then the address; ``items`` may then be
    a function of the terms of that order; with ``after``, only the rows following the
    row whose terms have those values are selected.
    """
    source, dialect = b.source, b.dialect
    specifier = queryset.get_query_specifier()
    distinct = [b.field(name, "in distinct") for name in _names(specifier.distinct or [], "distinct")]
    where = [*source.base_conditions(), *where]
    conditions = queryset.get_conditions()
    if conditions:
        where.append(b.condition(conditions))
    order_items = queryset.get_order_by()
    order = [b.order_column(item.field) for item in order_items]
    descending = [bool(item.descending) for item in order_items]
    offset, limit = _paging(queryset) if paging is None else paging
    tiebreak = _tiebreak(source)
    keys = [_Key(column, desc, nullable) for (column, nullable), desc in zip(order, descending)]
    if keys and (offset or limit is not None or distinct or keyed):
        ordered = {column for column, _ in order}
        keys += [_Key(t, descending[-1], False) for t in tiebreak if t not in ordered]
    elif keyed:
        keys = [_Key(t, False, False) for t in tiebreak]
    terms = [dialect.order_term(k.sql, k.descending) if k.nullable else f"{k.sql} DESC" if k.descending else k.sql
             for k in keys]
    if not terms and (offset or limit is not None):
        terms = list(tiebreak)
    later = [f"({_keyset(b, keys, after)})"] if after is not None else []
    if callable(items):
        items = items(keys)
    if distinct:
        _plain_order(b, order, "distinct()")
        aliases = [join.alias + "." for join in b.joins.values()]
        if any(alias in item for item in items for alias in aliases):
            raise UnknownLookupError("distinct() cannot be combined with values across a relation")
        where_sql = _where_sql(where)
        partition = ", ".join(b.column(field_def) for field_def in distinct)
        window = ", ".join(terms or tiebreak)
        inner = (
            f'SELECT {TABLE}.*, ROW_NUMBER() OVER (PARTITION BY {partition} ORDER BY {window}) AS "_rank" '
            f"FROM {b.from_sql()}{where_sql}"
        )
        outer = " AND ".join([f'{TABLE}."_rank" = 1', *later])
        sql = f"SELECT {', '.join(items)} FROM ({inner}) AS {TABLE} WHERE {outer} ORDER BY {', '.join(terms or tiebreak)}"
    else:
        where += later
        where_sql = _where_sql(where)
        sql = f"SELECT {', '.join(items)} FROM {b.from_sql()}{where_sql}"
        if terms:
            sql += f" ORDER BY {', '.join(terms)}"
    page, page_params = dialect.limit_offset(limit, offset)
    b.params.extend(page_params)
    return sql + page


def compile_exists(source: Source, queryset: Any) -> tuple[str, list[Any]]:
    """The statement giving one row when ``queryset`` selects any (at most one row is read)."""
    if _sliced(queryset):
        inner = compile_select(source, queryset)
        return f"SELECT 1 FROM ({inner.sql}) AS {TABLE}_any LIMIT 1", inner.params
    b = _Builder(source)
    where_sql = _where_sql(_where_terms(b, source, queryset))
    return f"SELECT 1 FROM {b.from_sql()}{where_sql} LIMIT 1", b.all_params()


@dataclass(slots=True)
class Selected:
    """A field (or address part) that a values query selects, as named, with what reads its values."""

    name: str
    sql: str
    field: StoredField | None
    """None for an address part (its values are ints)."""
    model: ModelFields
    source: Source


def _selected(b: _Builder, name: str, context: str = "in values") -> Selected:
    """A field of the model, an address part or a path across relations (``author__name``)."""
    if not isinstance(name, str):
        raise InvalidValueError(f"values() takes field names, not {name!r}")
    if name.startswith(ADDRESS_FIELD + "__"):
        part = name[len(ADDRESS_FIELD) + 2 :]
        if part not in ADDRESS_PARTS:
            raise UnknownFieldError(f"unknown address field {name!r}")
        return Selected(name, f"{b.alias}.{ADDRESS_PARTS[part]}", None, b.model, b.source)
    head, sep, rest = name.partition("__")
    if sep and rest and name not in b.fields:
        selected = _selected(b.join(head, b.relation(head, f"in {name!r}")), rest, context)
        selected.name = name
        return selected
    field_def = b.field(name, context)
    return Selected(name, b.column(field_def), field_def, b.model, b.source)


@dataclass(slots=True)
class ValuesStatement:
    sql: str
    params: list[Any]
    selected: list[Selected]


def compile_values(source: Source, queryset: Any, names: Sequence[str]) -> ValuesStatement:
    """The statement giving, per row of ``queryset``, the named fields (every field when none is named)."""
    b = _Builder(source)
    selected = [_selected(b, name) for name in names or list(source.stored.fields)]
    sql = _select_sql(b, queryset, [item.sql for item in selected])
    return ValuesStatement(sql, b.all_params(), selected)


def value_reader(source: Source, selected: Selected) -> Callable[[Any], Any] | None:
    """What turns a selected column's values into the values instances hold (None: they are already)."""
    field_def = selected.field
    if field_def is None or field_def.kind == RELATION:
        return None  # ids
    codec, kind, model = source.dialect.codec, field_def.kind, selected.model
    decode = codec.decoder(kind)
    types = codec.decoded_types.get(kind)
    check = None if _as_stored(source.dialect, model, field_def) else model.check_value
    name = field_def.name
    if decode is None and check is None:
        return None

    def read(value: Any) -> Any:
        if value is None:
            return None
        if decode is not None and (types is None or type(value) in types):
            value = decode(value)
        return value if check is None else check(name, value)

    return read


_AS_STORED: Final = {int, str, float, bytes}
_AS_STORED_TYPED: Final = {bool, datetime.date, datetime.datetime}


def _as_stored(dialect: Dialect, model: ModelFields, field_def: StoredField) -> bool:
    """Whether a column's (decoded) values are what instances hold, without validating them."""
    annotation, _ = _strip(model.annotations[field_def.name])
    if annotation in _AS_STORED:
        return True
    # Typed columns give these as they are; SQLite keeps them as numbers or text.
    return annotation in _AS_STORED_TYPED and dialect.name != "sqlite"


_SUMMED: Final = frozenset({CoreTypes.INTEGER.value, CoreTypes.NUMBER.value})


@dataclass(slots=True)
class AggregateStatement:
    sql: str
    params: list[Any]
    groups: list[Selected]
    outputs: list[tuple[str, str, Selected | None, bool]]
    """Per aggregate, after the group columns: its name, its function, what it reads, and
    whether a column telling whether NaN was among its values follows."""


def compile_aggregate(
    source: Source, queryset: Any, named: Mapping[str, Any], group: Sequence[str] = ()
) -> AggregateStatement:
    """The statement computing aggregates over the rows of ``queryset``, per group of values of ``group``.

    A sliced or distinct query set is aggregated over the rows it selects (a subquery).
    Rows come ordered by the group values.
    """
    from kestrum_utils.query.aggregates import Aggregate

    dialect = source.dialect
    if _sliced(queryset):
        inner = _Builder(source)
        inner_sql = _select_sql(inner, queryset, [f"{TABLE}.*"])
        b = _Builder(source, [])
        where_sql, from_sql, params = "", f"({inner_sql}) AS {TABLE}", inner.all_params()
    else:
        b = _Builder(source)
        where_sql = _where_sql(_where_terms(b, source, queryset))
        from_sql, params = "", []
    groups = []
    for name in group:
        selected = _selected(b, name, "in group_by()")
        field_def = selected.field
        if field_def is not None and (field_def.kind in JSON_KINDS or selected.model.form(field_def.name)):
            raise UnknownLookupError(
                f"{selected.model.class_name}.{field_def.name} ({field_def.kind}) cannot be grouped by: "
                "its stored form does not compare as its values do"
            )
        groups.append(selected)
    items = [_group_key(dialect, selected) for selected in groups]
    outputs: list[tuple[str, str, Selected | None, bool]] = []
    if not named:
        raise InvalidValueError("aggregate() needs at least one named aggregate, such as n=Count()")
    for name, aggregate in named.items():
        if not isinstance(aggregate, Aggregate):
            raise InvalidValueError(
                f"aggregate {name}={aggregate!r} is not an aggregate function: use Count, Sum, Avg, Min or Max"
            )
        function = aggregate.function
        if aggregate.field is None:
            items.append("count(*)")
            outputs.append((name, function, None, False))
            continue
        selected = _selected(b, aggregate.field, f"in aggregate {name}={aggregate!r}")
        sql, nan = _aggregated(dialect, selected, aggregate)
        items.append(sql)
        if nan is not None:
            items.append(nan)
        outputs.append((name, function, selected, nan is not None))
    if not from_sql:
        from_sql, params = b.from_sql(), []
    else:
        from_sql += "".join(join.sql for join in b.joins.values())
    sql = f"SELECT {', '.join(items)} FROM {from_sql}{where_sql}"
    if groups:
        keys = [_group_key(dialect, selected) for selected in groups]
        sql += f" GROUP BY {', '.join(keys)} ORDER BY {', '.join(dialect.order_term(k, False) for k in keys)}"
    return AggregateStatement(sql, params + b.all_params(), groups, outputs)


def _group_key(dialect: Dialect, selected: Selected) -> str:
    field_def = selected.field
    if field_def is not None and field_def.kind == CoreTypes.NUMBER.value:
        return dialect.number_key(selected.sql)
    return selected.sql


def _aggregated(dialect: Dialect, selected: Selected, aggregate: Any) -> tuple[str, str | None]:
    """The SQL of one aggregate over a selected field, and of its NaN test where the dialect needs one."""
    field_def, function = selected.field, aggregate.function
    sql = selected.sql
    if field_def is None:  # an address part
        if function in ("sum", "avg"):
            raise UnknownLookupError(f"{type(aggregate).__name__}() does not apply to {selected.name!r}")
        return f"{function}({'DISTINCT ' if aggregate.distinct else ''}{sql})", None
    kind, model = field_def.kind, selected.model
    form = model.form(field_def.name)
    refused = (
        function in ("sum", "avg") and (kind not in _SUMMED or form is not None)
    ) or (
        function in ("min", "max") and (kind not in ORDERED_KINDS or kind == CoreTypes.BOOLEAN.value or form)
    )
    if refused:
        raise UnknownLookupError(
            f"{type(aggregate).__name__}() does not apply to {model.class_name}.{field_def.name} ({kind})"
        )
    distinct = "DISTINCT " if aggregate.distinct else ""
    if function == "count":
        if distinct:
            sql = dialect.form_key(form, sql) if form else _group_key(dialect, selected)
        return f"count({distinct}{sql})", None
    if kind == CoreTypes.NUMBER.value:
        return f"{function}({distinct}{dialect.number_value(sql)})", dialect.nan_seen(sql)
    return f"{function}({distinct}{sql})", None


def aggregate_reader(source: Source, function: str, selected: Selected | None) -> Callable[[Any, bool], Any]:
    """What turns an aggregate's value (and whether NaN was among its values) into its result."""
    if function == "count":
        return lambda value, nan: int(value or 0)
    field_def = selected.field if selected is not None else None
    kind = field_def.kind if field_def is not None else CoreTypes.INTEGER.value
    if function == "avg" or (function == "sum" and kind == CoreTypes.NUMBER.value):
        return lambda value, nan: math.nan if nan else None if value is None else float(value)
    if function == "sum":
        return lambda value, nan: None if value is None else int(value)
    read = value_reader(source, selected) if selected is not None else None

    def extreme(value: Any, nan: bool) -> Any:
        # NaN sorts after every number, as PostgreSQL sorts it: the greatest value, and
        # the least only when there is nothing else.
        if nan and (function == "max" or value is None):
            return math.nan
        if value is None:
            return None
        if kind == CoreTypes.NUMBER.value:
            return float(value)
        return value if read is None else read(value)

    return extreme


@dataclass(slots=True)
class PageStatement:
    sql: str
    params: list[Any]
    columns: list[str]
    only: frozenset[str] | None
    keys: list[int]
    """Where in a row each term of the order is (after the field columns, or the address's
    negative positions): the last row's values there start the next page."""


def _field_columns(source: Source, queryset: Any) -> tuple[list[str], frozenset[str] | None]:
    """The field columns compile_select would select, and the field selection."""
    specifier = queryset.get_query_specifier()
    only_names = _names(specifier.only or [], "only")
    for name in only_names:
        _Builder(source, []).field(name, "in only")
    only = frozenset(only_names) if only_names else None
    columns = [
        column
        for column in source.stored.columns
        if only is None or any(s.column == column for s in source.stored.fields.values() if s.name in only)
        or _only_elsewhere(source.stored, only, column)
    ]
    return columns, only


def compile_page(
    source: Source, queryset: Any, *, size: int, offset: int | None, after: Sequence[Any] | None
) -> PageStatement:
    """One page of at most ``size`` rows of ``queryset`` in its total order (its ordering, then the
    address), after the row whose order terms have the values ``after``: rows as compile_select
    gives them, with the terms that are not address parts between the version columns (if any) and
    the address.
    """
    b = _Builder(source)
    columns, only = _field_columns(source, queryset)
    q = source.dialect.quote
    address = [f'{TABLE}."_object_id"', f'{TABLE}."_object_version"', f'{TABLE}."_class_version"']
    selected = source.address_select()
    # The version columns right after the field columns, where the row plans read them.
    versions = source.version_select()
    positions: list[int] = []

    def items(keys: list[_Key]) -> list[str]:
        extra: list[str] = []
        for key in keys:
            if key.sql in address:
                positions.append(address.index(key.sql) - len(address))
            else:
                positions.append(len(columns) + len(versions) + len(extra))
                extra.append(key.sql)
        return [*(f"{TABLE}.{q(column)}" for column in columns), *versions, *extra, *selected]

    sql = _select_sql(b, queryset, items, paging=(offset, size), keyed=True, after=after)
    return PageStatement(sql, b.all_params(), columns, only, positions)


def compile_rewrite(
    source: Source, queryset: Any, values: Mapping[str, Any] | None, *, pending: bool,
    stamp: tuple[Any, Any] = (None, None),
) -> Rewrite:
    """The statement that appends to the history a version of every object ``queryset`` selects:
    the latest one with ``values`` set (fields by name), or a deletion (``values`` None).

    ``source`` is what the query set reads in the history's database: the latest objects'
    table when it is there (its trigger then brings the table level), else the history's
    latest versions; then the statement returns the rows it wrote (history row layout)
    for publication.
    """
    dialect, stored, model = source.dialect, source.stored, source.model
    q = dialect.quote
    b = _Builder(source)
    fields = list(stored.fields.values())
    new: dict[str, Any] = {}
    for name, value in (values or {}).items():
        field_def = b.field(name, "in update()")
        if field_def.kind == RELATION:
            value = b.related_id(field_def, value, name)
        if value is None and not field_def.nullable:
            raise InvalidValueError(f"{model.class_name}.{name} cannot be set to None: the field is not optional")
        new[name] = dialect.codec.encode(field_def.kind, model.check_value(name, value))
    kept = [f"{TABLE}.{q(field_def.column)}" for field_def in fields if values is not None and field_def.name not in new]
    readable = sorted(v for v in stored.versions if stored.current in stored.compatible(v))
    matched_items = [f'{TABLE}."_object_id"', f'{TABLE}."_object_version"', f'{TABLE}."_class_version"', *kept]
    latest = [f'{TABLE}."_is_latest" = TRUE'] if source.history else []
    matched = _select_sql(b, queryset, matched_items, where=latest)
    params = b.all_params()
    history = q(stored.table_name + "__history")
    columns = [q(c) for c in (*ADDRESS, "_is_latest", "_deleted", "_pending", "_saved_at", "_note", "_superseded_at")]
    mark = dialect.placeholder
    if dialect.name == "postgresql":  # a SELECT list gives a parameter no type of its own
        marks = [f"CAST({mark} AS {dialect.column_types[kind]})"
                 for kind in (CoreTypes.DATETIME.value, CoreTypes.STRING.value)]
    else:
        marks = [mark, mark]
    picked = ['m."_object_id"', 'm."_object_version" + 1', str(int(stored.current)),
              "TRUE" if values is not None else "FALSE", "FALSE" if values is not None else "TRUE",
              "TRUE" if pending else "FALSE", *marks, marks[0]]
    tail: list[Any] = [*stamp, dialect.codec.encode(CoreTypes.DATETIME.value, NEVER)]
    if values is not None:
        for position, field_def in enumerate(fields):
            columns.append(q(field_def.column))
            if field_def.name in new:
                mark = dialect.placeholder
                if dialect.name == "postgresql":  # a SELECT list gives a parameter no type of its own
                    mark = f"CAST({mark} AS {dialect.column_types[field_def.kind]})"
                picked.append(mark)
                tail.append(new[field_def.name])
            else:
                picked.append(f"m.{q(field_def.column)}")
    if dialect.name == "sqlite":
        columns.append(q("_tx"))
        picked.append(f'(SELECT coalesce(max("_tx"), 0) + 1 FROM {history})')
    # Matched first, in full: the writes must not change what the query reads while it runs.
    sql = (
        f"INSERT INTO {history} ({', '.join(columns)}) WITH m AS MATERIALIZED ({matched}) "
        f"SELECT {', '.join(picked)} FROM m"
    )
    check = None
    if any(v not in readable for v in stored.versions):
        # Objects stored by a definition this class cannot read are never rewritten as it.
        listed = ", ".join(str(int(v)) for v in readable)
        sql += f' WHERE m."_class_version" IN ({listed})'
        check = (f'SELECT m."_object_id" FROM ({matched}) AS m WHERE m."_class_version" NOT IN ({listed}) LIMIT 1',
                 list(params))
    if source.history:
        returned = [*ADDRESS, "_is_latest", "_deleted", "_pending", "_saved_at", "_note", "_superseded_at",
                    *(f.column for f in fields)]
        sql += f" RETURNING {', '.join(q(c) for c in returned)}"
    return Rewrite(sql, [*params, *tail], check)


@dataclass(slots=True)
class Rewrite:
    sql: str
    params: list[Any]
    check: tuple[str, list[Any]] | None
    """A statement giving the id of a selected object this class cannot read, when there may be one."""


# -- rows ----------------------------------------------------------------------


class UnknownVersion(Exception):
    """Rows of a class version this process has not seen yet: the registry must be read again."""


@dataclass(slots=True)
class RowPlan:
    """How rows of one class version become ``glue.Data`` records (``layout`` is what :func:`build_rows` uses)."""

    names: tuple[str, ...]
    positions: tuple[int, ...]
    reference: dict[str, Any] | None
    metadata: dict[str, Any] | None
    decoders: tuple[tuple[str, Callable[[Any], Any]], ...]
    relations: tuple[str, ...]
    layout: RowLayout


class RowPlans:
    """The row plans of one query, made as versions turn up."""

    def __init__(self, source: Source, columns: list[str], only: frozenset[str] | None) -> None:
        self.source = source
        self.columns = columns
        self.only = only
        self.plans: dict[int, RowPlan] = {}

    def __call__(self, version: int) -> RowPlan:
        plan = self.plans.get(version)
        if plan is None:
            plan = self.plans[version] = self._make(version)
        return plan

    def layout(self, version: int) -> RowLayout:
        """The layout of rows of a class version (raises :class:`UnknownVersion`)."""
        return self(version).layout

    def _make(self, version: int) -> RowPlan:
        stored = self.source.stored
        address = self.source.address_entries(len(self.columns))
        if version < 0 and self.source.variant == HISTORY:
            # A deletion: no field, its address (with its own class version) and version entries.
            if -version not in stored.versions:
                raise UnknownVersion(-version)
            reference = {"ref": {"class_name": stored.class_name, "object_version": DELETION}}
            metadata = {COMPATIBLE_CLASS_VERSIONS: frozenset()}
            own_version = ("class_version", len(self.columns) + len(address), None, None)
            layout = RowLayout((), (), (), reference, metadata, (*address, own_version))
            return RowPlan((), (), reference, metadata, (), (), layout)
        written = stored.versions.get(version)
        if written is None:
            raise UnknownVersion(version)
        # Rows the class can read are built as the class, from its own fields only (a
        # field another version has and this one lacks would fail a class that forbids
        # extra fields); other rows keep every field for the legacy wrapper.
        compatible = stored.compatible(version)
        own = stored.fields if stored.current in compatible else written.fields
        index = {column: i for i, column in enumerate(self.columns)}
        pairs = [
            (name, index[field_def.column])
            for name, field_def in written.fields.items()
            if field_def.column in index and (self.only is None or name in self.only) and name in own
        ]
        names = tuple(name for name, _ in pairs)
        positions = tuple(i for _, i in pairs)
        # A decoder runs on a field's non-null values, or only on values of the types the
        # codec names for its kind (a float column's NaN and -0.0 are bytes on SQLite).
        codec = self.source.dialect.codec
        steps = tuple(
            (i, decoder, codec.decoded_types.get(kind))
            for i, name in enumerate(names)
            if (decoder := codec.decoder(kind := written.fields[name].kind)) is not None
        )
        decoders = tuple((names[i], decoder) for i, decoder, _ in steps)
        relations = tuple(name for name in names if written.fields[name].kind == RELATION)
        # This process's own version needs no schema history. Rows of any other version
        # (older, or newer from a process running a newer definition) carry the versions
        # whose classes can read them: instance creation builds them as the class when
        # the version this process publishes as the latest (its own) is among those.
        if version == stored.current:
            reference, metadata = None, None
        else:
            reference = {"ref": {"class_name": stored.class_name, "object_version": version}}
            metadata = {COMPATIBLE_CLASS_VERSIONS: compatible}
        layout = RowLayout(names, positions, steps, reference, metadata, address)
        return RowPlan(names, positions, reference, metadata, decoders, relations, layout)


def build_rows(rows: Iterable[tuple[Any, ...]], plans: RowPlans, annotations: Mapping[str, Any]) -> list[Data]:
    """``glue.Data`` records of fetched rows (an iterable consumed as rows arrive).

    Each record's ``data`` holds the fields, and ``_metadata`` with the row's address:
    ``{"object_id": int, "object_version": int, "class_version": int}``, plus
    ``"class_schema_reference": {"ref": {"class_name": ..., "object_version": <class
    version>}}`` for a row written under another class version than this process's
    own, whose record's ``metadata`` holds the versions compatible with it. Rows of this
    process's own class version need neither: instance creation builds them as the
    class without consulting the schema history. ``annotations`` are added to every
    record's fields. The records are made natively (:mod:`kestrum_glue._records`), with
    no Python code per row but the decoders.
    """
    return build_records(rows, plans.layout, annotations)
