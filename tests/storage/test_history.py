"""History of objects: when and why each version was saved, one object's versions, diffs and
reverts, the objects as of an instant, the change feed in commit order, and pruning."""

from __future__ import annotations

import asyncio
import datetime
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any

import pytest
from store_models import Book, Item, Shelf
from test_layout import earlier_layout, raw

from kestrum_data.config import configure_databases, database_url
from kestrum_models.storage import (
    DEFAULT_DB_ALIAS,
    ConflictError,
    Count,
    InvalidValueError,
    LegacyModel,
    Model,
    PrunedHistoryError,
    atransaction,
    storage,
    transaction,
)

UTC = datetime.UTC
TWINS = pytest.mark.parametrize("kind", ["sync", "async"])


def run(kind: str, lazy: Any, name: str = "execute", *args: Any, **kwargs: Any) -> Any:
    """``lazy.<name>(...)``, or its coroutine twin ``a<name>(...)`` on an event loop."""
    if kind == "sync":
        return getattr(lazy, name)(*args, **kwargs)
    return asyncio.run(getattr(lazy, "a" + name)(*args, **kwargs))


def tick() -> datetime.datetime:
    """An instant strictly between the writes before and after it."""
    time.sleep(0.002)
    now = datetime.datetime.now(UTC)
    time.sleep(0.002)
    return now


# -- recording ----------------------------------------------------------------------------


@TWINS
def test_a_transaction_stamps_its_versions_with_one_time_and_its_note(store: str, kind: str) -> None:
    before = datetime.datetime.now(UTC)
    if kind == "sync":
        with transaction(note="import"):
            a, b = Item.bulk_save([Item(name="a"), Item(name="b")])
            c = Item(name="c").save(note="own")
    else:
        async def write() -> tuple[Item, ...]:
            async with atransaction(note="import"):
                a, b = await Item.abulk_save([Item(name="a"), Item(name="b")])
                return a, b, await Item(name="c").asave(note="own")
        a, b, c = asyncio.run(write())
    single = Item(name="d").save(note="alone")
    versions = {obj.pk: run(kind, obj.history())[-1] for obj in (a, b, c, single)}
    stamps = {pk: (v.saved_at, v.note, v.deleted) for pk, v in versions.items()}
    assert stamps[a.pk][0] == stamps[b.pk][0] == stamps[c.pk][0] < stamps[single.pk][0]
    assert before <= stamps[a.pk][0] <= datetime.datetime.now(UTC) and stamps[a.pk][0].tzinfo is not None
    assert [stamps[o.pk][1:] for o in (a, b, c, single)] == [("import", False)] * 2 + [("own", False), ("alone", False)]
    with pytest.raises(InvalidValueError, match="note must be a str"):
        Item(name="e").save(note=3)  # type: ignore[arg-type]


