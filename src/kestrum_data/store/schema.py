"""Class schemas in the database: versions, compatibility, tables and columns.

Each database keeps a registry table, ``_kestrum_classes``: one row per version of a
model class's schema (its stored fields). The first use of a class registers its
fields as version 1; when the class's fields change (a field added, removed,
retyped, or made optional or required), its next use registers the next version.

Tables of a class whose ``table_name`` is ``T``:

``T__history``
    every saved version of every object, keyed by (``_object_id``,
    ``_object_version``), with its class version, whether it is the latest version
    of its object (``_is_latest``), whether it records a deletion (``_deleted``) and
    whether it still has to reach a separate latest-objects database (``_pending``);
``T``
    the latest version of each object: a view of ``T__history`` when both live in
    one database, a table of its own in the database of the default alias otherwise.

A field keeps its column for as long as its type stays the same; a field whose type
changes gets a new column (``name__type``), so rows written earlier keep their values.
"""

from __future__ import annotations

import datetime
import json
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Final

from kestrum_data.store.database import Dialect, Plan, execute, query
from kestrum_data.store.errors import SchemaError
from kestrum_data.store.fields import ModelFields, StoredField

REGISTRY: Final = "_kestrum_classes"
ADDRESS: Final = ("_object_id", "_object_version", "_class_version")
HISTORY_FLAGS: Final = ("_is_latest", "_deleted", "_pending")


@dataclass(frozen=True, slots=True)
class ClassVersion:
    version: int
    fields: dict[str, StoredField]
    signature: str

    def reads(self, stored: ClassVersion) -> bool:
        """Whether this version's class can be built from rows written under ``stored``."""
        for name, field_def in self.fields.items():
            old = stored.fields.get(name)
            if old is None:
                if field_def.required:
                    return False
            elif not field_def.reads(old):
                return False
        return True


@dataclass(slots=True)
class StoredClass:
    """What a database holds of one model class: its schema versions and tables."""

    class_name: str
    table_name: str
    versions: dict[int, ClassVersion]
    current: int
    """The version matching the class as defined in this process."""
    columns: dict[str, str] = field(default_factory=dict)
    """Every field column of the tables (over all versions), with its kind."""

    @property
    def latest(self) -> int:
        return max(self.versions)

    @property
    def fields(self) -> dict[str, StoredField]:
        """The fields of the current version, with their columns."""
        return self.versions[self.current].fields

    def compatible(self, stored: int) -> frozenset[int]:
        """The versions whose classes can read rows written under version ``stored``."""
        written = self.versions[stored]
        return frozenset(v for v, version in self.versions.items() if version.reads(written))


def _column_for(field_def: StoredField, version: int, taken: dict[str, tuple[str, str | None]]) -> str:
    # The same name and type keep their column; a new type gets a new one.
    for column, kind in taken.items():
        named = column == field_def.name or column.startswith(field_def.name + "__")
        if kind == (field_def.kind, field_def.related) and named:
            return column
    for column in (field_def.name, f"{field_def.name}__{field_def.kind}", f"{field_def.name}__v{version}"):
        if column not in taken:
            return column
    raise SchemaError(f"no free column for field {field_def.name!r}")  # pragma: no cover - names above are unique


def _decode_versions(rows: Iterable[tuple[Any, ...]]) -> dict[int, ClassVersion]:
    versions = {}
    for version, fields_json, signature in rows:
        field_defs = [StoredField.from_json(item) for item in json.loads(fields_json)]
        by_name = {field_def.name: field_def for field_def in field_defs}
        versions[int(version)] = ClassVersion(int(version), by_name, signature)
    return versions


def _registry_ddl(dialect: Dialect) -> str:
    q = dialect.quote
    return (
        f"CREATE TABLE IF NOT EXISTS {q(REGISTRY)} ("
        f"{q('class_name')} TEXT NOT NULL, {q('version')} INTEGER NOT NULL, {q('table_name')} TEXT NOT NULL, "
        f"{q('fields')} TEXT NOT NULL, {q('signature')} TEXT NOT NULL, {q('created_at')} TEXT NOT NULL, "
        f"PRIMARY KEY ({q('class_name')}, {q('version')}))"
    )


