"""Listings of real SQLite and PostgreSQL tables, converted to object schemas."""

import sqlite3

from psycopg.rows import dict_row

from kestrum_models.inspect import postgres_column_row
from kestrum_models.utils.galvori import ExternalGalvori
from kestrum_utils.models.data_models.enums import CoreTypes
from kestrum_utils.utils.text import classify

SQLITE_TABLE = """
CREATE TABLE line_items (
    id INTEGER PRIMARY KEY,
    name VARCHAR(255) NOT NULL,
    body TEXT,
    data BLOB,
    price REAL DEFAULT 0.0,
    amount NUMERIC(10, 2),
    created TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
    day DATE,
    at TIME,
    stamp DATETIME NOT NULL DEFAULT '2020-01-01 00:00:00',
    active BOOLEAN NOT NULL DEFAULT 1,
    untyped,
    label TEXT DEFAULT 'none'
)
"""
SQLITE_TYPES = {
    "id": "INTEGER", "name": "STRING", "body": "STRING", "data": "BINARY", "price": "NUMBER",
    "amount": "STRING", "created": "DATETIME", "day": "DATE", "at": "DATETIME", "stamp": "DATETIME",
    "active": "BOOLEAN", "untyped": "STRING", "label": "STRING",
}

POSTGRES_TABLE = """
CREATE TABLE orders (
    id serial PRIMARY KEY,
    big_id bigserial,
    small smallint NOT NULL DEFAULT 0,
    qty integer,
    total numeric(10, 2) NOT NULL,
    ratio double precision,
    score real,
    title varchar(80) NOT NULL,
    code char(3),
    notes text DEFAULT 'n/a',
    payload bytea,
    paid boolean DEFAULT false,
    due date,
    created timestamp without time zone DEFAULT now(),
    updated timestamptz,
    at time,
    meta json,
    doc jsonb NOT NULL DEFAULT '{}'::jsonb,
    tags text[],
    counts int4[],
    ident uuid,
    span interval
)
"""
POSTGRES_TYPES = {
    "id": "INTEGER", "big_id": "INTEGER", "small": "INTEGER", "qty": "INTEGER", "total": "NUMBER",
    "ratio": "NUMBER", "score": "NUMBER", "title": "STRING", "code": "STRING", "notes": "STRING",
    "payload": "BINARY", "paid": "BOOLEAN", "due": "DATE", "created": "DATETIME", "updated": "DATETIME",
    "at": "DATETIME", "meta": "DICTIONARY", "doc": "DICTIONARY", "tags": "ARRAY", "counts": "ARRAY",
    "ident": "STRING", "span": "STRING",
}
POSTGRES_COLUMNS = (
    "SELECT column_name, data_type, udt_name, is_nullable, column_default FROM information_schema.columns"
    " WHERE table_schema = 'public' AND table_name = %s ORDER BY ordinal_position"
)


def sqlite_listing(conn, table):
    conn.row_factory = sqlite3.Row
    return [dict(row) for row in conn.execute(f"PRAGMA table_info({table})")]


def postgres_listing(conn, table):
    with conn.cursor(row_factory=dict_row) as cur:
        return cur.execute(POSTGRES_COLUMNS, (table,)).fetchall()


def test_sqlite_table():
    conn = sqlite3.connect(":memory:")
    conn.execute(SQLITE_TABLE)
    rows = sqlite_listing(conn, "line_items")
    data = ExternalGalvori().sqlite_schema_to_object_schema("line_items", rows, "local").to_dict()
    assert data["title"] == classify("line_items") and data["__connection__"] == "local"
    assert {name: p["type"] for name, p in data["properties"].items()} == {
        name: CoreTypes[member].value for name, member in SQLITE_TYPES.items()
    }
    assert list(data["properties"]) == list(SQLITE_TYPES)
    assert data["required"] == ["name", "stamp", "active"]
    assert data["__primary_key__"] == ["id"]
    defaults = {row["name"]: row["dflt_value"] for row in rows if row["dflt_value"] is not None}
    assert {n: p["default"] for n, p in data["properties"].items() if "default" in p} == defaults
    assert defaults["label"] == "'none'" and defaults["created"] == "CURRENT_TIMESTAMP"


def test_sqlite_composite_primary_key_in_row_order():
    conn = sqlite3.connect(":memory:")
    conn.execute(
        "CREATE TABLE memberships (user_id INTEGER NOT NULL, group_id INTEGER NOT NULL, role TEXT NOT NULL,"
        " note TEXT, PRIMARY KEY (group_id, user_id))"
    )
    rows = sqlite_listing(conn, "memberships")
    assert [row["pk"] for row in rows] == [2, 1, 0, 0]
    data = ExternalGalvori().sqlite_schema_to_object_schema("memberships", rows).to_dict()
    assert data["__primary_key__"] == ["user_id", "group_id"]
    assert data["required"] == ["role"]
    assert "__connection__" not in data


def test_postgres_table(pg_conn):
    pg_conn.execute(POSTGRES_TABLE)
    rows = postgres_listing(pg_conn, "orders")
    # As the database reports them, array columns are of data type ARRAY, which maps to a string...
    raw = ExternalGalvori().postgres_schema_to_object_schema("orders", rows).to_dict()
    assert raw["properties"]["tags"]["type"] == raw["properties"]["counts"]["type"] == CoreTypes.STRING.value
    # ... and in the bracketed element-type form to an array.
    converted = [postgres_column_row(row) for row in rows]
    assert [row["data_type"] for row in converted if row["column_name"] in ("tags", "counts")] == ["text[]", "int4[]"]
    data = ExternalGalvori().postgres_schema_to_object_schema("orders", converted, "warehouse").to_dict()
    assert {name: p["type"] for name, p in data["properties"].items()} == {
        name: CoreTypes[member].value for name, member in POSTGRES_TYPES.items()
    }
    assert data["required"] == ["id", "big_id", "small", "total", "title", "doc"]
    assert "__primary_key__" not in data and data["__connection__"] == "warehouse"
    defaults = {row["column_name"]: row["column_default"] for row in rows if row["column_default"] is not None}
    assert {n: p["default"] for n, p in data["properties"].items() if "default" in p} == defaults
    assert defaults["id"].startswith("nextval(") and defaults["doc"] == "'{}'::jsonb"