def test_an_earlier_store_gains_the_version_columns_its_old_versions_older_than_any_time(store: str) -> None:
    old = Item.bulk_save([Item(name=f"o{n}", rank=n) for n in range(3)])
    old[0].rank = 10
    old[0].save()
    old[2].delete()
    earlier_layout()
    url = storage().history_db.url
    with raw(url) as conn:
        if url.kind == "sqlite":
            names = [r[0] for r in conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'items__history' AND sql IS NOT NULL")]
        else:
            names = [r[0] for r in conn.execute(
                "SELECT indexname FROM pg_indexes WHERE tablename = 'items__history' AND indexname NOT LIKE '%pkey'")]
            conn.execute("DROP TABLE items__feed")
        for name in names:
            conn.execute(f'DROP INDEX "{name}"')
        for column in ("_saved_at", "_note", "_superseded_at", "_tx"):
            conn.execute(f'ALTER TABLE items__history DROP COLUMN "{column}"')
        conn.execute("DROP TABLE _kestrum_histories")
    configure_databases()  # as a new process
    assert [v.saved_at for v in old[0].history().execute()] == [None, None]
    before = tick()
    fresh = Item(name="new", rank=1).save()
    old[1].rank = 11
    old[1].save()
    assert sorted(i.name for i in Item.objects.as_of(before).execute()) == ["o0", "o1"]
    assert Item.objects.as_of(before).get(name="o0").execute().rank == 10
    assert sorted((i.name, i.rank) for i in Item.objects.as_of(datetime.datetime.now(UTC)).execute()) == [
        ("new", 1), ("o0", 10), ("o1", 11)]
    feed = Item.objects.changes().execute()
    # Removing versions replaced before times were recorded takes no instant away.
    assert Item.objects.prune(older_than=before) == 2 and Item.objects.as_of(before).count().execute() == 2
    assert [c.position for c in feed[:5]] == [0] * 5 and [(c.object_id, c.saved_at is None) for c in feed[5:]] == [
        (fresh.pk, False), (old[1].pk, False)]


# -- one object's history ------------------------------------------------------------------


@TWINS
def test_history_lists_every_version_oldest_first_and_slices_and_reverses(store: str, kind: str) -> None:
    obj = Item(name="v1", rank=1).save()
    Item(name="other").save()
    for n in (2, 3, 4):
        obj.name, obj.rank = f"v{n}", n
        obj.save(note=f"to {n}")
    obj.delete(note="gone")
    found = run(kind, obj.history())
    assert [(v.metadata["object_version"], v.note) for v in found] == [
        (1, None), (2, "to 2"), (3, "to 3"), (4, "to 4"), (5, "gone")]
    assert [v.name for v in found[:4]] == ["v1", "v2", "v3", "v4"] and all(type(v) is Item for v in found[:4])
    assert isinstance(found[4], LegacyModel) and found[4].deleted and not found[3].deleted
    with pytest.raises(AttributeError, match="deletion"):
        found[4].name  # noqa: B018
    assert [v.saved_at for v in found] == sorted(v.saved_at for v in found)
    assert [v.name for v in run(kind, Item.objects.history(obj.pk)[1:3])] == ["v2", "v3"]
    assert [v.metadata["object_version"] for v in run(kind, obj.history().order_by("-version")[:2])] == [5, 4]
    assert run(kind, obj.history().count()) == 5
    assert [v.rank for v in run(kind, obj.history().filter(rank__gte=3))] == [3, 4]


@TWINS
def test_diff_names_the_changed_fields_and_revert_writes_an_older_content_as_a_new_version(store: str, kind: str) -> None:
    obj = Item(name="first", rank=1, tags=["a"]).save()
    obj.name, obj.rank = "second", 2
    obj.save()
    obj.tags = ["b"]
    obj.save()
    assert run(kind, Item.objects, "diff", obj.pk, 1, 3) == {
        "name": ("first", "second"), "rank": (1, 2), "tags": (["a"], ["b"])}
    assert run(kind, obj, "diff", 2) == {"tags": (["a"], ["b"])} and run(kind, obj, "diff", 3) == {}
    stale = Item.objects.get(_address__object_id=obj.pk).execute()
    obj.price = 9.5
    obj.save()
    with pytest.raises(ConflictError):
        run(kind, stale, "revert", 1)
    assert (stale.name, stale.price, stale.metadata["object_version"]) == ("second", None, 3)
    assert run(kind, obj, "revert", 1, note="undo") is obj
    latest = Item.objects.get(_address__object_id=obj.pk).execute()
    assert (latest.name, latest.rank, latest.tags, latest.price, latest.object_version) == ("first", 1, ["a"], None, 5)
    assert [v.note for v in obj.history()[4:].execute()] == ["undo"]
    obj.delete()
    with pytest.raises(InvalidValueError, match="deletion"):
        Item.objects.diff(obj.pk, 5, 6)
    # A related object is the same value whether loaded or only referenced.
    book = Book(title="x", shelf=Shelf(label="s").save()).save()
    book.title = "y"
    book.save()
    assert run(kind, book, "diff", 1) == run(kind, Book.objects, "diff", book.pk, 1, 2) == {"title": ("x", "y")}


# -- the objects as of an instant -------------------------------------------------------------


@pytest.fixture
def timeline(store: str) -> tuple[list[datetime.datetime], dict[str, Item]]:
    """Objects at three instants: ``a`` (rank 1, then 5), ``b`` (rank 2, deleted later), ``c`` (rank 3, saved last)."""
    a, b = Item.bulk_save([Item(name="a", rank=1, flag=True), Item(name="b", rank=2, flag=True)])
    first = tick()
    a.rank = 5
    a.save()
    b.delete()
    second = tick()
    c = Item(name="c", rank=3, flag=True).save()
    return [first, second, tick()], {"a": a, "b": b, "c": c}


AS_OF_CASES = [
    (lambda qs: qs.order_by("name").execute(), [["a1", "b2"], ["a5"], ["a5", "c3"]]),
    (lambda qs: qs.filter(rank__gte=2).order_by("-rank").execute(), [["b2"], ["a5"], ["a5", "c3"]]),
    (lambda qs: qs.filter(flag=True, rank__lt=5).order_by("rank")[:1].execute(), [["a1"], [], ["c3"]]),
    (lambda qs: qs.order_by("name")[1:].execute(), [["b2"], [], ["c3"]]),
    (lambda qs: qs.count().execute(), [2, 1, 2]),
    (lambda qs: qs.filter(rank=5).exists().execute(), [False, True, True]),
    (lambda qs: qs.order_by("rank").values_list("name", flat=True).execute(), [["a", "b"], ["a"], ["c", "a"]]),
    (lambda qs: list(qs.filter(rank__gt=0).order_by("name").iterator(chunk_size=1)), [["a1", "b2"], ["a5"], ["a5", "c3"]]),
]


def shown(found: Any) -> Any:
    """Instances as name and rank, in their order; other results as they are."""
    return [f"{o.name}{o.rank}" for o in found] if isinstance(found, list) and found and isinstance(found[0], Item) \
        else found


@pytest.mark.parametrize("case", range(len(AS_OF_CASES)))
def test_as_of_answers_every_operation_as_the_objects_were(timeline: Any, case: int) -> None:
    instants, _ = timeline
    operation, expected = AS_OF_CASES[case]
    assert [shown(operation(Item.objects.as_of(when))) for when in instants] == expected
    assert shown(operation(Item.objects.as_of(instants[2]))) == shown(operation(Item.objects))


def test_as_of_reads_async_and_refuses_naive_instants_and_mixing(timeline: Any) -> None:
    instants, objs = timeline
    got = asyncio.run(Item.objects.as_of(instants[0]).order_by("name").aexecute())
    assert [(o.name, o.rank, o.object_version) for o in got] == [("a", 1, 1), ("b", 2, 1)]
    assert got[0].saved_at is not None and got[0].saved_at <= instants[0]
    assert Item.objects.as_of(instants[0]).as_of(instants[1]).count().execute() == 1
    assert Item.objects.as_of(datetime.datetime(2000, 1, 1, tzinfo=UTC)).execute() == []
    with pytest.raises(InvalidValueError, match="timezone-aware"):
        Item.objects.as_of(datetime.datetime(2024, 1, 1))  # type: ignore[arg-type]
    # Lookups, orderings and select_related across relations read the related objects as of the instant too.
    shelf = Shelf(label="old").save()
    Book(title="t", shelf=shelf).save()
    then = tick()
    shelf.label = "new"
    shelf.save()
    assert [b.title for b in Book.objects.as_of(then).filter(shelf__label="old").execute()] == ["t"]
    assert Book.objects.filter(shelf__label="old").count().execute() == 0
    assert Book.objects.as_of(then).filter(shelf__label__in=["old", "x"]).order_by("-shelf__label").values_list(
        "title", flat=True).execute() == ["t"]
    assert Book.objects.as_of(then).select_related("shelf").get().execute().shelf.label == "old"


# -- the change feed ---------------------------------------------------------------------------


WRITERS = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, {tests!r})
    from kestrum_data.config import configure_databases
    from kestrum_models.storage import transaction
    from store_models import Book, Item, Shelf
    configure_databases({url!r})
    Item.objects.count().execute()
    while time.time() < {start}:
        pass
    for n in range(20):
        with transaction():
            Item.bulk_save([Item(name="{who}", rank=n), Item(name="{who}", rank=n)])
    """
)


def test_the_feed_lists_versions_in_commit_order_and_a_follower_misses_none(store: str, tmp_path: Path) -> None:
    url = database_url(DEFAULT_DB_ALIAS)
    text = f"sqlite:///{url.target}" if url.kind == "sqlite" else url.target
    Item(name="first").save()
    start = time.time() + 2
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    procs = [subprocess.Popen([sys.executable, "-c", WRITERS.format(tests=str(Path(__file__).parent), url=text,
                                                                      start=start, who=who)], env=env)
             for who in "xy"]
    seen: list[Any] = []
    cursor = None
    while any(p.poll() is None for p in procs) or cursor is None or len(seen) < 81:
        found = Item.objects.changes(since=cursor)[:7].execute()
        seen += found
        cursor = found[-1].cursor if found else cursor
        if not found and all(p.poll() is not None for p in procs):
            break
    assert all(p.wait(timeout=120) == 0 for p in procs)
    everything = Item.objects.changes().execute()
    assert [c.cursor for c in seen] == [c.cursor for c in everything] and len(everything) == 81
    # Each transaction's two versions stand together, and every version is listed once.
    assert len({(c.object_id, c.object_version) for c in everything}) == 81
    assert all(everything[i].position == everything[i + 1].position for i in range(1, 81, 2))
    assert Item.objects.changes(since=everything[40].cursor).execute() == everything[41:]
    assert [c.kind for c in everything] == ["saved"] * 81


@TWINS
def test_follow_yields_changes_as_they_commit(store: str, kind: str) -> None:
    first = Item(name="a").save()
    cursor = Item.objects.changes().execute()[-1].cursor

    async def follow() -> list[Any]:
        found: list[Any] = []
        async for change in Item.objects.follow(since=cursor, poll=0.01):
            found.append(change)
            if len(found) == 3:
                return found
        return found

    async def main() -> list[Any]:
        task = asyncio.create_task(follow())
        await asyncio.sleep(0.05)
        first.name = "b"
        await first.asave()
        await asyncio.sleep(0.05)
        await first.adelete()
        await Item(name="c").asave()
        return await asyncio.wait_for(task, 30)

    found = asyncio.run(main())
    assert [(c.object_version, c.kind) for c in found] == [(2, "saved"), (3, "deleted"), (1, "saved")]
    with pytest.raises(InvalidValueError, match="cursor"):
        Item.objects.changes(since="nonsense")


# -- pruning -------------------------------------------------------------------------------------


@TWINS
def test_prune_keeps_the_latest_of_every_live_object_and_records_its_horizon(store: str, kind: str) -> None:
    live, gone = Item.bulk_save([Item(name="live", rank=0), Item(name="gone", rank=0)])
    for n in range(1, 4):
        live.rank = gone.rank = n
        Item.bulk_save([live, gone])
    middle = tick()
    gone.delete()
    assert run(kind, Item.objects, "prune", keep_last=2) == 5  # the deletion is a version too
    assert [v.rank for v in live.history().execute()] == [2, 3]
    assert [(v.metadata["object_version"], v.deleted) for v in gone.history().execute()] == [(4, False), (5, True)]
    with pytest.raises(PrunedHistoryError, match="pruned"):
        Item.objects.as_of(middle - datetime.timedelta(seconds=1)).execute()
    assert sorted(i.rank for i in Item.objects.as_of(middle).execute()) == [3, 3]
    assert run(kind, Item.objects, "prune", older_than=datetime.datetime.now(UTC)) == 2
    assert [v.rank for v in live.history().execute()] == [3] and Item.objects.get(_address__object_id=live.pk).execute().rank == 3
    for pruned in (lambda qs: qs.count(), lambda qs: qs.exists(), lambda qs: qs.aggregate(n=Count()),
                   lambda qs: qs.values("rank")):
        with pytest.raises(PrunedHistoryError):
            run(kind, pruned(Item.objects.as_of(middle)))
    assert Item.objects.as_of(datetime.datetime.now(UTC)).count().execute() == 1
    with pytest.raises(InvalidValueError, match="keep_last"):
        Item.objects.prune(keep_last=0)
    with pytest.raises(InvalidValueError, match="one of"):
        Item.objects.prune()


PRUNING = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, {tests!r})
    from kestrum_data.config import configure_databases
    from kestrum_models.storage import transaction
    from store_models import Item
    configure_databases({url!r})
    with transaction():
        print("pruned", Item.objects.prune(keep_last=1), flush=True)
        time.sleep(120)  # killed here, before the commit
    """
)


