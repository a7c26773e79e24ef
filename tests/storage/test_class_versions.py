"""Class versions and tables: older definitions in other processes, one class per table, columns,
defaults of added fields, and first reads that never wait for writers."""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from pydantic import ConfigDict

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_data.config import configure_databases
from kestrum_data.store import SchemaError
from kestrum_data.store.schema import SCHEMA_LOCK
from kestrum_data.store.storage import storage
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode

ROOT = Path(__file__).resolve().parents[2]


def model(
    name: str, module: str = __name__, table: str | None = None, indexes: tuple[Any, ...] = (), /, **fields: Any
) -> type[Model]:
    """A model class as if defined in ``module``; field values are (annotation, default) or annotation."""
    namespace: dict[str, Any] = {"__module__": module, "__qualname__": name, "__indexes__": indexes}
    namespace["__annotations__"] = {}
    for field_name, declared in fields.items():
        annotation, *default = declared if isinstance(declared, tuple) else (declared,)
        namespace["__annotations__"][field_name] = annotation
        if default:
            namespace[field_name] = default[0]
    if table is not None:
        namespace["__table_name__"] = table
    return type(name, (Model,), namespace)


def restart() -> None:
    """Forget everything this process learnt of the stored classes, as a new process would."""
    configure_databases()


@contextlib.contextmanager
def raw_connection() -> Iterator[Any]:
    url = storage().history_db.url
    if url.kind == "sqlite":
        conn: Any = sqlite3.connect(url.target, isolation_level=None, check_same_thread=False)
    else:
        import psycopg

        conn = psycopg.connect(url.target, autocommit=True)
    try:
        yield conn
    finally:
        conn.close()


NEWER = textwrap.dedent(
    """
    from kestrum_data.config import configure_databases
    from kestrum_models.classes.model import Model
    configure_databases({url!r})
    class Gadget(Model):
        __table_name__ = "gadgets"
        name: str
    {fields}
    Gadget(name="newer", {values}).save()
    """
)


@pytest.mark.parametrize(
    ("fields", "values", "readable"),
    [
        ("    size: str\n    weight: float", "size='big', weight=1.5", False),
        ("    size: int\n    colour: str = 'red'", "size=5, colour='blue'", True),
    ],
    ids=["incompatible", "compatible"],
)
def test_a_process_running_an_older_definition_keeps_reading_and_writing(
    store: str, fields: str, values: str, readable: bool
) -> None:
    class Gadget(Model):
        model_config = ConfigDict(extra="forbid")
        __table_name__ = "gadgets"
        name: str
        size: int

    Gadget(name="older", size=1).save()
    url = storage().history_db.url
    target = f"sqlite:///{url.target}" if url.kind == "sqlite" else url.target
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    script = NEWER.format(url=target, fields=fields, values=values)
    subprocess.run([sys.executable, "-c", script], env=env, check=True, timeout=120)

    Gadget(name="again", size=2).save()
    found = {g.name: g for g in Gadget.objects.execute()}
    assert type(found["older"]) is Gadget and type(found["again"]) is Gadget
    assert found["again"].metadata["class_version"] == 1
    newer = found["newer"]
    if readable:
        assert type(newer) is Gadget and newer.size == 5
    else:
        assert isinstance(newer, LegacyModel) and newer.original_class is Gadget and newer.size == "big"

    async def read() -> dict[str, type]:
        return {g.name: type(g) for g in await Gadget.objects.aexecute()}

    with mode("async"):
        assert asyncio.run(read()) == {name: type(g) for name, g in found.items()}
    restart()  # a new process of the older code
    assert {g.name: type(g) for g in Gadget.objects.execute()} == {name: type(g) for name, g in found.items()}