def register(dialect: Dialect, model: ModelFields, copy_of: StoredClass | None = None) -> Plan[StoredClass]:
    """Plan: find or register the class's schema version in the registry of one database.

    With ``copy_of`` (the class as registered in another database, the authority on
    version numbers), the registry is brought level with it instead.
    """
    p, q = dialect.placeholder, dialect.quote
    if dialect.name == "postgresql":
        # One schema change at a time across processes; released at commit.
        yield query("SELECT pg_advisory_xact_lock(7236135181)")
    yield execute(_registry_ddl(dialect))
    rows = yield query(
        f"SELECT {q('version')}, {q('fields')}, {q('signature')}, {q('table_name')} FROM {q(REGISTRY)} "
        f"WHERE {q('class_name')} = {p} ORDER BY {q('version')}",
        (model.class_name,),
    )
    for row in rows:
        if row[3] != model.table_name:
            raise SchemaError(
                f"class {model.class_name} is stored in table {row[3]!r}, not {model.table_name!r}: "
                "keep its __table_name__ or store it under another class name"
            )
    versions = _decode_versions(row[:3] for row in rows)
    new: list[ClassVersion] = []
    if copy_of is not None:
        new = [v for n, v in copy_of.versions.items() if versions.get(n) != v]
        versions.update({v.version: v for v in new})
        current = copy_of.current
    else:
        signature = model.signature()
        current = next((v.version for v in versions.values() if v.signature == signature), 0)
        if not current:
            current = max(versions, default=0) + 1
            taken: dict[str, tuple[str, str | None]] = {}
            for version in versions.values():
                for field_def in version.fields.values():
                    taken[field_def.column] = (field_def.kind, field_def.related)
            field_defs = {}
            for name, field_def in model.fields.items():
                column = _column_for(field_def, current, taken)
                taken[column] = (field_def.kind, field_def.related)
                field_defs[name] = StoredField(
                    field_def.name, field_def.kind, field_def.nullable, field_def.required, field_def.related, column
                )
            new = [ClassVersion(current, field_defs, signature)]
            versions[current] = new[0]
    for version in new:
        fields_json = json.dumps([field_def.to_json() for field_def in version.fields.values()])
        yield execute(
            f"DELETE FROM {q(REGISTRY)} WHERE {q('class_name')} = {p} AND {q('version')} = {p}",
            (model.class_name, version.version),
        )
        yield execute(
            f"INSERT INTO {q(REGISTRY)} VALUES ({p}, {p}, {p}, {p}, {p}, {p})",
            (
                model.class_name,
                version.version,
                model.table_name,
                fields_json,
                version.signature,
                datetime.datetime.now(datetime.UTC).isoformat(),
            ),
        )
    stored = StoredClass(model.class_name, model.table_name, versions, current)
    for version in versions.values():
        for field_def in version.fields.values():
            stored.columns[field_def.column] = field_def.kind
    return stored


def read_registry(dialect: Dialect, class_name: str) -> Plan[dict[int, ClassVersion]]:
    """Plan: the registered versions of a class (none when the registry does not exist yet)."""
    p, q = dialect.placeholder, dialect.quote
    yield execute(_registry_ddl(dialect))
    rows = yield query(
        f"SELECT {q('version')}, {q('fields')}, {q('signature')} FROM {q(REGISTRY)} WHERE {q('class_name')} = {p}",
        (class_name,),
    )
    return _decode_versions(rows)


def _existing_columns(dialect: Dialect, table: str) -> Plan[list[str] | None]:
    if dialect.name == "sqlite":
        rows = yield query("SELECT name FROM pragma_table_info(?)", (table,))
        kinds = yield query("SELECT type FROM sqlite_master WHERE name = ?", (table,))
        kind = kinds[0][0] if kinds else None
    else:
        rows = yield query(
            "SELECT column_name FROM information_schema.columns "
            "WHERE table_schema = current_schema() AND table_name = %s ORDER BY ordinal_position",
            (table,),
        )
        kinds = yield query(
            "SELECT table_type FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = %s",
            (table,),
        )
        kind = {"BASE TABLE": "table", "VIEW": "view"}.get(kinds[0][0], kinds[0][0]) if kinds else None
    if kind is None:
        return None
    return [f"{kind}:{row[0]}" for row in rows] or [f"{kind}:"]


