"""Class schemas in the database: versions, compatibility, tables and columns.

Each database keeps a registry table, ``_kestrum_classes``: one row per version of the
schema (the stored fields) of the class stored in a table. The first use of a class
registers its fields as version 1; when the class's fields change (a field added,
removed, retyped, or made optional or required), the first use of the changed class
registers the next version. A process reads and writes as the version its own
definition matches (:attr:`StoredClass.current`), which need not be the newest one.

Tables of a class whose ``table_name`` is ``T``:

``T__history``
    every saved version of every object, keyed by (``_object_id``,
    ``_object_version``), with its class version, whether it is the latest version
    of its object (``_is_latest``), whether it records a deletion (``_deleted``) and
    whether it still has to reach a separate latest-objects database (``_pending``);
``T``
    the latest version of each object: a view of ``T__history`` when both live in
    one database, a table of its own in the database of the default alias otherwise.

A table belongs to one class: the registry refuses a second class name for it, and,
in SQLite, a table name differing from it only in case (there, the same table). A field keeps its column
for as long as its type stays the same; a field whose type changes gets a new column,
so rows written earlier keep their values.
"""

from __future__ import annotations

import datetime
import hashlib
import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Final

from kestrum_data.store.database import Dialect, Plan, execute, query
from kestrum_data.store.errors import SchemaError
from kestrum_data.store.fields import ModelFields, StoredField

REGISTRY: Final = "_kestrum_classes"
ADDRESS: Final = ("_object_id", "_object_version", "_class_version")
HISTORY_FLAGS: Final = ("_is_latest", "_deleted", "_pending")

IDENTIFIER_BYTES: Final = 63
"""The longest identifier PostgreSQL keeps (longer ones are cut, and then collide)."""
HISTORY_SUFFIX: Final = "__history"
SCHEMA_LOCK: Final = 7236135181
"""PostgreSQL advisory lock held while a schema changes (SQLite's write lock serves there)."""


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
    """The version matching the class as defined in this process: the version it writes,
    whose rows it builds as the class without consulting the others (other processes may
    run other definitions, older or newer)."""
    columns: dict[str, str] = field(default_factory=dict)
    """Every field column of the tables (over all versions), with its kind."""
    derived: dict[str, Any] = field(default_factory=dict, repr=False)
    """What readers derive from the versions, kept with them (see the query compiler)."""

    @property
    def fields(self) -> dict[str, StoredField]:
        """The fields of the current version, with their columns."""
        return self.versions[self.current].fields

    def compatible(self, stored: int) -> frozenset[int]:
        """The versions whose classes can read rows written under version ``stored``."""
        key = f"compatible:{stored}"
        found = self.derived.get(key)
        if found is None:
            written = self.versions[stored]
            found = self.derived[key] = frozenset(v for v, version in self.versions.items() if version.reads(written))
        return found


def fold(name: str) -> str:
    """``name`` with ASCII letters in lower case: SQLite's identity of identifiers."""
    return name.encode().lower().decode()


def fitted(name: str) -> str:
    """``name``, or a shortened name with a digest of it when it exceeds the identifier limit."""
    data = name.encode()
    if len(data) <= IDENTIFIER_BYTES:
        return name
    head = data[: IDENTIFIER_BYTES - 10].decode(errors="ignore")
    return f"{head}__{hashlib.sha256(data).hexdigest()[:8]}"


def _allocate_columns(model: ModelFields, version: int, versions: dict[int, ClassVersion]) -> dict[str, StoredField]:
    """The fields of a new version with their columns.

    A field keeps the column it had under the same name and type in an earlier version.
    Any other field gets a column no field has ever used (compared as SQLite compares
    names, ignoring case), first its own name, so that a field named ``b__c`` and a
    field ``b`` never share one whatever their order; every column fits PostgreSQL.
    """
    previous: dict[tuple[str, str, str | None], str] = {}
    taken: set[str] = set()
    for number in sorted(versions):
        for old in versions[number].fields.values():
            previous[(old.name, old.kind, old.related)] = old.column
            taken.add(fold(old.column))
    columns: dict[str, str] = {}
    kept: set[str] = set()
    for name, field_def in model.fields.items():
        column = previous.get((name, field_def.kind, field_def.related))
        if column is not None and fold(column) not in kept:  # never two fields in one column
            columns[name] = column
            kept.add(fold(column))
    waiting = [name for name in model.fields if name not in columns]
    for name in waiting:
        column = fitted(name)
        if fold(column) not in taken:
            columns[name] = column
            taken.add(fold(column))
    for name in waiting:
        if name in columns:
            continue
        kind = model.fields[name].kind
        candidates = [f"{name}__{kind}", f"{name}__v{version}"]
        candidates += (f"{name}__v{version}_{n}" for n in range(2, 2 + len(taken)))
        column = next(c for c in map(fitted, candidates) if fold(c) not in taken)
        columns[name] = column
        taken.add(fold(column))
    return {
        name: StoredField(f.name, f.kind, f.nullable, f.required, f.related, columns[name])
        for name, f in model.fields.items()
    }


