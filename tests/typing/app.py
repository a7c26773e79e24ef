"""A small application written against the shipped annotations and stubs.

``mypy --strict`` checks it without casts (tests/typing/test_typing.py), and the
test runs it too. The ``assert_type`` lines state the types a user's code sees.
"""

from __future__ import annotations

import asyncio
import datetime
import enum
from typing import Any, assert_type

from pydantic import BaseModel

from kestrum_models.storage import (
    LAKEHOUSE_DB_ALIAS,
    Avg,
    Change,
    ChangeFeed,
    Count,
    HistoryQuerySet,
    LegacyModel,
    Max,
    Model,
    ModelQuerySet,
    ObjectDoesNotExistError,
    Q,
    Sum,
    UniqueViolationError,
    atransaction,
    transaction,
)


class Genre(enum.Enum):
    NOVEL = "novel"
    ESSAY = "essay"


class Address(BaseModel):
    city: str
    street: str = ""


class Author(Model):
    name: str
    address: Address | None = None


class Book(Model):
    __unique__ = [("title",)]

    title: str
    price: float
    genre: Genre = Genre.NOVEL
    tags: list[str] = []
    published: datetime.date | None = None
    author: Author | None = None


def price_of(book: Book) -> float:
    return book.price


def stock() -> list[Book]:
    ann = Author(name="Ann", address=Address(city="Oslo")).save()
    assert_type(ann, Author)
    books = Book.bulk_save([Book(title=f"T{n}", price=float(n), author=ann) for n in range(5)])
    assert_type(books, list[Book])
    with transaction():
        books[0].price = 9.5
        books[0].save()
    return books


def read(books: list[Book]) -> float:
    assert_type(Book.objects, ModelQuerySet[Book])
    cheap = Book.objects.filter(price__lt=3).exclude(Q(title="T0") | Q(title="T1")).order_by("-price")[:2]
    assert_type(cheap, ModelQuerySet[Book])
    found = cheap.execute()
    assert_type(found, list[Book])
    one = Book.objects.get(title="T2").execute()
    assert_type(one, Book)
    maybe = Book.objects.get_or_none(title="none").execute()
    assert_type(maybe, Book | None)
    first = Book.objects.order_by("price").first().execute()
    assert_type(first, Book | None)
    count = Book.objects.count().execute()
    assert_type(count, int)
    assert count == len(books) and maybe is None and first is not None
    pk: int = one.pk
    version: int = one.object_version
    author = Book.objects.select_related("author").get(_address__object_id=pk).execute().author
    if author is not None:
        assert_type(author.load(), Author)
        assert author.name == "Ann"
    history = Book.objects.using(LAKEHOUSE_DB_ALIAS).filter(title="T0").execute()
    assert len(history) == 2 and version == 1
    try:
        Book.objects.get(title="none").execute()
    except ObjectDoesNotExistError as error:
        assert error.__notes__
    total = 0.0
    for book in found:
        if isinstance(book, LegacyModel):
            book = book.upgrade()
        total += price_of(book.refresh())
    return total


def report() -> dict[str, Any]:
    books = Book.objects.filter(price__gte=1)
    assert_type(books.exists().execute(), bool)
    rows = books.order_by("title").values("title", "price").execute()
    assert_type(rows, list[dict[str, Any]])
    pairs = books.values_list("title", "author__name").execute()
    assert_type(pairs, list[tuple[Any, ...]])
    titles = books.values_list("title", flat=True).execute()
    assert_type(titles, list[Any])
    totals = books.aggregate(n=Count(), total=Sum("price"), mean=Avg("price"), top=Max("title")).execute()
    assert_type(totals, dict[str, Any])
    by_genre = Book.objects.group_by("genre").aggregate(n=Count()).execute()
    assert_type(by_genre, list[dict[str, Any]])
    for book in Book.objects.filter(author__name="Ann").order_by("author__name", "price").iterator(chunk_size=2):
        assert_type(book, Book)
    changed = Book.objects.filter(title="T4").update(tags=["sale"])
    assert_type(changed, int)
    found, created = Book.objects.get_or_create({"price": 1.0}, title="T9")
    assert_type(found, Book)
    assert_type(created, bool)
    updated, _ = Book.objects.update_or_create({"price": 2.0}, title="T9")
    try:
        Book(title="T9", price=3.0).save()
    except UniqueViolationError as error:
        assert error.fields == ("title",)
    gone = Book.objects.filter(title="T9").delete()
    assert_type(gone, int)
    return {"rows": rows, "titles": titles, "totals": totals, "changed": changed, "price": updated.price, "gone": gone}