@pytest.mark.parametrize(
    ("first", "second", "new_process"),
    [
        (("Gizmo", "app_a"), ("Gizmo", "app_b"), False),
        (("Gizmo", "app_a", "gizmos"), ("Doohickey", "app_b", "gizmos"), True),
        (("Widget", "app_a"), ("widget", "app_b"), True),
        (("Widget", "app_a", "Parts"), ("Widget", "app_b", "parts"), True),
    ],
    ids=["same-name-other-module", "same-table-name", "names-differ-in-case", "tables-differ-in-case"],
)
def test_a_second_class_for_one_table_is_refused_until_it_gets_a_table_of_its_own(
    store: str, first: tuple[str, ...], second: tuple[str, ...], new_process: bool
) -> None:
    one = model(*first, label=str)
    one(label="first").save()
    if new_process:
        restart()
    other = model(*second, label=str)
    tables = [declared[2] if len(declared) > 2 else declared[0] for declared in (first, second)]
    if store == "postgresql" and tables[0] != tables[1]:
        # PostgreSQL names keep their case: two tables.
        other(label="second").save()
        assert [[o.label for o in cls.objects.execute()] for cls in (one, other)] == [["first"], ["second"]]
        return
    for use in (lambda: other(label="second").save(), lambda: other.objects.execute()):
        with pytest.raises(SchemaError) as raised:
            use()
        message = str(raised.value)
        assert first[0] in message and f"{second[1]}.{second[0]}" in message and "__table_name__" in message
    moved = model(second[0], second[1], "elsewhere", label=str)
    moved(label="second").save()
    assert [o.label for o in one.objects.execute()] == ["first"]
    assert [o.label for o in moved.objects.execute()] == ["second"]


def test_a_class_defined_again_by_the_same_code_is_a_new_version(store: str) -> None:
    model("Doodad", label=str)(label="a").save()
    restart()
    again = model("Doodad", label=str, size=(int, 0))
    assert again(label="b").save().metadata["class_version"] == 2
    assert sorted(d.label for d in again.objects.execute()) == ["a", "b"]


@pytest.mark.parametrize("length", [54, 61])
def test_long_table_and_column_names(store: str, length: int) -> None:
    name = "T" + "x" * (length - 1)
    a, b = "f" * 70 + "a", "f" * 70 + "b"
    cls = model(name, __name__, None, ((a, b),), **{a: int, b: int})
    if store == "postgresql" and length > 54:
        with pytest.raises(SchemaError, match=r"too long for PostgreSQL.*__table_name__"):
            cls.objects.execute()
        return
    cls(**{a: 1, b: 2}).save()
    restart()
    [found] = cls.objects.filter(**{b: 2}).execute()
    assert (getattr(found, a), getattr(found, b)) == (1, 2)


@pytest.mark.parametrize(
    "versions",
    [
        [{"b__c": int, "b": int}],
        [{"b": int, "b__c": int}],
        [{"Name": str, "name": str}],
        [{"b": str}, {"b": int, "b__integer": str}],
        [{"b": int}, {"b": str, "b__c": int}, {"b": int, "b__string": int, "b__c": int}],
    ],
    ids=["b__c-first", "b-first", "case-only", "retyped-b-and-b__integer", "retyped-twice"],
)
def test_every_field_has_a_column_of_its_own(store: str, versions: list[dict[str, type]]) -> None:
    for n, fields in enumerate(versions):
        cls = model("Thing", **fields)
        values = {name: f"v{n}{i}" if kind is str else 10 * n + i for i, (name, kind) in enumerate(fields.items())}
        cls(**values).save()
    [row] = [t for t in cls.objects.execute() if type(t) is cls and t.metadata["class_version"] == len(versions)]
    assert row.model_dump() == values
    for name, value in values.items():
        if "__" not in name:  # the lookup grammar reads "b__c" as field b, lookup c
            assert cls.objects.filter(**{name: value}).count().execute() == 1


def test_a_field_named_metadata_is_refused_when_the_class_is_used(store: str) -> None:
    cls = model("Annotated", title=str, metadata=dict)
    for use in (lambda: cls.objects.execute(), lambda: cls(title="t", metadata={}).save()):
        with pytest.raises(SchemaError, match="'metadata'"):
            use()


DAY = datetime.date(2020, 1, 2)
ADDED = {
    "rank": (int, 7),
    "tags": (list[str], ["x"]),
    "flag": (bool, True),
    "note": (str | None, "n/a"),
    "day": (datetime.date, DAY),
    "gone": (int | None, None),
}
CONDITIONS = [
    Q(rank=7), Q(rank__gte=5), Q(tags=["x"]), Q(tags__contains="x"), Q(flag=True), Q(note="n/a"),
    Q(note__isnull=True), Q(day=DAY), Q(gone__isnull=True), ~Q(rank=7) | Q(flag=False),
]