def _decode_versions(rows: Iterable[Sequence[Any]]) -> dict[int, ClassVersion]:
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
        f"PRIMARY KEY ({q('table_name')}, {q('version')}))"
    )


def _rekey_registry(dialect: Dialect) -> Plan[None]:
    """Plan: key a registry of class names by table name (two classes of one name may have two tables).

    Of versions that a broken registry holds twice for one table, the first registered is kept.
    """
    q = dialect.quote
    old = REGISTRY + "__by_class"
    yield execute(f"ALTER TABLE {q(REGISTRY)} RENAME TO {q(old)}")
    if dialect.name == "postgresql":
        # The old primary key's index keeps its name: free it for the new table's.
        yield execute(f"ALTER TABLE {q(old)} DROP CONSTRAINT IF EXISTS {q(REGISTRY + '_pkey')}")
    yield execute(_registry_ddl(dialect))
    columns = ", ".join(q(c) for c in ("class_name", "version", "table_name", "fields", "signature", "created_at"))
    yield execute(
        f"INSERT INTO {q(REGISTRY)} ({columns}) SELECT {columns} FROM {q(old)} WHERE TRUE "
        f"ORDER BY {q('created_at')} ON CONFLICT DO NOTHING"
    )
    yield execute(f"DROP TABLE {q(old)}")


@dataclass(slots=True)
class _Relation:
    name: str
    kind: str
    columns: dict[str, bool] = field(default_factory=dict)
    """Column names (as the database spells them), each with whether it is in the primary key."""


_PG_KINDS: Final = {"r": "table", "p": "table", "v": "view", "m": "materialized view", "i": "index", "S": "sequence"}


def _inspect(dialect: Dialect, names: Sequence[str]) -> Plan[dict[str, _Relation]]:
    """Plan: the existing tables, views, indexes and sequences of ``names``, by requested name.

    SQLite finds a name whatever its case, PostgreSQL (quoted identifiers) only as spelled.
    """
    key = fold if dialect.name == "sqlite" else str
    if dialect.name == "sqlite":
        marks = ", ".join("lower(?)" for _ in names)
        rows = yield query(
            "SELECT m.name, m.type, p.name, p.pk FROM sqlite_master AS m LEFT JOIN pragma_table_info(m.name) AS p "
            f"WHERE lower(m.name) IN ({marks})",
            list(names),
        )
    else:
        rows = yield query(
            "SELECT c.relname, c.relkind, a.attname, COALESCE(a.attnum = ANY(i.indkey), FALSE) FROM pg_class AS c "
            "LEFT JOIN pg_attribute AS a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
            "AND c.relkind IN ('r', 'p', 'v') "
            "LEFT JOIN pg_index AS i ON i.indrelid = c.oid AND i.indisprimary "
            "WHERE c.relnamespace = current_schema()::regnamespace AND c.relname = ANY(%s)",
            (list(names),),
        )
        rows = [(name, _PG_KINDS.get(kind, kind), column, pk) for name, kind, column, pk in rows]
    found: dict[str, _Relation] = {}
    for name, kind, column, pk in rows:
        relation = found.setdefault(key(name), _Relation(name, kind))
        if column is not None:
            relation.columns[column] = bool(pk)
    return {name: found[key(name)] for name in names if key(name) in found}


def _check_names(dialect: Dialect, model: ModelFields) -> None:
    if dialect.name != "postgresql":
        return
    history = model.table_name + HISTORY_SUFFIX
    if len(history.encode()) > IDENTIFIER_BYTES:
        limit = IDENTIFIER_BYTES - len(HISTORY_SUFFIX)
        raise SchemaError(
            f"table name {model.table_name!r} of class {model.defined_in} is too long for PostgreSQL: its history "
            f"table {history!r} would exceed {IDENTIFIER_BYTES} bytes; set a shorter __table_name__ on "
            f"{model.class_name} (at most {limit} bytes)"
        )


