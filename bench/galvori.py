"""Benchmark of kestrum_models.utils.galvori: 200-column listings, native vs plain Python.

    .venv/bin/python bench/galvori.py [--columns N] [--repeat R]

Converts a 200-column SQLite ``PRAGMA table_info`` listing (read from a real
in-memory SQLite table) and a 200-column PostgreSQL ``information_schema.columns``
listing with the native ExternalGalvori and with the same conversion written in
plain Python (below), in the same run. ``ObjectSchema`` is replaced in both by a
recording double, so the schema's own validation is not measured. Also times the
two type mappers alone. Prints per-call times (minimum of the repeats) and ratios.
"""

from __future__ import annotations

import argparse
import sqlite3
import timeit
from collections.abc import Callable
from typing import Any

from kestrum_models.utils import galvori
from kestrum_utils.models.data_models.enums import CoreTypes
from kestrum_utils.utils.text import classify

ObjectSchema: Any = None  # the plain-Python version's ObjectSchema; set to the double while measuring

_SQLITE_TEXT_TYPES = ("CHAR", "CLOB", "TEXT")
_SQLITE_BLOB_TYPES = ("BLOB", "BINARY")
_SQLITE_NUMBER_TYPES = ("REAL", "FLOA", "DOUB")
_POSTGRES_INTEGER_TYPES = ("smallint", "integer", "bigint", "serial", "bigserial", "smallserial")
_POSTGRES_NUMBER_TYPES = ("real", "double precision", "numeric", "decimal")
_POSTGRES_TEXT_TYPES = ("char", "varchar", "text")
_POSTGRES_TIME_TYPES = ("timestamp", "time")
_POSTGRES_JSON_TYPES = ("json", "jsonb")


class PythonGalvori:
    """The same conversion in plain Python (argument type checks left out)."""

    @staticmethod
    def sqlite_type_to_core_type(sqlite_type: str) -> str:
        sqlite_type_upper = sqlite_type.upper()
        if "INT" in sqlite_type_upper:
            return CoreTypes.INTEGER.value
        if any(t in sqlite_type_upper for t in _SQLITE_TEXT_TYPES):
            return CoreTypes.STRING.value
        if any(t in sqlite_type_upper for t in _SQLITE_BLOB_TYPES):
            return CoreTypes.BINARY.value
        if any(t in sqlite_type_upper for t in _SQLITE_NUMBER_TYPES):
            return CoreTypes.NUMBER.value
        if "DATE" in sqlite_type_upper or "TIME" in sqlite_type_upper:
            if "TIME" in sqlite_type_upper and "DATE" in sqlite_type_upper:
                return CoreTypes.DATETIME.value
            if "STAMP" in sqlite_type_upper:
                return CoreTypes.DATETIME.value
            if "DATE" in sqlite_type_upper:
                return CoreTypes.DATE.value
            return CoreTypes.DATETIME.value
        if "BOOL" in sqlite_type_upper:
            return CoreTypes.BOOLEAN.value
        return CoreTypes.STRING.value

    @staticmethod
    def postgres_type_to_core_type(postgres_type: str) -> str:
        postgres_type_lower = postgres_type.lower()
        if postgres_type_lower in _POSTGRES_INTEGER_TYPES:
            return CoreTypes.INTEGER.value
        if postgres_type_lower in _POSTGRES_NUMBER_TYPES:
            return CoreTypes.NUMBER.value
        if postgres_type_lower.endswith("[]"):
            return CoreTypes.ARRAY.value
        if any(t in postgres_type_lower for t in _POSTGRES_TEXT_TYPES):
            return CoreTypes.STRING.value
        if "bytea" in postgres_type_lower:
            return CoreTypes.BINARY.value
        if postgres_type_lower == "boolean":
            return CoreTypes.BOOLEAN.value
        if postgres_type_lower == "date":
            return CoreTypes.DATE.value
        if any(t in postgres_type_lower for t in _POSTGRES_TIME_TYPES):
            return CoreTypes.DATETIME.value
        if any(t in postgres_type_lower for t in _POSTGRES_JSON_TYPES):
            return CoreTypes.DICTIONARY.value
        return CoreTypes.STRING.value

    def sqlite_schema_to_object_schema(
        self, table_name: str, columns: list[dict[str, Any]], connection_name: str | None = None
    ) -> Any:
        properties = {}
        required_fields = []
        pk_fields = []
        for column in columns:
            column_name = column["name"]
            column_type = column["type"]
            is_nullable = column["notnull"] == 0
            is_pk = column["pk"] > 0
            default_value = column.get("dflt_value")
            core_type = self.sqlite_type_to_core_type(column_type)
            prop_def = {"type": core_type, "title": column_name}
            if default_value is not None:
                prop_def["default"] = default_value
            properties[column_name] = prop_def
            if not is_nullable and not is_pk:
                required_fields.append(column_name)
            if is_pk:
                pk_fields.append(column_name)
        schema_data = {
            "title": classify(table_name),
            "__table_name__": table_name,
            "properties": properties,
            "required": required_fields,
        }
        if pk_fields:
            schema_data["__primary_key__"] = pk_fields
        if connection_name:
            schema_data["__connection__"] = connection_name
        return ObjectSchema(**schema_data)

    def postgres_schema_to_object_schema(
        self, table_name: str, columns: list[dict[str, Any]], connection_name: str | None = None
    ) -> Any:
        properties = {}
        required_fields = []
        for column in columns:
            column_name = column["column_name"]
            data_type = column["data_type"]
            is_nullable = column.get("is_nullable", "YES") == "YES"
            default_value = column.get("column_default")
            core_type = self.postgres_type_to_core_type(data_type)
            prop_def = {"type": core_type, "title": column_name}
            if default_value is not None:
                prop_def["default"] = default_value
            properties[column_name] = prop_def
            if not is_nullable:
                required_fields.append(column_name)
        schema_data = {
            "title": classify(table_name),
            "__table_name__": table_name,
            "properties": properties,
            "required": required_fields,
        }
        if connection_name:
            schema_data["__connection__"] = connection_name
        return ObjectSchema(**schema_data)


