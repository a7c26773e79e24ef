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
    whether it still has to reach a separate latest-objects database (``_pending``).
    Its key serves its own reads: by address, and every version in address order.
    Each version also records when it was saved (``_saved_at``: one clock reading per
    transaction; NULL in versions written before the column existed), the note of
    its write (``_note``), when a newer version replaced it (``_superseded_at``: the
    newer version's ``_saved_at``, set by the write that supersedes it; the latest
    version holds :data:`NEVER`, versions superseded before the column existed
    :data:`ALWAYS`) and where it stands in the change feed (``_tx``, see below). A
    version is current at instant ``t`` when ``_saved_at <= t < _superseded_at``;
    versions saved before times were recorded hold :data:`ALWAYS` (read as no time,
    older than any instant). The as-of indexes serve that test: one on
    ``_superseded_at, _saved_at``, and per class index one on its fields then (in
    PostgreSQL) the id, then ``_superseded_at, _saved_at`` (then, in SQLite, ``_deleted``:
    a slice of the objects as of an instant is chosen in the index alone).
``T``
    the latest version of each object that is not deleted, keyed by ``_object_id``
    (in SQLite the rowid), with the class's indexes (``__indexes__``). When the
    history lives in the same database, the history's trigger ``T__latest`` keeps it
    level within each statement that appends versions, and clears ``_is_latest`` of
    the version before; otherwise the writer publishes to it after each commit.

Indexes and orders go together: an index on fields ``a, b`` holds them ascending with
nulls first, then the object id ascending (SQLite's rowid is in every index), and the
query compiler orders by fields ascending with nulls first or descending with nulls
last, the object id last in the direction of the last field. Every order it emits on
indexed fields is then the index read forwards or backwards: a change to one of the
two must keep the other matching (the layout tests check the plans).

The change feed orders versions by commit. In SQLite, where writers take turns, a
version's ``_tx`` is its feed position itself, one more than the highest before its
write. In PostgreSQL ``_tx`` is the id of the writing transaction, and ``T__feed``
gives each transaction its position: the last statement of the transaction counts
up ``_kestrum_histories.position`` and holds that row's lock until it commits, so
positions follow commits exactly, whatever the number of writers. Versions written
before the feed existed stand at position 0. ``_kestrum_histories`` also records,
per history table, how far pruning went.

A first use brings a store made by an earlier version to this layout, in the
transaction that holds the schema lock: ``T`` as a view over the history becomes a
table filled from the history's latest versions, field indexes move from the history
to ``T``, and indexes defined otherwise (without nulls placement, or with the id in
SQLite) are made again.

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
from kestrum_utils.models.data_models.enums import CoreTypes

REGISTRY: Final = "_kestrum_classes"
ADDRESS: Final = ("_object_id", "_object_version", "_class_version")
HISTORY_FLAGS: Final = ("_is_latest", "_deleted", "_pending")
VERSION_COLUMNS: Final = ("_saved_at", "_note", "_superseded_at", "_tx")
"""The history's columns describing each version: when and why it was saved, when it
stopped being current, where it stands in the change feed."""
HISTORIES: Final = "_kestrum_histories"
"""Per history table: its change feed's last position (PostgreSQL) and how far pruning went."""
FEED_SUFFIX: Final = "__feed"
NEVER: Final = datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=datetime.UTC)
"""``_superseded_at`` of a version no other has replaced."""
ALWAYS: Final = datetime.datetime(1, 1, 1, tzinfo=datetime.UTC)
"""``_superseded_at`` of a version replaced before the history recorded times."""

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
    """What readers and writers derive from the versions, kept with them (see the query
    compiler and the writer)."""

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


@dataclass(frozen=True, slots=True)
class _Index:
    """An index as the catalog describes it: its table, its key columns (each with whether it
    sorts descending and whether nulls come first) and whether it is partial."""

    table: str
    columns: tuple[tuple[str, bool, bool], ...]
    partial: bool


@dataclass(slots=True)
class _Extras:
    """The indexes and triggers of a class's tables (by folded name in SQLite)."""

    indexes: dict[str, tuple[str, _Index]] = field(default_factory=dict)
    """Index name -> (the name as spelled, the index), for the indexes that are not constraints."""
    triggers: dict[str, str] = field(default_factory=dict)
    """Trigger name -> its definition (SQLite: its statement; PostgreSQL: its function's body)."""