def create_tables(dialect: Dialect, stored: StoredClass, *, history: bool, latest: str | None, indexes: Any) -> Plan[None]:
    """Plan: create or extend the tables of a class in one database.

    ``history``: this database holds ``T__history``. ``latest``: ``"view"`` for the
    latest-objects view over the history, ``"table"`` for a separate latest table.
    """
    q = dialect.quote
    types = dialect.column_types
    integer, boolean = types["integer"], types["boolean"]
    table = stored.table_name
    history_table = f"{table}__history"
    columns = [(q(column), types[kind]) for column, kind in stored.columns.items()]
    address = [(q("_object_id"), f"{integer} NOT NULL"), (q("_object_version"), f"{integer} NOT NULL"),
               (q("_class_version"), f"{integer} NOT NULL")]

    def check(found: list[str] | None, name: str, kind: str, required: Iterable[str]) -> list[str] | None:
        if found is None:
            return None
        kinds = {item.split(":", 1)[0] for item in found}
        names = {item.split(":", 1)[1] for item in found}
        if kinds != {kind} or not set(required) <= names:
            raise SchemaError(
                f"{name!r} already exists in {dialect.name} database and is not a {kind} of stored "
                f"{stored.class_name} objects; set __table_name__ on the class to store it elsewhere"
            )
        return [n for n in names]

    if history:
        found = check((yield from _existing_columns(dialect, history_table)), history_table, "table",
                      [*ADDRESS, *HISTORY_FLAGS])
        if found is None:
            flags = [(q(flag), f"{boolean} NOT NULL DEFAULT FALSE") for flag in HISTORY_FLAGS]
            body = ", ".join(f"{name} {kind}" for name, kind in [*address, *flags, *columns])
            suffix = " WITHOUT ROWID" if dialect.name == "sqlite" else ""
            yield execute(
                f"CREATE TABLE {q(history_table)} ({body}, PRIMARY KEY ({q('_object_id')}, {q('_object_version')})){suffix}"
            )
            found = [c for c in stored.columns]
        for column, kind in stored.columns.items():
            if column not in found:
                yield execute(f"ALTER TABLE {q(history_table)} ADD COLUMN {q(column)} {types[kind]}")
        if dialect.name == "postgresql":
            yield execute(f"CREATE SEQUENCE IF NOT EXISTS {q(table + '__ids')}")
    if latest == "view":
        found = check((yield from _existing_columns(dialect, table)), table, "view", ADDRESS)
        if found is None or set(stored.columns) - set(found):
            select = ", ".join(q(c) for c in [*ADDRESS, *stored.columns])
            yield execute(f"DROP VIEW IF EXISTS {q(table)}")
            yield execute(
                f"CREATE VIEW {q(table)} AS SELECT {select} FROM {q(history_table)} WHERE {q('_is_latest')} = TRUE"
            )
    elif latest == "table":
        found = check((yield from _existing_columns(dialect, table)), table, "table", ADDRESS)
        if found is None:
            body = ", ".join(f"{name} {kind}" for name, kind in [*address, *columns])
            yield execute(f"CREATE TABLE {q(table)} ({body}, PRIMARY KEY ({q('_object_id')}))")
            found = list(stored.columns)
        for column, kind in stored.columns.items():
            if column not in found:
                yield execute(f"ALTER TABLE {q(table)} ADD COLUMN {q(column)} {types[kind]}")
    for fields in indexes:
        cols = [stored.fields[name].column for name in fields]
        name = "__".join([table, "idx", *cols])
        if latest == "view" and history:
            # Not a partial index on the latest rows: planners without statistics would
            # scan it (and look every row up) even for reading the whole table.
            yield execute(
                f"CREATE INDEX IF NOT EXISTS {q(name)} ON {q(history_table)} ({', '.join(q(c) for c in cols)}, "
                f"{q('_object_id')})"
            )
        elif latest == "table":
            yield execute(
                f"CREATE INDEX IF NOT EXISTS {q(name)} ON {q(table)} ({', '.join(q(c) for c in cols)}, {q('_object_id')})"
            )


def index_fields(model: type[Any], fields: dict[str, StoredField]) -> list[tuple[str, ...]]:
    """The field tuples named by a class's ``__indexes__``, checked against its fields."""
    result = []
    for entry in getattr(model, "__indexes__", ()) or ():
        names = (entry,) if isinstance(entry, str) else tuple(entry)
        for name in names:
            if name not in fields:
                raise SchemaError(f"{model.__name__}.__indexes__ names {name!r}, which is not a field")
        result.append(names)
    return result
