"""A quickstart: storing and querying versioned objects on the embedded SQLite default.

Run with ``python -m kestrum_models.demo`` (``scripts/demo.sh`` sets everything up).
It works in a temporary directory, where the store's default database file
``kestrum.sqlite3`` appears on the first save; ``--database URL`` runs the same tour
on another database (``sqlite:///path`` or ``postgresql://user@host/dbname``).

The tour defines two related model classes, bulk-saves a few hundred objects, saves
second versions of some, changes a model's fields (older rows become legacy), queries
the store synchronously and as coroutines, follows the change feed in one task while
another saves, travels back in time, compares and reverts versions, loads a
historical version through a reference, and turns one of the store's tables back
into an object schema.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import os
import random
import sqlite3
import tempfile
from collections.abc import Iterable
from typing import Any

from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_models.querysets.errors import ObjectDoesNotExistError
from kestrum_models.storage import close_databases, configure_databases, transaction
from kestrum_models.utils.files import convert_data_to_base64
from kestrum_models.utils.galvori import ExternalGalvori
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode

GENRES = ["novel", "poetry", "history", "science", "travel"]
WORDS = ["Silent", "River", "Glass", "Winter", "Harbour", "Lantern", "Orchard", "Tide", "Copper", "Meadow"]


class Author(Model):
    name: str
    born: int | None = None


class Book(Model):
    title: str
    genre: str
    price: float
    pages: int
    author: Author | None = None
    cover: bytes | None = None


def section(title: str) -> None:
    print(f"\n== {title}")


def show(label: str, books: Iterable[Any]) -> None:
    print(f"{label}:")
    for book in books:
        print(f"    {describe(book)}")


def describe(book: Any) -> str:
    address = book.metadata or {}
    if isinstance(book, LegacyModel):
        kind = f"legacy {book.original_class.__name__} of class version {address.get('class_version')}"
    else:
        kind = type(book).__name__
    shown = book.model_dump(exclude={"author", "cover", "original_class"})
    fields = ", ".join(f"{name}={value!r}" for name, value in shown.items())
    return f"{kind} #{address.get('object_id')} v{address.get('object_version')} ({fields})"


def fill_store(rng: random.Random) -> list[Book]:
    section("Bulk save: 20 authors and 300 books, each bulk save one transaction")
    authors = Author.bulk_save([Author(name=f"Author {n}", born=1900 + rng.randrange(120)) for n in range(20)])
    books = Book.bulk_save(
        [
            Book(
                title=f"The {rng.choice(WORDS)} {rng.choice(WORDS)} {n}",
                genre=rng.choice(GENRES),
                price=round(rng.uniform(5, 60), 2),
                pages=rng.randrange(80, 900),
                author=rng.choice(authors),
                # File data is stored normalised to base64.
                cover=convert_data_to_base64(f"cover of book {n}"),
            )
            for n in range(300)
        ]
    )
    print(f"saved {Author.objects.count().execute()} authors and {Book.objects.count().execute()} books")
    print("first book:", describe(books[0]))

    section("Second versions: a price rise for every tenth book, and one book saved on its own")
    with transaction():  # several writes, one transaction
        for book in books[::10]:
            book.price = round(book.price * 1.1, 2)
        Book.bulk_save(books[::10])
        books[1].title += " (revised)"
        books[1].save()
    print("first book now:", describe(books[0]))
    history = Book.objects.using(LAKEHOUSE_DB_ALIAS).filter(_address__object_id=books[0].metadata["object_id"])
    show("its history (every version, read through the lakehouse alias)", history.order_by("price").execute())
    return books


def query_sync(first: Book) -> None:
    section("Queries")
    cheap_poetry = Book.objects.filter(genre="poetry", price__lt=15).order_by("price")
    show("poetry under 15, cheapest first (first three)", cheap_poetry[0:3].execute())
    print("how many:", cheap_poetry.count().execute())
    not_novels = Book.objects.exclude(Q(genre="novel") | Q(pages__lt=200)).order_by("-pages")
    show("neither novels nor under 200 pages, longest first (two)", not_novels[0:2].execute())
    show(
        "titles containing 'river' (any case) or starting with 'The Glass'",
        Book.objects.filter(Q(title__icontains="river") | Q(title__startswith="The Glass")).order_by("title")[0:3].execute(),
    )
    titles = Book.objects.only(["title"]).order_by("title")[10:13].execute()
    print("only titles, rows 10 to 12 (partial instances):", [book.title for book in titles])
    print("get one by id:", describe(Book.objects.get(_address__object_id=first.metadata["object_id"]).execute()))
    print("first by price:", describe(Book.objects.order_by("price").first().execute()))
    try:
        Book.objects.get(title="no such book").execute()
    except ObjectDoesNotExistError as error:
        print("a get that finds nothing:", error)
    print("get_or_none:", Book.objects.get_or_none(title="no such book").execute())
    for book in Book.objects.select_related("author").filter(genre="travel").order_by("title")[0:3].execute():
        print(f"    {book.title!r} by {book.author.name} (born {book.author.born})  [select_related]")
    try:
        Book.objects.filter(colour="red").execute()
    except Exception as error:
        print(f"an unknown field is refused before any SQL is built: {type(error).__name__}: {error}")


async def query_async() -> None:
    section("The same store from coroutines")
    novels, count, dearest = await asyncio.gather(
        Book.objects.filter(genre="novel").order_by("title")[0:3].aexecute(),
        Book.objects.filter(genre="history").count().aexecute(),
        Book.objects.order_by("-price").first().aexecute(),
    )
    print("three novels:", [book.title for book in novels])
    print("history books:", count)
    print("dearest:", describe(dearest))
    extra = await Book(title="A Late Arrival", genre="travel", price=9.5, pages=120).asave()
    print("saved from a coroutine:", describe(extra))
    await extra.adelete()
    print("deleted again; travel books now:", await Book.objects.filter(genre="travel").count().aexecute())


async def follow_the_feed() -> None:
    section("The change feed: one task follows it while another saves")
    start = (await Book.objects.changes().aexecute())[-1].cursor
    seen: list[str] = []

    async def follower() -> None:
        async for change in Book.objects.follow(since=start, poll=0.05):
            seen.append(f"#{change.object_id} v{change.object_version} {change.kind}")
            print(f"    follower: {seen[-1]} ({change.note})")
            if len(seen) == 4:
                return

    async def writer() -> None:
        for n in range(3):
            await Book(title=f"Serial {n}", genre="novel", price=10.0 + n, pages=100).asave(note=f"serial {n}")
            await asyncio.sleep(0.05)
        last = await Book.objects.get(title="Serial 0").aexecute()
        await last.adelete(note="withdrawn")

    await asyncio.wait_for(asyncio.gather(follower(), writer()), 60)
    print(f"the follower saw {len(seen)} changes, in commit order")


def travel_in_time(book: Book) -> None:
    section("Time travel, diffs and reverts")
    before = datetime.datetime.now(datetime.UTC)
    book.price, book.pages = 99.0, book.pages + 1
    book.save(note="a price error")
    then = Book.objects.as_of(before).get(_address__object_id=book.pk).execute()
    print(f"price now {book.price}, as of {before:%H:%M:%S.%f}: {then.price}")
    print("novels as of then:", Book.objects.as_of(before).filter(genre="novel").count().execute(),
          "now:", Book.objects.filter(genre="novel").count().execute())
    print("what changed since version 1:", book.diff(1))
    book.revert(book.object_version - 1, note="undo the price error")
    for version in book.history().order_by("-version")[:3].execute():
        print(f"    v{version.object_version} price={version.price} note={version.note!r}")


def load_history(book: Any) -> None:
    section("References: the latest object and any earlier version")
    latest = Jorvale(book.to_reference()).load_reference()
    print("latest:   ", describe(latest))
    first = book.to_reference(latest=False)
    first.ref.object_version = "1"
    print("version 1:", describe(Jorvale(first).load_reference()))


def change_the_model() -> type[Model]:
    section("A model change: Book gets a required 'isbn' and loses 'cover'")
    global Book

    class Book(Model):  # type: ignore[no-redef]
        title: str
        genre: str
        price: float
        pages: int
        isbn: str
        author: Author | None = None

    new = Book(title="Fresh Ink", genre="novel", price=12.0, pages=210, isbn="978-0-00-000000-2").save()
    print("saved under the new schema:", describe(new), f"class version {new.metadata['class_version']}")
    found = Book.objects.filter(genre="novel").order_by("-price")[0:2].execute()
    show("rows saved before the change come back as legacy objects", found)
    print("and the new one as a Book:", describe(Book.objects.get(isbn="978-0-00-000000-2").execute()))
    return Book


def inspect_table(url: str) -> None:
    if not url.startswith("sqlite:///"):
        return
    section("The store's 'author' table (the latest authors), turned back into an object schema")
    with sqlite3.connect(url.removeprefix("sqlite:///")) as db:
        db.row_factory = sqlite3.Row
        listing = [dict(row) for row in db.execute("SELECT * FROM pragma_table_info('author')")]
    schema = ExternalGalvori().sqlite_schema_to_object_schema("author", listing, connection_name="demo")
    print(", ".join(f"{name}: {prop.get('type', prop)}" for name, prop in schema.to_dict()["properties"].items()))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--database", help="database URL (default: kestrum.sqlite3 in a temporary directory)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        if args.database:
            configure_databases(args.database)
        url = args.database or f"sqlite:///{tmp}/kestrum.sqlite3"
        print(f"store: {url}")
        try:
            books = fill_store(random.Random(7))
            query_sync(books[0])
            with mode("async"):
                asyncio.run(query_async())
                asyncio.run(follow_the_feed())
            travel_in_time(books[5])
            load_history(books[0])
            change_the_model()
            inspect_table(url)
        finally:
            close_databases()


if __name__ == "__main__":
    main()
