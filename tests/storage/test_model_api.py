"""The everyday API on the store: identity, notes on one-object errors, refresh, load and legacy upgrade."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any

import pytest
from pydantic import ConfigDict, ValidationError
from store_models import Book, Shelf

from kestrum_models.storage import (
    LAKEHOUSE_DB_ALIAS,
    InvalidValueError,
    LegacyModel,
    Model,
    MultipleObjectsReturnedError,
    NotLoadedError,
    NotSavedError,
    ObjectDoesNotExistError,
    SchemaError,
    UnknownFieldError,
)


def twin(kind: str, obj: Any, name: str) -> Any:
    """Call ``obj.<name>()``, or run its coroutine twin ``a<name>()`` on an event loop."""
    if kind == "sync":
        return getattr(obj, name)()
    return asyncio.run(getattr(obj, "a" + name)())


def redefined(name: str, **fields: type) -> type[Model]:
    """A model class named ``name`` defined (again) by this module: a new class version when its fields change."""
    return type(name, (Model,), {"__module__": __name__, "__qualname__": name, "__annotations__": fields})


TWINS = pytest.mark.parametrize("kind", ["sync", "async"])


@pytest.mark.parametrize("name", ["pk", "object_version"])
def test_a_field_named_like_an_identity_property_is_refused_when_the_class_is_used(store: str, name: str) -> None:
    with pytest.warns(UserWarning, match=name):
        cls = redefined("Shadowing", title=str, **{name: int})
    with pytest.raises(SchemaError, match=f"'{name}' cannot be a field"):
        cls.objects.execute()


@pytest.mark.parametrize(
    ("build", "error", "message", "note"),
    [
        (lambda: Book.objects.get(title="none"), ObjectDoesNotExistError, "No items found", "no Book object matches"),
        (lambda: Book.objects.get(), MultipleObjectsReturnedError, "Multiple items found", "no conditions"),
        (
            lambda: Book.objects.using(LAKEHOUSE_DB_ALIAS).get_or_none(title="twice"),
            MultipleObjectsReturnedError,
            "Multiple items found",
            "Q(title='twice') in database alias 'lakehouse'",
        ),
    ],
)
@TWINS
def test_one_object_errors_keep_their_message_and_name_the_query_in_a_note(
    store: str, kind: str, build: Callable[[], Any], error: type[Exception], message: str, note: str
) -> None:
    book = Book(title="twice").save()
    book.save()
    Book(title="other").save()
    with pytest.raises(error) as raised:
        twin(kind, build(), "execute")
    assert str(raised.value) == message
    assert len(raised.value.__notes__) == 1 and note in raised.value.__notes__[0]
    assert twin(kind, Book.objects.order_by("title").first(), "execute").title == "other"


@TWINS
def test_ids_and_versions_and_refresh_of_the_latest_version_in_place(store: str, kind: str) -> None:
    mine = Book(title="a")
    assert getattr(mine, "pk", None) is None
    with pytest.raises(NotSavedError, match="nothing to refresh"):
        twin(kind, mine, "refresh")
    mine.save()
    theirs = Book.objects.get(_address__object_id=mine.pk).execute()
    assert (theirs.pk, theirs.object_version) == (mine.metadata["object_id"], 1)
    theirs.title = "b"
    theirs.save()
    mine.note = "kept until reloaded"  # type: ignore[attr-defined]
    assert twin(kind, mine, "refresh") is mine
    assert (mine.title, mine.object_version, mine.metadata) == ("b", 2, theirs.metadata)
    assert not hasattr(mine, "note")
    mine.title = "c"
    mine.save()  # follows on from the reloaded version: no conflict
    assert Book.objects.get().execute().title == "c"
    mine.delete()
    with pytest.raises(ObjectDoesNotExistError) as raised:
        twin(kind, theirs, "refresh")
    assert f"_address__object_id={mine.pk}" in raised.value.__notes__[0]


@TWINS
def test_an_unloaded_reference_says_how_to_load_it_and_loads_in_place(store: str, kind: str) -> None:
    shelf = Shelf(label="top").save()
    Book.bulk_save([Book(title="a", shelf=shelf), Book(title="b", shelf=shelf)])
    first, second = Book.objects.order_by("title").execute()
    stub = first.shelf
    assert stub is not None and stub is second.shelf and stub.pk == shelf.pk
    for read in (lambda: stub.label, lambda: stub.object_version):
        with pytest.raises(NotLoadedError, match=r"select_related\(<field>\).*load\(\)"):
            read()
    with pytest.raises(InvalidValueError, match=r"load\(\)"):
        stub.save()
    assert twin(kind, stub, "load") is stub
    assert (stub.label, stub.object_version, second.shelf.label) == ("top", 1, "top")
    shelf.label = "low"
    shelf.save()
    assert twin(kind, stub, "load").label == "top"  # a loaded instance is left as it is
    assert first.model_dump()["shelf"] == {"label": "top"}


def test_frozen_instances_are_loaded_but_never_refreshed(store: str) -> None:
    Frozen = type("Frozen", (Model,), {"__annotations__": {"label": str}, "model_config": ConfigDict(frozen=True)})
    Holder = type("Holder", (Model,), {"__annotations__": {"frozen": Frozen}})
    Holder(frozen=Frozen(label="f").save()).save()
    held = Holder.objects.get().execute().frozen.load()
    assert held.label == "f" and hash(held) == hash(Frozen.objects.get().execute())
    with pytest.raises(TypeError, match="frozen"):
        held.refresh()


@TWINS
def test_a_legacy_row_upgrades_to_the_current_class_and_saves_its_next_version(store: str, kind: str) -> None:
    older = redefined("Gauge", label=str, size=int)(label="old", size=3).save()
    current = redefined("Gauge", label=str, size=str, unit=str)
    [legacy] = current.objects.execute()
    assert isinstance(legacy, LegacyModel) and legacy.pk is not None
    with pytest.raises(ValidationError) as raised:
        legacy.upgrade(size="3")
    assert "unit" in str(raised.value) and "upgrade()" in raised.value.__notes__[0]
    with pytest.raises(UnknownFieldError, match="'colour'"):
        legacy.upgrade(size="3", unit="cm", colour="red")
    upgraded = legacy.upgrade(size="3 cm", unit="cm")
    assert type(upgraded) is current and (upgraded.pk, upgraded.object_version) == (legacy.pk, 1)
    assert (upgraded.label, upgraded.size) == ("old", "3 cm")
    twin(kind, upgraded, "save")
    assert upgraded.object_version == 2
    [stored] = current.objects.execute()
    assert type(stored) is current and stored.model_dump() == {"label": "old", "size": "3 cm", "unit": "cm"}
    with pytest.raises(SchemaError, match="upgrade"):  # the older definition cannot read the new version
        twin(kind, older, "refresh")
    assert older.size == 3 and older.object_version == 1