def _resolve(
    model: ModelFields, rows: Sequence[Sequence[Any]], copy_of: StoredClass | None
) -> tuple[StoredClass, list[ClassVersion]]:
    """The class from its registry rows, and the versions still to register."""
    for class_name, table_name in {(row[0], row[4]) for row in rows}:
        if table_name != model.table_name:
            raise SchemaError(
                f"table {model.table_name!r} of class {model.defined_in} and table {table_name!r} of class "
                f"{class_name} differ only in case, which makes them one table in SQLite: set __table_name__ "
                f"on {model.class_name} to give it a name of its own"
            )
        if class_name != model.class_name:
            raise SchemaError(
                f"table {model.table_name!r} already stores objects of class {class_name}; class "
                f"{model.defined_in} cannot store its objects there too: set __table_name__ on "
                f"{model.class_name} to give it a table of its own"
            )
    versions = _decode_versions(row[1:4] for row in rows)
    if copy_of is not None:
        new = [v for n, v in copy_of.versions.items() if versions.get(n) != v]
        versions.update({v.version: v for v in new})
        current = copy_of.current
    else:
        new = []
        signature = model.signature()
        current = next((v.version for v in versions.values() if v.signature == signature), 0)
        if not current:
            current = max(versions, default=0) + 1
            new = [ClassVersion(current, _allocate_columns(model, current, versions), signature)]
            versions[current] = new[0]
    stored = StoredClass(model.class_name, model.table_name, versions, current)
    for version in versions.values():
        for field_def in version.fields.values():
            stored.columns[field_def.column] = field_def.kind
    return stored, new


def prepare(
    dialect: Dialect,
    model: ModelFields,
    *,
    history: bool,
    latest: str | None,
    indexes: Sequence[tuple[str, ...]],
    copy_of: StoredClass | None = None,
    write: bool,
) -> Plan[StoredClass | None]:
    """Plan: the class as one database stores it, with its schema version and tables.

    ``history``: this database holds ``T__history``. ``latest``: ``"view"`` for the
    latest-objects view over the history, ``"table"`` for a separate latest table.
    With ``copy_of`` (the class as registered in another database, the authority on
    version numbers), the registry is brought level with it.

    Without ``write`` the plan only reads, and gives None when something must be
    registered or created. With ``write`` (inside a transaction) it takes the schema
    lock, looks again and makes what is missing. Readers of a registered class must
    never wait for a writer: a plain read comes first, the lock only when needed.
    """
    _check_names(dialect, model)
    if write and dialect.name == "postgresql":
        # One schema change at a time across processes; released at commit.
        yield query(f"SELECT pg_advisory_xact_lock({SCHEMA_LOCK})")
    p, q = dialect.placeholder, dialect.quote
    table = model.table_name
    names = [REGISTRY, table]
    if history:
        names.append(table + HISTORY_SUFFIX)
        if dialect.name == "postgresql":
            names.append(table + "__ids")
    found = yield from _inspect(dialect, names)
    registry = found.get(REGISTRY)
    if registry is None or not registry.columns.get("table_name"):
        # No registry yet, or one keyed by class name only.
        if not write:
            return None
        if registry is None:
            yield execute(_registry_ddl(dialect))
        else:
            yield from _rekey_registry(dialect)
    # SQLite names ignore (ASCII) case: there, a name differing only in case is the same table.
    nocase = " COLLATE NOCASE" if dialect.name == "sqlite" else ""
    rows = yield query(
        f"SELECT {q('class_name')}, {q('version')}, {q('fields')}, {q('signature')}, {q('table_name')} "
        f"FROM {q(REGISTRY)} WHERE {q('table_name')} = {p}{nocase}",
        (table,),
    )
    stored, new = _resolve(model, rows, copy_of)
    changes = _table_changes(dialect, stored, found, history=history, latest=latest)
    index_names = {
        _index_name(dialect, table, [stored.fields[name].column for name in entry]): entry for entry in indexes
    }
    if index_names and latest is not None:
        existing = yield from _inspect(dialect, list(index_names))
        changes += [_index_ddl(dialect, stored, name, index_names[name], history=history, latest=latest)
                    for name in index_names if name not in existing]
    if not write:
        return None if new or changes else stored
    for version in new:
        fields_json = json.dumps([field_def.to_json() for field_def in version.fields.values()])
        yield execute(f"DELETE FROM {q(REGISTRY)} WHERE {q('table_name')} = {p} AND {q('version')} = {p}",
                      (table, version.version))
        yield execute(
            f"INSERT INTO {q(REGISTRY)} VALUES ({p}, {p}, {p}, {p}, {p}, {p})",
            (model.class_name, version.version, table, fields_json, version.signature,
             datetime.datetime.now(datetime.UTC).isoformat()),
        )
    for statement in changes:
        yield execute(statement)
    return stored