class RecordingObjectSchema:
    """Stands in for ObjectSchema: keeps the keyword arguments, validates nothing."""

    calls = 0

    def __init__(self, **schema_data: Any) -> None:
        RecordingObjectSchema.calls += 1
        self.schema_data = schema_data


SQLITE_TYPES = ["INTEGER", "VARCHAR(255)", "TEXT", "BLOB", "REAL", "NUMERIC(10,2)", "TIMESTAMP", "DATE",
                "BOOLEAN", "DOUBLE PRECISION", "DATETIME", "BIGINT", "CHARACTER(20)", "FLOAT", "TIME", ""]
POSTGRES_TYPES = ["integer", "bigint", "character varying", "text", "numeric", "double precision", "boolean",
                  "date", "timestamp without time zone", "timestamp with time zone", "jsonb", "json", "bytea",
                  "uuid", "text[]", "int4[]", "smallint", "interval", "real", "character"]


def sqlite_listing(n: int) -> list[dict[str, Any]]:
    """PRAGMA table_info rows of a real n-column table."""
    columns = []
    for i in range(n):
        declared = f"c{i} {SQLITE_TYPES[i % len(SQLITE_TYPES)]}"
        if i == 0:
            declared += " PRIMARY KEY"
        elif i % 3 == 0:
            declared += " NOT NULL"
        if i % 5 == 0 and i:
            declared += " DEFAULT 0"
        columns.append(declared)
    conn = sqlite3.connect(":memory:")
    conn.execute(f"CREATE TABLE wide_table ({', '.join(columns)})")
    conn.row_factory = sqlite3.Row
    rows = [dict(row) for row in conn.execute("PRAGMA table_info(wide_table)")]
    conn.close()
    return rows


def postgres_listing(n: int) -> list[dict[str, Any]]:
    """information_schema.columns rows as a PostgreSQL server reports them for an n-column table."""
    return [
        {
            "column_name": f"c{i}",
            "data_type": POSTGRES_TYPES[i % len(POSTGRES_TYPES)],
            "is_nullable": "NO" if i % 3 == 0 else "YES",
            "column_default": "nextval('wide_table_c0_seq'::regclass)" if i == 0 else ("0" if i % 5 == 0 else None),
        }
        for i in range(n)
    ]


def per_call(fn: Callable[[], Any], repeat: int) -> float:
    """Minimum time of one call over `repeat` timed batches, in seconds."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(number, 10)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def check_same_results(native: Any, python: PythonGalvori, sqlite_rows: list, postgres_rows: list) -> None:
    pairs = [
        (native.sqlite_schema_to_object_schema("wide_table", sqlite_rows, "main"),
         python.sqlite_schema_to_object_schema("wide_table", sqlite_rows, "main")),
        (native.postgres_schema_to_object_schema("wide_table", postgres_rows, "main"),
         python.postgres_schema_to_object_schema("wide_table", postgres_rows, "main")),
    ]
    for a, b in pairs:
        if a.schema_data != b.schema_data or list(a.schema_data) != list(b.schema_data):
            raise SystemExit("native and plain-Python conversions differ")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--columns", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    sqlite_rows = sqlite_listing(args.columns)
    postgres_rows = postgres_listing(args.columns)
    native, python = galvori.ExternalGalvori(), PythonGalvori()

    global ObjectSchema
    saved = galvori.ObjectSchema
    galvori.ObjectSchema = RecordingObjectSchema
    ObjectSchema = RecordingObjectSchema
    try:
        check_same_results(native, python, sqlite_rows, postgres_rows)
        cases = [
            (f"SQLite listing, {args.columns} columns",
             lambda: native.sqlite_schema_to_object_schema("wide_table", sqlite_rows, "main"),
             lambda: python.sqlite_schema_to_object_schema("wide_table", sqlite_rows, "main")),
            (f"PostgreSQL listing, {args.columns} columns",
             lambda: native.postgres_schema_to_object_schema("wide_table", postgres_rows, "main"),
             lambda: python.postgres_schema_to_object_schema("wide_table", postgres_rows, "main")),
            ("sqlite_type_to_core_type, all sample types",
             lambda: [native.sqlite_type_to_core_type(t) for t in SQLITE_TYPES],
             lambda: [python.sqlite_type_to_core_type(t) for t in SQLITE_TYPES]),
            ("postgres_type_to_core_type, all sample types",
             lambda: [native.postgres_type_to_core_type(t) for t in POSTGRES_TYPES],
             lambda: [python.postgres_type_to_core_type(t) for t in POSTGRES_TYPES]),
        ]
        results = [(label, per_call(fast, args.repeat), per_call(slow, args.repeat)) for label, fast, slow in cases]
    finally:
        galvori.ObjectSchema = saved
        ObjectSchema = None

    width = max(len(label) for label, _, _ in results)
    print(f"{'case':<{width}}  {'native':>12}  {'python':>12}  {'ratio':>7}")
    for label, fast, slow in results:
        print(f"{label:<{width}}  {fast * 1e6:>9.2f} us  {slow * 1e6:>9.2f} us  {slow / fast:>6.2f}x")


if __name__ == "__main__":
    main()