@pytest.fixture
def notes(any_store: str) -> type[Model]:
    """Notes saved before and after fields with defaults were added to their class."""
    model("Note", title=str)(title="old").save()
    cls = model("Note", title=str, **ADDED)
    cls(title="new", rank=1, tags=[], flag=False, note=None, day=datetime.date(2021, 1, 1), gone=3).save()
    cls(title="same", **{name: default for name, (_, default) in ADDED.items()}).save()
    return cls


@pytest.mark.parametrize("condition", CONDITIONS, ids=repr)
def test_filters_on_an_added_field_see_the_default_that_loading_shows(notes: type[Model], condition: Q) -> None:
    for alias in ("default", LAKEHOUSE_DB_ALIAS):
        loaded = notes.objects.using(alias).execute()
        expected = sorted(obj.title for obj in loaded if condition.matches(obj.model_dump()))
        assert sorted(obj.title for obj in notes.objects.using(alias).filter(condition).execute()) == expected
        assert notes.objects.using(alias).filter(condition).count().execute() == len(expected)


def test_ordering_on_an_added_field_sees_the_default(notes: type[Model]) -> None:
    loaded = notes.objects.execute()
    expected = [obj.title for obj in sorted(loaded, key=lambda obj: (obj.rank, obj.title))]
    assert [obj.title for obj in notes.objects.order_by("rank", "title").execute()] == expected


@pytest.mark.parametrize("use", ["query", "count", "aquery"])
def test_reading_a_registered_class_never_waits_for_a_writer(store: str, use: str) -> None:
    from store_models import Item

    Item(name="first").save()
    restart()
    done: list[Any] = []

    def read() -> None:
        if use == "aquery":
            with mode("async"):
                done.append(asyncio.run(Item.objects.aexecute()))
        else:
            done.append(Item.objects.execute() if use == "query" else Item.objects.count().execute())

    with raw_connection() as conn:
        # A writer holding the write lock (SQLite) or the schema lock (PostgreSQL).
        conn.execute("BEGIN IMMEDIATE" if store == "sqlite" else "BEGIN")
        if store == "postgresql":
            conn.execute(f"SELECT pg_advisory_xact_lock({SCHEMA_LOCK})")
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        reader.join(20)
        finished = not reader.is_alive()
        conn.execute("ROLLBACK")
    reader.join(60)
    assert finished, "the first read of a registered class waited for a writer"
    assert len(done) == 1


def test_a_registry_keyed_by_class_name_is_rekeyed_and_keeps_every_version(store: str) -> None:
    model("Relic", label=str)(label="a").save()
    model("Relic", label=int)(label=2).save()
    with raw_connection() as conn:
        # The registry as databases written before tables were the key hold it.
        for statement in [
            'CREATE TABLE "old" AS SELECT * FROM "_kestrum_classes"',
            'DROP TABLE "_kestrum_classes"',
            'CREATE TABLE "_kestrum_classes" (class_name TEXT NOT NULL, version INTEGER NOT NULL, '
            "table_name TEXT NOT NULL, fields TEXT NOT NULL, signature TEXT NOT NULL, created_at TEXT NOT NULL, "
            "PRIMARY KEY (class_name, version))",
            'INSERT INTO "_kestrum_classes" SELECT * FROM "old"',
            'DROP TABLE "old"',
        ]:
            conn.execute(statement)
    restart()
    current = model("Relic", label=int)
    found = sorted(current.objects.execute(), key=lambda r: r.metadata["class_version"])
    assert [(type(r), r.label) for r in found] == [(LegacyModel, "a"), (current, 2)]
    # Keyed by table, the registry holds a class of the same name in a table of its own.
    elsewhere = model("Relic", "app_b", "relics", label=str)
    elsewhere(label="c").save()
    assert [r.label for r in elsewhere.objects.execute()] == ["c"]