async def read_async() -> int:
    book = await Book.objects.get(title="T3").aexecute()
    assert_type(book, Book)
    async with atransaction():
        book.price += 1
        await book.asave()
    await book.arefresh()
    books = await Book.objects.filter(price__gte=1).aexecute()
    assert_type(books, list[Book])
    n = await Book.objects.count().aexecute()
    assert_type(n, int)
    none = await Book.objects.get_or_none(title="none").aexecute()
    assert_type(none, Book | None)
    assert_type(await Book.objects.exists().aexecute(), bool)
    assert_type(await Book.objects.values("title").aexecute(), list[dict[str, Any]])
    async for each in Book.objects.aiterator():
        assert_type(each, Book)
    assert_type(await Book.objects.filter(title="none").aupdate(price=0.0), int)
    made, _ = await Book.objects.aget_or_create(title="A1", defaults={"price": 1.0})
    assert_type(made, Book)
    assert_type(await Book.objects.filter(title="A1").adelete(), int)
    return n + book.object_version


def history() -> list[str]:
    book = Book(title="H1", price=1.0).save(note="first")
    before = datetime.datetime.now(datetime.UTC)
    book.price = 2.0
    book.save(note="dearer")
    versions = book.history()
    assert_type(versions, HistoryQuerySet[Book])
    newest = Book.objects.history(book.pk).order_by("-version")[:1].execute()
    assert_type(newest, list[Book])
    saved_at: datetime.datetime | None = newest[0].saved_at
    note: str | None = newest[0].note
    assert not newest[0].deleted and saved_at is not None and note == "dearer"
    then = Book.objects.as_of(before).filter(title="H1")
    assert_type(then, ModelQuerySet[Book])
    assert then.get().execute().price == 1.0 and then.count().execute() == 1
    changed = book.diff(1)
    assert_type(changed, dict[str, tuple[Any, Any]])
    assert Book.objects.diff(book.pk, 1, 2) == changed == {"price": (1.0, 2.0)}
    assert_type(book.revert(1, note="back"), Book)
    feed = Book.objects.changes()
    assert_type(feed, ChangeFeed[Book])
    entries = feed[:100].execute()
    assert_type(entries, list[Change])
    later = Book.objects.changes(since=entries[0].cursor).execute()
    removed = Book.objects.prune(keep_last=2)
    assert_type(removed, int)
    return [f"{c.object_id}.{c.object_version} {c.kind} {c.saved_at} {c.note}" for c in later]


async def follow_async(since: str) -> list[Change]:
    book = await Book.objects.get(title="H1").aexecute()
    assert_type(await book.arevert(2), Book)
    found: list[Change] = []
    async for change in Book.objects.follow(since=since, poll=0.01):
        found.append(change)
        break
    assert_type(await Book.objects.changes(since=since).aexecute(), list[Change])
    assert_type(await Book.objects.aprune(older_than=datetime.datetime.now(datetime.UTC)), int)
    return found


def main() -> tuple[float, int, dict[str, Any], list[str], list[Change]]:
    books = stock()
    total = read(books)
    lines = history()
    start = Book.objects.changes().execute()[-1].cursor
    return total, asyncio.run(read_async()), report(), lines, asyncio.run(follow_async(start))
