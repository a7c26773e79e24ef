"""Writes by query (update, delete), get_or_create / update_or_create, and unique constraints."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any

import pytest
from store_models import Item

from kestrum_data.config import database_url
from kestrum_models.storage import (
    DEFAULT_DB_ALIAS,
    LAKEHOUSE_DB_ALIAS,
    ConflictError,
    InvalidValueError,
    Model,
    MultipleObjectsReturnedError,
    Q,
    SchemaError,
    UniqueViolationError,
    UnknownFieldError,
    atransaction,
    transaction,
)


class Bookcase(Model):
    label: str


class Copy(Model):
    __unique__ = [("isbn",), ("shelf", "position")]
    title: str
    isbn: str | None = None
    shelf: Bookcase | None = None
    position: int | None = None


def history(model: type[Any], **lookups: Any) -> list[Any]:
    return model.objects.using(LAKEHOUSE_DB_ALIAS).filter(**lookups).order_by("_address__object_version").execute()


def twin(kind: str, obj: Any, name: str, *args: Any, **kwargs: Any) -> Any:
    """``obj.<name>(...)``, or its coroutine twin ``a<name>(...)`` run on an event loop."""
    if kind == "sync":
        return getattr(obj, name)(*args, **kwargs)
    return asyncio.run(getattr(obj, "a" + name)(*args, **kwargs))


TWINS = pytest.mark.parametrize("kind", ["sync", "async"])


@pytest.fixture
def items(any_store: str) -> list[Item]:
    return Item.bulk_save([Item(name=f"i{n}", rank=n, tags=[str(n)]) for n in range(6)])


@TWINS
def test_update_gives_each_matching_object_a_new_version_by_sql(items: list[Item], kind: str) -> None:
    stale = items[4]
    assert twin(kind, Item.objects.filter(rank__gte=3).order_by("-rank")[:2], "update", flag=True, price=1.25) == 2
    latest = {o.name: o for o in Item.objects.execute()}
    assert [name for name, o in sorted(latest.items()) if o.flag] == ["i4", "i5"]
    assert latest["i5"].price == 1.25 and latest["i5"].tags == ["5"] and latest["i5"].object_version == 2
    assert [o.flag for o in history(Item, name="i5")] == [False, True]
    assert latest["i3"].object_version == 1
    stale.rank = 40  # loaded before the update: its save is refused, not lost
    with pytest.raises(ConflictError):
        stale.save()
    assert twin(kind, Item.objects.filter(name="none"), "update", flag=True) == 0
    assert twin(kind, Item.objects, "delete") == 6
    assert Item.objects.count().execute() == 0
    assert [o.object_version for o in history(Item, name="i5")] == [1, 2]  # the history stays


@TWINS
def test_update_and_delete_are_undone_with_their_transaction(items: list[Item], kind: str) -> None:
    # The history's latest versions: what the transaction's own database holds (in every layout).
    gone = Item.objects.using(LAKEHOUSE_DB_ALIAS).latest().filter(name="gone")

    async def inside() -> None:
        async with atransaction():
            await Item.objects.filter(rank__lt=3).aupdate(name="gone")
            await Item.objects.filter(rank=5).adelete()
            assert await gone.count().aexecute() == 3
            raise KeyError("undo")

    with pytest.raises(KeyError):
        if kind == "sync":
            with transaction():
                Item.objects.filter(rank__lt=3).update(name="gone")
                Item.objects.filter(rank=5).delete()
                assert gone.count().execute() == 3
                raise KeyError("undo")
        asyncio.run(inside())
    assert sorted(o.name for o in Item.objects.execute()) == [f"i{n}" for n in range(6)]
    assert all(o.object_version == 1 for o in Item.objects.execute())


@pytest.mark.parametrize(
    ("values", "error", "match"),
    [
        ({"nope": 1}, UnknownFieldError, "'nope'"),
        ({"name": None}, InvalidValueError, "cannot be set to None"),
        ({"rank": "many"}, InvalidValueError, "rank"),
        ({}, InvalidValueError, "at least one"),
    ],
)
def test_update_refuses_values_the_fields_refuse(items: list[Item], values: dict[str, Any], error: type[Exception],
                                                 match: str) -> None:
    with pytest.raises(error, match=match):
        Item.objects.update(**values)
    assert all(o.object_version == 1 for o in Item.objects.execute())


def test_writes_by_query_change_only_the_latest_objects(items: list[Item]) -> None:
    with pytest.raises(InvalidValueError, match="latest objects"):
        Item.objects.using(LAKEHOUSE_DB_ALIAS).delete()


# -- get_or_create, update_or_create --------------------------------------------------


@TWINS
def test_get_or_create_and_update_or_create(store: str, kind: str) -> None:
    shelf = Bookcase(label="s").save()
    made, created = twin(kind, Copy.objects, "get_or_create", {"title": "A"}, isbn="1", shelf=shelf)
    assert created and made.title == "A" and made.shelf.pk == shelf.pk and made.object_version == 1
    found, created = twin(kind, Copy.objects, "get_or_create", {"title": "B"}, isbn="1", shelf=shelf)
    assert not created and found.pk == made.pk and found.title == "A"
    changed, created = twin(kind, Copy.objects, "update_or_create", {"title": "C"}, isbn="1")
    assert not created and changed.pk == made.pk and (changed.title, changed.object_version) == ("C", 2)
    new, created = twin(kind, Copy.objects, "update_or_create", {"title": "D"}, isbn="2")
    assert created and new.title == "D" and Copy.objects.count().execute() == 2
    with pytest.raises(MultipleObjectsReturnedError):
        twin(kind, Copy.objects, "get_or_create", title__in=["C", "D"])
    with pytest.raises(UniqueViolationError):  # a new object whose values another one holds
        twin(kind, Copy.objects, "get_or_create", {"isbn": "2"}, title="E")


RACE = """
import sys, time
from kestrum_models.storage import Model, configure_databases