def _inspect_extras(dialect: Dialect, tables: Sequence[str]) -> Plan[_Extras]:
    """Plan: the indexes (other than key constraints) and triggers of ``tables``."""
    extras = _Extras()
    if dialect.name == "sqlite":
        marks = ", ".join("lower(?)" for _ in tables)
        rows = yield query(
            "SELECT t.name, l.name, l.partial, x.name, x.desc, NULL FROM sqlite_master AS t "
            "JOIN pragma_index_list(t.name) AS l JOIN pragma_index_xinfo(l.name) AS x "
            f"WHERE t.type = 'table' AND lower(t.name) IN ({marks}) AND l.origin = 'c' AND x.key = 1 "
            "ORDER BY l.name, x.seqno",
            list(tables),
        )
        triggers = yield query(
            f"SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND lower(tbl_name) IN ({marks})",
            list(tables),
        )
    else:
        rows = yield query(
            "SELECT t.relname, c.relname, i.indpred IS NOT NULL, a.attname, (i.indoption[k.n - 1] & 1) <> 0, "
            "(i.indoption[k.n - 1] & 2) <> 0 FROM pg_index AS i JOIN pg_class AS c ON c.oid = i.indexrelid "
            "JOIN pg_class AS t ON t.oid = i.indrelid "
            "CROSS JOIN LATERAL unnest(i.indkey::int2[]) WITH ORDINALITY AS k(attnum, n) "
            "LEFT JOIN pg_attribute AS a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
            "WHERE t.relnamespace = current_schema()::regnamespace AND t.relname = ANY(%s) "
            "AND NOT i.indisprimary AND NOT i.indisunique AND k.n <= i.indnkeyatts ORDER BY c.relname, k.n",
            (list(tables),),
        )
        triggers = yield query(
            "SELECT g.tgname, p.prosrc FROM pg_trigger AS g JOIN pg_class AS t ON t.oid = g.tgrelid "
            "JOIN pg_proc AS p ON p.oid = g.tgfoid "
            "WHERE t.relnamespace = current_schema()::regnamespace AND t.relname = ANY(%s) AND NOT g.tgisinternal",
            (list(tables),),
        )
    key = fold if dialect.name == "sqlite" else str
    found: dict[str, tuple[str, str, bool, list[tuple[str, bool, bool]]]] = {}
    for table, name, partial, column, desc, nulls_first in rows:
        # SQLite puts nulls first in ascending order, always.
        nulls = bool(nulls_first) if dialect.name == "postgresql" else not desc
        entry = found.setdefault(key(name), (name, key(table), bool(partial), []))
        entry[3].append((key(column or ""), bool(desc), nulls))
    extras.indexes = {
        name: (spelled, _Index(table, tuple(columns), partial)) for name, (spelled, table, partial, columns) in found.items()
    }
    extras.triggers = {key(name): definition for name, definition in triggers}
    return extras


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
    versions = _decode_versions(row[1:4] for row in sorted(rows, key=lambda row: int(row[1])))
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
    stored = StoredClass(model.class_name, model.table_name, dict(sorted(versions.items())), current)
    for version in stored.versions.values():
        for field_def in version.fields.values():
            stored.columns[field_def.column] = field_def.kind
    return stored, new