def test_a_prune_killed_before_its_commit_leaves_the_history_whole(store: str) -> None:
    objs = Item.bulk_save([Item(name=f"n{n}", rank=0) for n in range(50)])
    for rank in range(1, 6):
        for obj in objs:
            obj.rank = rank
        Item.bulk_save(objs)
    url = database_url(DEFAULT_DB_ALIAS)
    text = f"sqlite:///{url.target}" if url.kind == "sqlite" else url.target
    proc = subprocess.Popen([sys.executable, "-c", PRUNING.format(tests=str(Path(__file__).parent), url=text)],
                            stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path))))
    assert proc.stdout is not None and proc.stdout.readline().split() == ["pruned", "250"]
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=60)
    configure_databases()
    assert [v.rank for v in objs[7].history().execute()] == [0, 1, 2, 3, 4, 5]
    assert sorted(i.rank for i in Item.objects.as_of(datetime.datetime.now(UTC)).execute()) == [5] * 50
    assert Item.objects.prune(keep_last=1) == 250
    assert [v.rank for v in objs[7].history().execute()] == [5]


@TWINS
def test_updates_and_deletions_by_query_are_versions_of_their_own(any_store: str, kind: str) -> None:
    a, b, c = Item.bulk_save([Item(name="a", rank=1), Item(name="b", rank=2), Item(name="c", rank=3)])
    before = tick()
    start = Item.objects.changes().execute()[-1].cursor
    if kind == "sync":
        with transaction(note="by query"):
            assert Item.objects.filter(rank__gte=2).update(flag=True) == 2
            assert Item.objects.filter(name="c").delete() == 1
    else:
        async def write() -> None:
            async with atransaction(note="by query"):
                assert await Item.objects.filter(rank__gte=2).aupdate(flag=True) == 2
                assert await Item.objects.filter(name="c").adelete() == 1
        asyncio.run(write())
    feed = Item.objects.changes(since=start).execute()
    assert [(ch.object_id, ch.object_version, ch.kind, ch.note) for ch in feed] == [
        (b.pk, 2, "saved", "by query"), (c.pk, 2, "saved", "by query"), (c.pk, 3, "deleted", "by query")]
    assert len({ch.saved_at for ch in feed}) == 1 and feed[0].saved_at > before
    versions = c.history().execute()
    assert [v.deleted for v in versions] == [False, False, True] and [v.flag for v in versions[:2]] == [False, True]
    assert sorted((i.name, i.flag) for i in Item.objects.as_of(before).execute()) == [
        ("a", False), ("b", False), ("c", False)]
    assert sorted((i.name, i.flag) for i in Item.objects.as_of(datetime.datetime.now(UTC)).execute()) == [
        ("a", False), ("b", True)]


def test_versions_written_under_an_earlier_definition_come_back_as_legacy_rows(store: str) -> None:
    def memo(**fields: type) -> Any:
        return type("Memo", (Model,), {"__module__": __name__, "__qualname__": "Memo", "__annotations__": fields})

    first = memo(title=str)(title="draft").save()
    later = memo(title=str, owner=str)  # a required field: rows of the first definition cannot become instances
    obj = later.objects.using("lakehouse").get(_address__object_id=first.pk).execute()
    assert isinstance(obj, LegacyModel)
    current = obj.upgrade(owner="ann").save()
    found = later.objects.history(first.pk).execute()
    assert [type(v) is later for v in found] == [False, True] and isinstance(found[0], LegacyModel)
    assert (found[0].title, found[0].saved_at is not None, found[1].owner) == ("draft", True, "ann")
    assert later.objects.diff(first.pk, 1, 2) == {"owner": (None, "ann")} and current.object_version == 2
