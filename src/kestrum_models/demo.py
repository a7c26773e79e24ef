"""A short tour of kestrum_models on an embedded SQLite database.

Run with ``python -m kestrum_models.demo`` (``scripts/demo.sh`` sets everything up).

The tour creates a SQLite database, turns one of its tables into an object schema
and a model class, serves the table's rows to query sets (synchronously and as
coroutines), loads objects through references, and stores file data as base64.
"""

from __future__ import annotations

import asyncio
import base64
import json
import sqlite3
import tempfile
from pathlib import Path
from typing import Any

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.connections.historical.schema_version_manager import register_schema_version
from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_glue import Data
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.querysets.dunmere import QuerySet
from kestrum_models.querysets.executor import register_backend, unregister_backend
from kestrum_models.querysets.testing import MemoryBackend
from kestrum_models.utils.files import convert_data_to_base64
from kestrum_models.utils.galvori import ExternalGalvori
from kestrum_models.utils.lumiset import Lumiset
from kestrum_utils.models.data_models.reference import Reference
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode

PRODUCTS = [
    # id, name, price, in_stock, version
    (1, "kettle", 24.5, 1, "1"),
    (2, "teapot", 18.0, 1, "1"),
    (3, "toaster", 39.9, 0, "1"),
    (4, "mug", 6.5, 1, "1"),
    (2, "teapot", 21.0, 1, "2"),  # a newer version of product 2
]


def section(title: str) -> None:
    print(f"\n== {title}")


def create_tables(db: sqlite3.Connection) -> None:
    db.executescript(
        """
        CREATE TABLE products (
            id INTEGER NOT NULL,
            version TEXT NOT NULL,
            name VARCHAR(80) NOT NULL,
            price REAL NOT NULL,
            in_stock BOOLEAN DEFAULT 1,
            added TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
            PRIMARY KEY (id, version)
        );
        CREATE TABLE documents (id INTEGER PRIMARY KEY, name TEXT NOT NULL, version TEXT NOT NULL,
                                content BLOB NOT NULL);
        """
    )
    db.executemany(
        "INSERT INTO products (id, name, price, in_stock, version) VALUES (?, ?, ?, ?, ?)", PRODUCTS
    )


def model_from_table(db: sqlite3.Connection) -> type[Any]:
    section("Schema of the SQLite table 'products', and a model class made from it")
    db.row_factory = sqlite3.Row
    listing = [dict(row) for row in db.execute("PRAGMA table_info(products)")]
    db.row_factory = None
    schema = ExternalGalvori().sqlite_schema_to_object_schema("products", listing, connection_name="demo")
    print(json.dumps(schema.to_dict(), indent=2))
    model = schema.create_model()
    print(f"model class: {model.__name__}, fields: {', '.join(model.model_fields)}")
    return model


def rows_of(db: sqlite3.Connection, columns: list[str]) -> list[Data]:
    """The table's rows as row records, each with its address metadata."""
    versions: dict[int, list[str]] = {}
    for object_id, version in db.execute("SELECT id, version FROM products"):
        versions.setdefault(object_id, []).append(version)
    rows = []
    for values in db.execute(f"SELECT {', '.join(columns)} FROM products ORDER BY id, version"):
        fields = dict(zip(columns, values))
        metadata = {
            "object_id": json.dumps(fields["id"]),
            "object_version": fields["version"],
            "class_schema_reference": {"ref": {"object_version": "1"}},
        }
        rows.append(Data({**fields, "_metadata": json.dumps(metadata)}, {COMPATIBLE_CLASS_VERSIONS: ["1"]}))
    return rows


def query_products(model: type[Any]) -> None:
    section("Query sets (synchronous)")
    products = QuerySet(model)
    in_stock = products.filter(in_stock=True).latest()
    print("in stock, by price:", [(p.name, p.price) for p in in_stock.order_by("-price").execute()])
    print("cheapest two:", [p.name for p in in_stock.order_by("price")[0:2].execute()])
    print("how many in stock:", in_stock.count().execute())
    print("not a kettle:", [p.name for p in in_stock.exclude(Q(name="kettle")).execute()])
    print("one by id:", products.latest().get(id=3).execute())
    partial = in_stock.only(["name"]).order_by("name").execute()
    print(f"only names ({type(partial[0]).__name__} instances):", [p.name for p in partial])
    print("nothing matches:", products.get_or_none(name="spoon").execute())


async def query_products_async(model: type[Any]) -> None:
    section("Query sets (as coroutines)")
    products = QuerySet(model).latest()
    everything, cheap, count = await asyncio.gather(
        products.order_by("name").aexecute(),
        products.filter(price__lt=20).aexecute(),
        products.count().aexecute(),
    )
    print("all:", [p.name for p in everything])
    print("under 20:", [p.name for p in cheap])
    print("count:", count)


def load_references() -> None:
    section("Loading objects through references")
    for object_version in ("LATEST", "1"):
        reference = Reference(
            ref={"class_name": "Product", "class_version": "LATEST", "object_version": object_version,
                 "object_id": 2}
        )
        product = Jorvale(reference).load_reference()
        print(f"product 2, version {object_version}: {product.name} at {product.price}")


def store_documents(db: sqlite3.Connection) -> None:
    section("File data normalised to base64 and stored in SQLite")
    inputs = {
        "notes.txt": "Plain text becomes base64.",
        "already.b64": base64.b64encode(b"already encoded").decode(),
        "image.bin": bytes(range(12)),
    }
    for name, data in inputs.items():
        encoded = convert_data_to_base64(data)
        db.execute("INSERT INTO documents (name, version, content) VALUES (?, ?, ?)", (name, Lumiset("1.0"), encoded))
        print(f"{name:12} {data!r:40.40} -> {encoded.decode()}")
    for name, version, content in db.execute("SELECT name, version, content FROM documents ORDER BY id"):
        print(f"read back {name:12} v{Lumiset(version)}: {base64.b64decode(content)!r}")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "demo.sqlite3"
        print(f"SQLite database: {path}")
        db = sqlite3.connect(path)
        try:
            create_tables(db)
            model = model_from_table(db)
            register_schema_version(model.__name__, "1")
            rows = rows_of(db, list(model.model_fields))
            # The default database serves the latest versions, the lakehouse every version.
            latest = [r for r in rows if not any(
                o.data["id"] == r.data["id"] and o.data["version"] > r.data["version"] for o in rows)]
            register_backend(DEFAULT_DB_ALIAS, MemoryBackend(latest))
            register_backend(LAKEHOUSE_DB_ALIAS, MemoryBackend(rows))
            try:
                query_products(model)
                with mode("async"):
                    asyncio.run(query_products_async(model))
                load_references()
            finally:
                unregister_backend(DEFAULT_DB_ALIAS)
                unregister_backend(LAKEHOUSE_DB_ALIAS)
            store_documents(db)
            db.commit()
        finally:
            db.close()


if __name__ == "__main__":
    main()