def prepare(
    dialect: Dialect,
    model: ModelFields,
    *,
    history: bool,
    latest: bool,
    indexes: Sequence[tuple[str, ...]],
    copy_of: StoredClass | None = None,
    write: bool,
    unique: Sequence[tuple[str, ...]] = (),
) -> Plan[StoredClass | None]:
    """Plan: the class as one database stores it, with its schema version and tables.

    ``history``: this database holds ``T__history``. ``latest``: it holds the latest
    objects' table ``T`` with the class's indexes; with ``history`` too, the history's
    trigger keeps it level in the transaction of each write, and ``unique`` names the field
    tuples its unique indexes keep unique among the latest objects. With ``copy_of`` (the class
    as registered in another database, the authority on version numbers), the registry
    is brought level with it.

    Without ``write`` the plan only reads, and gives None when something must be
    registered, created or migrated. With ``write`` (inside a transaction) it takes the
    schema lock, looks again and makes what is missing. Readers of a registered class
    must never wait for a writer: a plain read comes first, the lock only when needed.
    """
    _check_names(dialect, model)
    if write and dialect.name == "postgresql":
        # One schema change at a time across processes; released at commit.
        yield query(f"SELECT pg_advisory_xact_lock({SCHEMA_LOCK})")
    p, q = dialect.placeholder, dialect.quote
    table = model.table_name
    names = [REGISTRY, table]
    if history:
        names += [table + HISTORY_SUFFIX, HISTORIES]
        if dialect.name == "postgresql":
            names += [table + "__ids", table + FEED_SUFFIX]
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
    extras = yield from _inspect_extras(dialect, [table, table + HISTORY_SUFFIX] if history else [table])
    changes = _Layout(dialect, stored, found, extras).changes(history=history, latest=latest, indexes=indexes)
    made: dict[str, tuple[str, ...]] = {}
    if latest and table in found and found[table].kind == "table":
        made = yield from _inspect_unique(dialect, found[table].name)
    unique_changes = _unique_changes(dialect, stored, made, unique)
    if not write:
        return None if new or changes or unique_changes else stored
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
    for statement, check, fields in unique_changes:
        if check is not None:
            duplicate = yield query(check)
            if duplicate:
                values = ", ".join(f"{name}={value!r}" for name, value in zip(fields, duplicate[0]))
                raise SchemaError(
                    f"{model.class_name}.__unique__ makes ({', '.join(fields)}) unique, but stored latest "
                    f"{model.class_name} objects share {values}: change or delete them first"
                )
        yield execute(statement)
    return stored


def unique_fields(model: type[Any], fields: dict[str, StoredField]) -> list[tuple[str, ...]]:
    """The field tuples a class's ``__unique__`` declares unique, checked against its fields."""
    declared = getattr(model, "__unique__", ()) or ()
    result = []
    for entry in (declared,) if isinstance(declared, str) else declared:
        names = (entry,) if isinstance(entry, str) else tuple(entry)
        if not names or len(set(names)) != len(names):
            raise SchemaError(f"{model.__name__}.__unique__ holds {entry!r}: name one or more different fields")
        for name in names:
            if name not in fields:
                raise SchemaError(f"{model.__name__}.__unique__ names {name!r}, which is not a field")
            if fields[name].kind in ("array", "dictionary"):
                raise SchemaError(
                    f"{model.__name__}.__unique__ names {name!r} ({fields[name].kind}): JSON fields cannot be unique"
                )
        result.append(names)
    return result


UNIQUE_INFIX: Final = "__unique__"


def _unique_name(dialect: Dialect, table: str, columns: Sequence[str]) -> str:
    name = table + UNIQUE_INFIX + "__".join(columns)
    return fitted(name) if dialect.name == "postgresql" else name


def _inspect_unique(dialect: Dialect, table: str) -> Plan[dict[str, tuple[str, ...]]]:
    """Plan: the unique indexes (other than keys) of a table, by name (folded in SQLite), with their columns."""
    if dialect.name == "sqlite":
        rows = yield query(
            'SELECT l.name, x.name FROM pragma_index_list(?) AS l JOIN pragma_index_xinfo(l.name) AS x '
            'WHERE l."unique" = 1 AND l.origin = \'c\' AND x.key = 1 ORDER BY l.name, x.seqno',
            (table,),
        )
    else:
        rows = yield query(
            "SELECT c.relname, a.attname FROM pg_index AS i JOIN pg_class AS c ON c.oid = i.indexrelid "
            "JOIN pg_class AS t ON t.oid = i.indrelid "
            "CROSS JOIN LATERAL unnest(i.indkey::int2[]) WITH ORDINALITY AS k(attnum, n) "
            "JOIN pg_attribute AS a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
            "WHERE t.relnamespace = current_schema()::regnamespace AND t.relname = %s "
            "AND i.indisunique AND NOT i.indisprimary ORDER BY c.relname, k.n",
            (table,),
        )
    key = fold if dialect.name == "sqlite" else str
    found: dict[str, list[str]] = {}
    for name, column in rows:
        found.setdefault(key(name), []).append(key(column))
    return {name: tuple(columns) for name, columns in found.items()}


