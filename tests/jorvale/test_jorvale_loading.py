"""Loading stored objects through Jorvale and the real query sets, in both modes."""

import asyncio
import gc
import json
import sys

import pytest

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.connections.historical.schema_version_manager import clear_schema_versions, register_schema_version
from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_glue import Data
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_models.querysets.errors import MultipleObjectsReturnedError, ObjectDoesNotExistError
from kestrum_models.querysets.executor import register_backend, unregister_backend
from kestrum_models.querysets.testing import MemoryBackend
from kestrum_utils.models.data_models.reference import Reference
from kestrum_utils.utils.decorators import ModeError, mode


class StoredNote(Model):
    title: str
    words: int = 0


def row(object_id, object_version, class_version, **fields):
    metadata = {
        "object_id": json.dumps(object_id),
        "object_version": object_version,
        "class_schema_reference": {"ref": {"object_version": class_version}},
    }
    # Each row is compatible with its own class schema only.
    return Data({**fields, "_metadata": json.dumps(metadata)}, {COMPATIBLE_CLASS_VERSIONS: [class_version]})


HISTORY = [
    row(1, "1", "1", title="first draft", words=10),
    row(1, "2", "2", title="second draft", words=20),
    row(2, "1", "2", title="another note", words=5),
]


@pytest.fixture
def storage():
    # The default database holds the latest version of each object, the lakehouse all of them.
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend([HISTORY[1], HISTORY[2]]))
    register_backend(LAKEHOUSE_DB_ALIAS, MemoryBackend(HISTORY))
    register_schema_version("StoredNote", "2")
    yield
    unregister_backend(DEFAULT_DB_ALIAS)
    unregister_backend(LAKEHOUSE_DB_ALIAS)
    clear_schema_versions()


def reference(object_id, object_version="LATEST", class_version="LATEST"):
    return Reference(
        ref={"class_name": "StoredNote", "class_version": class_version, "object_version": object_version,
             "object_id": object_id}
    )


def load(loader, twin, **kwargs):
    if twin == "sync":
        return loader.load_reference(**kwargs)
    with mode("async"):
        return asyncio.run(loader.aload_reference(**kwargs))


twins = pytest.mark.parametrize("twin", ["sync", "async"])


@twins
def test_loads_the_latest_version(storage, twin):
    note = load(Jorvale(reference(1)), twin)
    assert type(note) is StoredNote and note.title == "second draft"
    assert note.metadata["object_id"] == 1  # the JSON object id is decoded


@twins
def test_loads_a_historical_version_from_the_lakehouse(storage, twin):
    # Version 1 was written under class schema 1, which is not compatible with 2.
    old = load(Jorvale(reference(1, object_version="1")), twin)
    assert type(old) is LegacyModel and old.original_class is StoredNote and old.title == "first draft"
    current = load(Jorvale(reference(1, object_version="2", class_version="2")), twin)
    assert type(current) is StoredNote and current.words == 20


@twins
def test_only_gives_a_partial_instance(storage, twin):
    note = load(Jorvale(reference(2)), twin, only=["title"])
    assert type(note).__name__ == "StoredNotePartial" and note.title == "another note"


@twins
def test_explicit_alias_wins(storage, twin):
    unregister_backend(DEFAULT_DB_ALIAS)
    register_backend("archive", MemoryBackend([HISTORY[2]]))
    try:
        assert load(Jorvale(reference(2)), twin, using="archive").title == "another note"
    finally:
        unregister_backend("archive")


@twins
@pytest.mark.parametrize(
    ("rows", "error", "message"),
    [([], ObjectDoesNotExistError, "No items found"), ([HISTORY[2], HISTORY[2]], MultipleObjectsReturnedError, "Multiple items found")],
)
def test_not_found_and_ambiguous(storage, twin, rows, error, message):
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend(rows))
    with pytest.raises(error) as info:
        load(Jorvale(reference(2)), twin)
    assert str(info.value) == message


def test_each_twin_serves_its_own_mode(storage):
    with mode("sync"), pytest.raises(ModeError):
        asyncio.run(Jorvale(reference(1)).aload_reference())
    with mode("async"), pytest.raises(ModeError):
        Jorvale(reference(1)).load_reference()

    async def inside_a_loop():
        Jorvale(reference(1)).load_reference()

    with pytest.raises(ModeError, match=r"cannot run inside a running event loop"):
        asyncio.run(inside_a_loop())


def test_no_leaks_across_many_loads(storage):
    ref = reference(1, object_version="1")
    loader = Jorvale(ref)

    async def many(count):
        for _ in range(count):
            await loader.aload_reference()

    def run(count):
        for _ in range(count):
            loader.load_reference()
        with mode("async"):
            asyncio.run(many(count))

    run(1)  # warm-up: first-use caches
    gc.collect()
    before = sys.getrefcount(ref), sys.getrefcount(StoredNote)
    run(300)
    gc.collect()
    assert (sys.getrefcount(ref), sys.getrefcount(StoredNote)) == before
