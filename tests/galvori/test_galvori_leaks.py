"""Reference counts and memory stay put over many conversions, failed ones included."""

import sys
import tracemalloc

import pytest

from kestrum_models.utils import galvori
from kestrum_models.utils.galvori import ExternalGalvori


@pytest.fixture(autouse=True)
def schema_double(monkeypatch):
    monkeypatch.setattr(galvori, "ObjectSchema", lambda **data: data)


def call_quietly(function, *args):
    try:
        function(*args)
    except (TypeError, KeyError, AttributeError):
        pass


def workload():
    """Inputs and the calls over them, failing ones included."""
    table, connection = "leak_table" + "s" * 3, "conn" + "x" * 3
    name, sqlite_type, pg_type, nonascii = "col" + "1" * 3, "VARCHAR" + "(9)", "jsonb" + "[]", "stra\u00dfe"
    sqlite_rows = [{"name": name, "type": sqlite_type, "notnull": 1, "pk": 0, "dflt_value": "'x'"},
                   {"name": "id", "type": nonascii, "notnull": 0, "pk": 1}]
    postgres_rows = [{"column_name": name, "data_type": pg_type, "is_nullable": "NO", "column_default": "1"}]
    generic_rows = [{"name": name, "type": sqlite_type, "nullable": False, "primary_key": True, "default": 0}]
    bad_rows = [{"name": name}]
    g = ExternalGalvori()

    def run():
        g.sqlite_schema_to_object_schema(table, sqlite_rows, connection)
        g.postgres_schema_to_object_schema(table, postgres_rows, connection)
        g.generic_schema_to_object_schema(table, generic_rows, connection)
        g.generic_schema_to_object_schema(table, generic_rows, None, g.postgres_type_to_core_type)
        g.sqlite_type_to_core_type(nonascii)
        g.postgres_type_to_core_type("\u0130" + pg_type)
        call_quietly(g.sqlite_schema_to_object_schema, table, bad_rows)
        call_quietly(g.postgres_schema_to_object_schema, table, tuple(postgres_rows))
        call_quietly(g.generic_schema_to_object_schema, table, [sqlite_type])
        call_quietly(g.sqlite_type_to_core_type, b"INT")

    inputs = [table, connection, name, sqlite_type, pg_type, nonascii, sqlite_rows, postgres_rows, generic_rows,
              bad_rows, *sqlite_rows, *postgres_rows, *generic_rows]
    return run, inputs


def test_reference_counts_of_inputs_unchanged():
    run, inputs = workload()
    run()
    before = [sys.getrefcount(obj) for obj in inputs]
    for _ in range(5000):
        run()
    assert [sys.getrefcount(obj) for obj in inputs] == before


def test_memory_growth_is_bounded():
    run, _ = workload()
    for _ in range(200):
        run()
    tracemalloc.start()
    try:
        for _ in range(200):
            run()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(20000):
            run()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024