def _unique_changes(
    dialect: Dialect, stored: StoredClass, made: dict[str, tuple[str, ...]], unique: Sequence[tuple[str, ...]]
) -> list[tuple[str, str | None, tuple[str, ...]]]:
    """The statements making the latest table's unique indexes as the class declares them (each
    with a query finding stored objects that would break it first), and dropping the ones it no
    longer declares. Records the indexes in ``stored.derived["unique"]``."""
    q = dialect.quote
    key = fold if dialect.name == "sqlite" else str
    table = stored.table_name
    wanted: dict[str, tuple[str, tuple[str, ...], tuple[str, ...]]] = {}
    for fields in unique:
        columns = tuple(stored.fields[name].column for name in fields)
        name = _unique_name(dialect, table, columns)
        wanted[key(name)] = (name, columns, fields)
    stored.derived["unique"] = list(wanted.values())
    changes: list[tuple[str, str | None, tuple[str, ...]]] = []
    prefix = key(_unique_name(dialect, table, [])[: len(table) + len(UNIQUE_INFIX)])
    for found_name in made:
        if found_name.startswith(prefix) and found_name not in wanted:
            changes.append((f"DROP INDEX {q(found_name)}", None, ()))
    for folded, (name, columns, fields) in wanted.items():
        if made.get(folded) == tuple(key(c) for c in columns):
            continue
        listed = ", ".join(q(c) for c in columns)
        if folded in made:
            changes.append((f"DROP INDEX {q(name)}", None, ()))
        filled = " AND ".join(f"{q(c)} IS NOT NULL" for c in columns)
        check = f"SELECT {listed} FROM {q(table)} WHERE {filled} GROUP BY {listed} HAVING count(*) > 1 LIMIT 1"
        changes.append((f"CREATE UNIQUE INDEX {q(name)} ON {q(table)} ({listed})", check, fields))
    return changes


def latest_trigger(table: str) -> str:
    """The name of the history's trigger (and, in PostgreSQL, of its function) keeping ``T`` level."""
    return fitted(table + LATEST_SUFFIX)


LATEST_SUFFIX: Final = "__latest"