def _table_changes(
    dialect: Dialect, stored: StoredClass, found: dict[str, _Relation], *, history: bool, latest: str | None
) -> list[str]:
    """The statements that create or extend the tables of a class in one database (none: all there)."""
    q = dialect.quote
    types = dialect.column_types
    integer, boolean = types["integer"], types["boolean"]
    table = stored.table_name
    history_table = table + HISTORY_SUFFIX
    key = fold if dialect.name == "sqlite" else str
    columns = [(q(column), types[kind]) for column, kind in stored.columns.items()]
    address = [(q("_object_id"), f"{integer} NOT NULL"), (q("_object_version"), f"{integer} NOT NULL"),
               (q("_class_version"), f"{integer} NOT NULL")]

    def present(name: str, kind: str, required: Iterable[str]) -> set[str] | None:
        relation = found.get(name)
        if relation is None:
            return None
        names = {key(column) for column in relation.columns}
        if relation.kind != kind or not {key(c) for c in required} <= names:
            raise SchemaError(
                f"{relation.name!r} already exists in {dialect.name} database and is not a {kind} of stored "
                f"{stored.class_name} objects; set __table_name__ on the class to store it elsewhere"
            )
        return names

    changes: list[str] = []
    if history:
        names = present(history_table, "table", [*ADDRESS, *HISTORY_FLAGS])
        if names is None:
            flags = [(q(flag), f"{boolean} NOT NULL DEFAULT FALSE") for flag in HISTORY_FLAGS]
            body = ", ".join(f"{name} {kind}" for name, kind in [*address, *flags, *columns])
            suffix = " WITHOUT ROWID" if dialect.name == "sqlite" else ""
            changes.append(
                f"CREATE TABLE {q(history_table)} ({body}, PRIMARY KEY ({q('_object_id')}, {q('_object_version')})){suffix}"
            )
            names = {key(c) for c in stored.columns}
        changes += [f"ALTER TABLE {q(history_table)} ADD COLUMN {q(column)} {types[kind]}"
                    for column, kind in stored.columns.items() if key(column) not in names]
        if dialect.name == "postgresql":
            sequence = found.get(table + "__ids")
            if sequence is None:
                changes.append(f"CREATE SEQUENCE IF NOT EXISTS {q(table + '__ids')}")
            elif sequence.kind != "sequence":
                raise SchemaError(
                    f"{sequence.name!r} already exists in {dialect.name} database and is not the id sequence of "
                    f"stored {stored.class_name} objects; set __table_name__ on the class to store it elsewhere"
                )
    if latest == "view":
        names = present(table, "view", ADDRESS)
        if names is None or {key(c) for c in stored.columns} - names:
            select = ", ".join(q(c) for c in [*ADDRESS, *stored.columns])
            changes.append(f"DROP VIEW IF EXISTS {q(table)}")
            changes.append(
                f"CREATE VIEW {q(table)} AS SELECT {select} FROM {q(history_table)} WHERE {q('_is_latest')} = TRUE"
            )
    elif latest == "table":
        names = present(table, "table", ADDRESS)
        if names is None:
            body = ", ".join(f"{name} {kind}" for name, kind in [*address, *columns])
            changes.append(f"CREATE TABLE {q(table)} ({body}, PRIMARY KEY ({q('_object_id')}))")
            names = {key(c) for c in stored.columns}
        changes += [f"ALTER TABLE {q(table)} ADD COLUMN {q(column)} {types[kind]}"
                    for column, kind in stored.columns.items() if key(column) not in names]
    return changes


def _index_name(dialect: Dialect, table: str, columns: list[str]) -> str:
    name = "__".join([table, "idx", *columns])
    return fitted(name) if dialect.name == "postgresql" else name


def _index_ddl(
    dialect: Dialect, stored: StoredClass, name: str, fields: tuple[str, ...], *, history: bool, latest: str | None
) -> str:
    q = dialect.quote
    columns = ", ".join(q(stored.fields[field_name].column) for field_name in fields)
    if latest == "view" and history:
        # Not a partial index on the latest rows: planners without statistics would
        # scan it (and look every row up) even for reading the whole table.
        target = stored.table_name + HISTORY_SUFFIX
    else:
        target = stored.table_name
    return f"CREATE INDEX IF NOT EXISTS {q(name)} ON {q(target)} ({columns}, {q('_object_id')})"


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