class Racer(Model):
    __unique__ = {unique}
    key: str
    who: str

configure_databases(sys.argv[1])
Racer.objects.count().execute()
while time.time() < float(sys.argv[2]):
    pass
created = [Racer.objects.get_or_create({{"who": sys.argv[3]}}, key=f"k{{n}}")[1] for n in range(25)]
print(sum(created))
"""


@pytest.mark.parametrize("unique", [[("key",)], []], ids=["unique", "plain"])
def test_two_processes_calling_get_or_create_at_once_create_one_object(
    store: str, tmp_path: Path, unique: list[tuple[str, ...]]
) -> None:
    script = tmp_path / "race.py"
    script.write_text(textwrap.dedent(RACE.format(unique=unique)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    configured = database_url(DEFAULT_DB_ALIAS)
    url = configured.target if configured.kind == "postgresql" else f"sqlite:///{configured.target}"
    start = str(time.time() + 3)
    procs = [subprocess.Popen([sys.executable, str(script), url, start, who], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for who in ("a", "b")]
    outputs = [proc.communicate(timeout=180) for proc in procs]
    assert all(proc.returncode == 0 for proc in procs), outputs
    assert sum(int(out.split()[-1]) for out, _ in outputs) == 25
    Racer = type("Racer", (Model,), {"__module__": "race_check", "__annotations__": {"key": str, "who": str},
                                     "__unique__": unique})
    assert sorted(r.key for r in Racer.objects.execute()) == sorted(f"k{n}" for n in range(25))


# -- unique constraints ----------------------------------------------------------------


@TWINS
def test_a_save_breaking_a_unique_constraint_stores_nothing_and_names_the_fields(store: str, kind: str) -> None:
    shelf = Bookcase(label="s").save()
    first = Copy(title="a", isbn="1", shelf=shelf, position=1).save()
    for clash, fields, shown in [(Copy(title="b", isbn="1"), ("isbn",), "isbn='1'"),
                                 (Copy(title="c", isbn="2", shelf=shelf, position=1), ("shelf", "position"), "position=1")]:
        with pytest.raises(UniqueViolationError, match=rf"Copy\.__unique__.*{shown}|{shown}.*Copy\.__unique__") as raised:
            twin(kind, clash, "save")
        assert (raised.value.model, raised.value.fields) == ("Copy", fields) and clash.metadata is None
    with pytest.raises(UniqueViolationError, match="two Copy objects"):
        Copy.bulk_save([Copy(title="d", isbn="3"), Copy(title="e", isbn="3")])
    # None never collides; an object keeps its own values; a deleted object's values are free again.
    Copy.bulk_save([Copy(title="f"), Copy(title="g"), Copy(title="h", shelf=shelf)])
    first.title = "a2"
    twin(kind, first, "save")
    twin(kind, first, "delete")
    Copy(title="again", isbn="1", shelf=shelf, position=1).save()
    assert sorted(c.title for c in Copy.objects.execute()) == ["again", "f", "g", "h"]


def test_inside_a_transaction_only_the_breaking_write_is_undone(store: str) -> None:
    with transaction():
        Copy(title="a", isbn="1").save()
        with pytest.raises(UniqueViolationError):
            Copy(title="b", isbn="1").save()
        Copy(title="c", isbn="2").save()
    assert sorted(c.title for c in Copy.objects.execute()) == ["a", "c"]
    with pytest.raises(UniqueViolationError, match="isbn"):
        Copy.objects.update(isbn="9")
    assert sorted((c.isbn, c.object_version) for c in Copy.objects.execute()) == [("1", 1), ("2", 1)]


def test_a_unique_constraint_over_stored_duplicates_is_refused_until_they_are_resolved(store: str) -> None:
    def define(unique: list[tuple[str, ...]]) -> type[Model]:
        return type("Ticket", (Model,), {"__module__": __name__, "__qualname__": "Ticket",
                                         "__annotations__": {"code": str}, "__unique__": unique})

    plain = define([])
    plain.bulk_save([plain(code="x"), plain(code="x"), plain(code="y")])
    strict = define([("code",)])
    with pytest.raises(SchemaError, match="share code='x'"):
        strict.objects.count().execute()
    plain.objects.filter(code="x").order_by("_address__object_id")[:1].delete()
    assert define([("code",)]).objects.count().execute() == 2
    with pytest.raises(UniqueViolationError):
        strict(code="y").save()


@pytest.mark.parametrize("any_store", ["split-sqlite", "split-mixed"], indirect=True)
def test_unique_constraints_need_one_database_for_both_aliases(any_store: str) -> None:
    with pytest.raises(SchemaError, match="one database"):
        Copy(title="a").save()


def test_unique_declarations_are_checked_against_the_fields(store: str) -> None:
    bad = type("Badly", (Model,), {"__module__": __name__, "__annotations__": {"tags": list[str]},
                                   "__unique__": [("tags",)]})
    with pytest.raises(SchemaError, match="JSON fields cannot be unique"):
        bad(tags=[]).save()
    missing = type("Missing", (Model,), {"__module__": __name__, "__annotations__": {"code": str},
                                         "__unique__": ["nope"]})
    with pytest.raises(SchemaError, match="'nope', which is not a field"):
        missing(code="a").save()


def test_conditions_reach_the_rows_written_by_query(items: list[Item]) -> None:
    assert Item.objects.filter(Q(rank=1) | Q(tags__contains="2")).update(flag=True) == 2
    assert sorted(o.name for o in Item.objects.filter(flag=True).execute()) == ["i1", "i2"]