class _Layout:
    """The statements that bring a class's tables, trigger and indexes in one database to the
    current layout: created, extended, or migrated from an earlier layout (none: all there)."""

    def __init__(self, dialect: Dialect, stored: StoredClass, found: dict[str, _Relation], extras: _Extras) -> None:
        self.dialect = dialect
        self.stored = stored
        self.found = found
        self.extras = extras
        self.q = dialect.quote
        self.key = fold if dialect.name == "sqlite" else str
        self.table = stored.table_name
        self.history = stored.table_name + HISTORY_SUFFIX

    def _present(self, name: str, kind: str, required: Iterable[str]) -> set[str] | None:
        """The (keyed) columns of an existing relation of that kind; None when it does not exist."""
        relation = self.found.get(name)
        if relation is None:
            return None
        names = {self.key(column) for column in relation.columns}
        if relation.kind != kind or not {self.key(c) for c in required} <= names:
            raise SchemaError(
                f"{relation.name!r} already exists in {self.dialect.name} database and is not a {kind} of stored "
                f"{self.stored.class_name} objects; set __table_name__ on the class to store it elsewhere"
            )
        return names

    def _added(self, table: str, names: set[str]) -> list[str]:
        types = self.dialect.column_types
        return [f"ALTER TABLE {self.q(table)} ADD COLUMN {self.q(column)} {types[kind]}"
                for column, kind in self.stored.columns.items() if self.key(column) not in names]

    def changes(self, *, history: bool, latest: bool, indexes: Sequence[tuple[str, ...]]) -> list[str]:
        changes: list[str] = []
        if history:
            changes += self._history()
            changes += self._history_indexes(indexes)
        if latest and history:
            changes += self._local_latest(required=True)
        elif history:
            # A latest table left here by a use with both aliases on this database is kept
            # level as long as its trigger is there, so that such a use finds it current.
            changes += self._local_latest(required=False)
        elif latest:
            names = self._present(self.table, "table", ADDRESS)
            if names is None:
                changes.append(self._latest_ddl())
                names = {self.key(c) for c in self.stored.columns}
            changes += self._added(self.table, names)
        if latest:
            changes += self._indexes(indexes, history_here=history)
        return changes

    def _history(self) -> list[str]:
        q, types = self.q, self.dialect.column_types
        changes = []
        names = self._present(self.history, "table", [*ADDRESS, *HISTORY_FLAGS])
        if names is None:
            integer, boolean = types["integer"], types["boolean"]
            address = [f"{q(c)} {integer} NOT NULL" for c in ADDRESS]
            flags = [f"{q(flag)} {boolean} NOT NULL DEFAULT FALSE" for flag in HISTORY_FLAGS]
            columns = [f"{q(column)} {types[kind]}" for column, kind in self.stored.columns.items()]
            versions = self._version_columns()
            suffix = " WITHOUT ROWID" if self.dialect.name == "sqlite" else ""
            changes.append(
                f"CREATE TABLE {q(self.history)} ({', '.join([*address, *flags, *versions, *columns])}, "
                f"PRIMARY KEY ({q('_object_id')}, {q('_object_version')})){suffix}"
            )
            names = {self.key(c) for c in (*self.stored.columns, *VERSION_COLUMNS)}
        changes += self._added(self.history, names)
        changes += self._versions(names)
        if self.dialect.name == "postgresql":
            sequence = self.found.get(self.table + "__ids")
            if sequence is None:
                changes.append(f"CREATE SEQUENCE IF NOT EXISTS {q(self.table + '__ids')}")
            elif sequence.kind != "sequence":
                raise SchemaError(
                    f"{sequence.name!r} already exists in {self.dialect.name} database and is not the id sequence "
                    f"of stored {self.stored.class_name} objects; set __table_name__ on the class to store it "
                    "elsewhere"
                )
        return changes

    def _version_columns(self, *, migrated: bool = False) -> list[str]:
        """The definitions of the version columns; ``migrated``: as added to a history that
        holds versions already (replaced before times were recorded, at feed position 0)."""
        q, types = self.q, self.dialect.column_types
        stamp = types[CoreTypes.DATETIME.value]
        superseded = _timestamp(self.dialect, ALWAYS if migrated else NEVER)
        if self.dialect.name == "postgresql":
            tx = "xid8 NOT NULL DEFAULT " + ("'0'" if migrated else "pg_current_xact_id()")
        else:
            tx = f"{types['integer']} NOT NULL DEFAULT 0"
        # Versions saved before times were recorded hold ALWAYS, read as no time (see saved_at_sql()).
        saved = f" DEFAULT {_timestamp(self.dialect, ALWAYS)}" if migrated else ""
        return [f"{q('_saved_at')} {stamp}{saved}", f"{q('_note')} {types[CoreTypes.STRING.value]}",
                f"{q('_superseded_at')} {stamp} DEFAULT {superseded}", f"{q('_tx')} {tx}"]

    def _versions(self, names: set[str]) -> list[str]:
        """The version columns added to a history made before them, and the feed's tables."""
        q = self.q
        changes: list[str] = []
        missing = [c for c in VERSION_COLUMNS if self.key(c) not in names]
        if missing:
            definitions = dict(zip(VERSION_COLUMNS, self._version_columns(migrated=True)))
            changes += [f"ALTER TABLE {q(self.history)} ADD COLUMN {definitions[c]}" for c in missing]
            if "_superseded_at" in missing:
                # Only the latest versions, and deletions no version followed, were not replaced: every
                # other was replaced before times were kept.
                oid, version = q("_object_id"), q("_object_version")
                changes.append(
                    f"UPDATE {q(self.history)} SET {q('_superseded_at')} = {_timestamp(self.dialect, NEVER)} "
                    f"WHERE {q('_is_latest')} = TRUE OR ({q('_deleted')} = TRUE AND {version} = (SELECT max(m.{version}) "
                    f"FROM {q(self.history)} AS m WHERE m.{oid} = {q(self.history)}.{oid}))"
                )
            if self.dialect.name == "postgresql":
                # Versions written from now on: not yet replaced, in the feed of their transaction.
                changes.append(f"ALTER TABLE {q(self.history)} ALTER COLUMN {q('_superseded_at')} "
                               f"SET DEFAULT {_timestamp(self.dialect, NEVER)}")
                changes.append(f"ALTER TABLE {q(self.history)} ALTER COLUMN {q('_tx')} SET DEFAULT pg_current_xact_id()")
                if "_saved_at" in missing:
                    changes.append(f"ALTER TABLE {q(self.history)} ALTER COLUMN {q('_saved_at')} DROP DEFAULT")
        if HISTORIES not in self.found:
            changes.append(
                f"CREATE TABLE IF NOT EXISTS {q(HISTORIES)} ({q('table_name')} TEXT PRIMARY KEY, "
                f"{q('position')} BIGINT NOT NULL DEFAULT 0, "
                f"{q('pruned_before')} {self.dialect.column_types[CoreTypes.DATETIME.value]}, "
                f"{q('pruned_position')} BIGINT)"
            )
        if self.dialect.name == "postgresql":
            feed = self.table + FEED_SUFFIX
            relation = self.found.get(feed)
            if relation is None:
                changes.append(f"CREATE TABLE {q(feed)} ({q('position')} BIGINT PRIMARY KEY, {q('tx')} xid8 NOT NULL)")
            elif relation.kind != "table" or not {"position", "tx"} <= set(relation.columns):
                raise self._foreign(relation.name, "the change feed")
            if "_tx" in missing:
                # Versions written before the feed existed: all at position 0.
                changes.append(f"INSERT INTO {q(feed)} VALUES (0, '0') ON CONFLICT DO NOTHING")
        return changes

    def _history_indexes(self, indexes: Sequence[tuple[str, ...]]) -> list[str]:
        """The history's feed index and as-of indexes (one of its own, one per class index),
        each made when missing or defined otherwise; as-of indexes of class indexes no longer
        declared are dropped."""
        q, key = self.q, self.key
        # Ascending, with SQLite's nulls first and PostgreSQL's nulls last (each one's default),
        # but a class index's fields nulls first in PostgreSQL too, as queries order them.
        sqlite = self.dialect.name == "sqlite"
        times = (("_superseded_at", sqlite), ("_saved_at", sqlite))
        wanted: dict[str, tuple[tuple[str, bool], ...]] = {
            self._history_index("tx"): (("_tx", sqlite),),
            self._history_index("asof"): times,
        }
        for entry in indexes:
            columns = tuple(self.stored.fields[name].column for name in entry)
            # SQLite: the fields, then the times, which a lookup of the fields' values seeks,
            # then the deletion flag: the as-of test reads the index alone.
            # PostgreSQL: the fields and the id, so that the index gives the order queries ask
            # for (fields, then id), the times checked in the index.
            fields = tuple((c, True) for c in columns)
            wanted[self._history_index("asof", *columns)] = (
                (*fields, *times, ("_deleted", True)) if sqlite else (*fields, ("_object_id", False), *times)
            )
        changes: list[str] = []
        for name, columns in wanted.items():
            found = self.extras.indexes.get(key(name))
            expected = _Index(key(self.history), tuple((key(c), False, first) for c, first in columns), False)
            if found is not None and found[1] == expected:
                continue
            if found is not None:
                changes.append(f"DROP INDEX {q(found[0])}")
            terms = [q(c) + (" ASC NULLS FIRST" if first and not sqlite else "") for c, first in columns]
            changes.append(f"CREATE INDEX {q(name)} ON {q(self.history)} ({', '.join(terms)})")
        # A long name keeps its head (see fitted()).
        prefix = key((self.history + "__asof__").encode()[: IDENTIFIER_BYTES - 10].decode(errors="ignore"))
        kept = {key(name) for name in wanted}
        for name, (spelled, index) in self.extras.indexes.items():
            if index.table == key(self.history) and name.startswith(prefix) and name not in kept:
                changes.append(f"DROP INDEX {q(spelled)}")
        return changes

    def _history_index(self, kind: str, *columns: str) -> str:
        name = "__".join([self.history, kind, *columns])
        return fitted(name) if self.dialect.name == "postgresql" else name

    def _latest_ddl(self) -> str:
        q, types = self.q, self.dialect.column_types
        integer = types["integer"]
        columns = [f"{q(column)} {types[kind]}" for column, kind in self.stored.columns.items()]
        # In SQLite an INTEGER PRIMARY KEY is the rowid: the table is stored in object id
        # order and every index holds the id without naming it.
        body = [f"{q('_object_id')} {integer} PRIMARY KEY NOT NULL", f"{q('_object_version')} {integer} NOT NULL",
                f"{q('_class_version')} {integer} NOT NULL", *columns]
        # PostgreSQL keeps an updated row's old version in the table until it is vacuumed:
        # free room on each page lets a new version of an object replace its row in the
        # same page (no index holds the version), where the next read prunes the old one,
        # so the table does not grow with the number of versions between vacuums.
        storage = " WITH (fillfactor = 70)" if self.dialect.name == "postgresql" else ""
        return f"CREATE TABLE {q(self.table)} ({', '.join(body)}){storage}"

    def _foreign(self, name: str, what: str) -> SchemaError:
        return SchemaError(
            f"{name!r} already exists in {self.dialect.name} database and is not {what} of stored "
            f"{self.stored.class_name} objects; set __table_name__ on the class to store it elsewhere"
        )

    def _local_latest(self, *, required: bool) -> list[str]:
        """The latest table of a database that holds the history too, and the trigger that keeps it level.

        ``required``: both aliases use this database, so the table must be there and
        current: it is made (or, from the view of an earlier layout, migrated) and filled
        from the history's latest versions, which keeps every version. Otherwise a table
        left by such a use is kept level only as long as its trigger is there.
        """
        q = self.q
        trigger = latest_trigger(self.table)
        relation = self.found.get(self.table)
        defined = self.extras.triggers.get(self.key(trigger))
        if not required and (relation is None or relation.kind != "table" or defined is None):
            return []
        changes: list[str] = []
        fill = False
        if relation is not None and relation.kind == "view":
            self._present(self.table, "view", ADDRESS)
            changes.append(f"DROP VIEW {q(self.table)}")
            relation = None
        if relation is None:
            changes.append(self._latest_ddl())
            names = {self.key(c) for c in self.stored.columns}
            fill = self.history in self.found
        else:
            names = self._present(self.table, "table", ADDRESS) or set()
            if defined is None:
                # Nothing kept this table level: unless it is a copy of this history (made
                # again from it), it belongs to something else.
                if self.history not in self.found:
                    raise self._foreign(relation.name, "the latest-objects table")
                fill = True
                changes.append(f"DELETE FROM {q(self.table)}")
        changes += self._added(self.table, names)
        if fill:
            columns = ", ".join(q(c) for c in [*ADDRESS, *self.stored.columns])
            changes.append(
                f"INSERT INTO {q(self.table)} ({columns}) SELECT {columns} FROM {q(self.history)} "
                f"WHERE {q('_is_latest')} = TRUE AND {q('_deleted')} = FALSE"
            )
        statements, definition = self._trigger(trigger)
        if defined != definition:
            if defined is None:
                changes += statements
            elif self.dialect.name == "sqlite":
                changes += [f"DROP TRIGGER {q(trigger)}", *statements]
            else:
                changes.append(statements[0])  # the function, replaced; the trigger stays
        return changes

    def _trigger(self, name: str) -> tuple[list[str], str]:
        """The statements creating the history's trigger, and its definition as the catalog shows it.

        Each history row written brings the latest table level: a row of a newer version
        replaces the object's row, a deletion removes it, and the version before it (a
        write appends the version after the newest) is no longer the history's latest.
        """
        q = self.q
        columns = [*ADDRESS, *sorted(self.stored.columns)]
        listed = ", ".join(q(c) for c in columns)
        updates = ", ".join(f"{q(c)} = excluded.{q(c)}" for c in columns[1:])
        table, history = q(self.table), q(self.history)
        oid, version = q("_object_id"), q("_object_version")
        if self.dialect.name == "sqlite":
            values = ", ".join(f"NEW.{q(c)}" for c in columns)
            statement = (
                f"CREATE TRIGGER {q(name)} AFTER INSERT ON {history} FOR EACH ROW BEGIN\n"
                f"INSERT INTO {table} ({listed}) SELECT {values} WHERE NEW.{q('_deleted')} = FALSE "
                f"ON CONFLICT ({oid}) DO UPDATE SET {updates} WHERE {table}.{version} < excluded.{version};\n"
                f"DELETE FROM {table} WHERE NEW.{q('_deleted')} = TRUE AND {oid} = NEW.{oid} "
                f"AND {version} < NEW.{version};\n"
                f"UPDATE {history} SET {q('_is_latest')} = FALSE, {q('_superseded_at')} = NEW.{q('_saved_at')} "
                f"WHERE NEW.{version} > 1 AND {oid} = NEW.{oid} AND {version} = NEW.{version} - 1 "
                f"AND {q('_is_latest')} = TRUE;\n"
                "END"
            )
            return [statement], statement
        # One run per statement over its new rows (a COPY of many rows included). First
        # versions are new objects: plain inserts, far cheaper than upserts in bulk.
        body = (
            "\nBEGIN\n"
            f"  INSERT INTO {table} ({listed}) SELECT {listed} FROM new_rows WHERE {version} = 1 "
            f"AND NOT {q('_deleted')};\n"
            f"  IF EXISTS (SELECT FROM new_rows WHERE {version} > 1) THEN\n"
            f"    INSERT INTO {table} AS l ({listed}) SELECT {listed} FROM new_rows WHERE {version} > 1 "
            f"AND NOT {q('_deleted')}\n"
            f"      ON CONFLICT ({oid}) DO UPDATE SET {updates} WHERE l.{version} < excluded.{version};\n"
            f"    DELETE FROM {table} AS l USING new_rows AS n\n"
            f"      WHERE n.{q('_deleted')} AND l.{oid} = n.{oid} AND l.{version} < n.{version};\n"
            f"    UPDATE {history} AS h SET {q('_is_latest')} = FALSE, {q('_superseded_at')} = n.{q('_saved_at')}\n"
            "      FROM new_rows AS n\n"
            f"      WHERE n.{version} > 1 AND h.{oid} = n.{oid} AND h.{version} = n.{version} - 1 AND h.{q('_is_latest')};\n"
            "  END IF;\n"
            "  RETURN NULL;\n"
            "END\n"
        )
        function = f"CREATE OR REPLACE FUNCTION {q(name)}() RETURNS trigger LANGUAGE plpgsql AS $kestrum${body}$kestrum$"
        trigger = (
            f"CREATE TRIGGER {q(name)} AFTER INSERT ON {history} REFERENCING NEW TABLE AS new_rows "
            f"FOR EACH STATEMENT EXECUTE FUNCTION {q(name)}()"
        )
        return [function, trigger], body

    def _indexes(self, indexes: Sequence[tuple[str, ...]], *, history_here: bool) -> list[str]:
        """The class's indexes on the latest table, each made again when defined otherwise (an
        earlier layout's), and, with the history here, the field indexes earlier layouts put there."""
        q, key = self.q, self.key
        changes: list[str] = []
        wanted_names = set()
        for entry in indexes:
            columns = [self.stored.fields[name].column for name in entry]
            name = _index_name(self.dialect, self.table, columns)
            wanted_names.add(key(name))
            # Nulls first ascending, as queries order them: SQLite's own order, declared in PostgreSQL.
            keys = [(key(c), False, True) for c in columns]
            terms = [q(c) + (" ASC NULLS FIRST" if self.dialect.name == "postgresql" else "") for c in columns]
            if self.dialect.name == "postgresql":
                # The id, ascending as the tie-break of ascending orders: the index read backwards
                # serves the same order descending. (In SQLite every index holds the rowid.)
                keys.append((key("_object_id"), False, False))
                terms.append(q("_object_id"))
            wanted = _Index(key(self.table), tuple(keys), False)
            if self.extras.indexes.get(key(name), ("", None))[1] == wanted:
                continue
            if key(name) in self.extras.indexes:
                changes.append(f"DROP INDEX {q(self.extras.indexes[key(name)][0])}")
            changes.append(f"CREATE INDEX {q(name)} ON {q(self.table)} ({', '.join(terms)})")
        if history_here:
            # Field indexes are named after the latest table (a long name keeps its head).
            head = key((self.table + "__idx__").encode()[: IDENTIFIER_BYTES - 10].decode(errors="ignore"))
            for name, (spelled, index) in self.extras.indexes.items():
                if index.table == key(self.history) and name.startswith(head) and name not in wanted_names:
                    changes.append(f"DROP INDEX {q(spelled)}")
        return changes


def saved_at_sql(dialect: Dialect, column: str) -> str:
    """A version's ``_saved_at`` as read: NULL for a version saved before times were recorded."""
    return f"NULLIF({column}, {_timestamp(dialect, ALWAYS)})"


def _timestamp(dialect: Dialect, value: datetime.datetime) -> str:
    """An SQL literal of one of the store's own instants (never a value given to it), as the dialect stores datetimes."""
    return "'" + str(dialect.codec.encode(CoreTypes.DATETIME.value, value)) + "'"


def _index_name(dialect: Dialect, table: str, columns: list[str]) -> str:
    name = "__".join([table, "idx", *columns])
    return fitted(name) if dialect.name == "postgresql" else name


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
