"""Table schema conversion: SQLite, PostgreSQL and generic listings to ObjectSchema data."""

import pytest

from kestrum_models.utils import galvori
from kestrum_models.utils.galvori import ExternalGalvori
from kestrum_utils.models.data_models.enums import CoreTypes
from kestrum_utils.utils.text import classify

INTEGER, STRING, NUMBER = CoreTypes.INTEGER.value, CoreTypes.STRING.value, CoreTypes.NUMBER.value
METHODS = ["sqlite_schema_to_object_schema", "postgres_schema_to_object_schema", "generic_schema_to_object_schema"]


@pytest.fixture
def calls(monkeypatch):
    """Replaces ObjectSchema by a double that returns the keyword arguments it got."""
    seen = []

    def object_schema(*args, **kwargs):
        seen.append(args)
        return kwargs

    monkeypatch.setattr(galvori, "ObjectSchema", object_schema)
    return seen


def sqlite_row(name, type_="TEXT", notnull=0, pk=0, dflt_value=None):
    return {"cid": 0, "name": name, "type": type_, "notnull": notnull, "dflt_value": dflt_value, "pk": pk}


def test_worked_example_builds_a_real_object_schema():
    rows = [sqlite_row("id", "INTEGER", 1, 1), sqlite_row("username", "TEXT", 1), sqlite_row("email", "TEXT")]
    schema = ExternalGalvori().sqlite_schema_to_object_schema("users", rows)
    assert schema.to_dict() == {
        "title": classify("users"),
        "__table_name__": "users",
        "properties": {
            "id": {"type": INTEGER, "title": "id"},
            "username": {"type": STRING, "title": "username"},
            "email": {"type": STRING, "title": "email"},
        },
        "required": ["username"],
        "__primary_key__": ["id"],
    }


@pytest.mark.parametrize(
    ("notnull", "pk", "required", "primary"),
    [
        (0, 0, False, False),
        (False, 0, False, False),
        (0.0, 0, False, False),
        (1, 0, True, False),
        (True, 0, True, False),
        ("0", 0, True, False),  # text never equals the integer 0
        (1, 1, False, True),  # a NOT NULL primary key is never required
        (0, 2, False, True),
        (0, -1, False, False),
    ],
)
def test_sqlite_nullability_and_primary_key(calls, notnull, pk, required, primary):
    data = ExternalGalvori().sqlite_schema_to_object_schema("t", [sqlite_row("c", notnull=notnull, pk=pk)])
    assert data["required"] == (["c"] if required else [])
    assert data.get("__primary_key__") == (["c"] if primary else None)


def test_sqlite_composite_key_follows_row_order(calls):
    rows = [sqlite_row("b", pk=2), sqlite_row("x"), sqlite_row("a", pk=1)]
    assert ExternalGalvori().sqlite_schema_to_object_schema("t", rows)["__primary_key__"] == ["b", "a"]


@pytest.mark.parametrize("default", [None, "'0'", "CURRENT_TIMESTAMP", "", 0])
def test_defaults_are_kept_unchanged(calls, default):
    sqlite = ExternalGalvori().sqlite_schema_to_object_schema("t", [sqlite_row("c", dflt_value=default)])
    postgres = ExternalGalvori().postgres_schema_to_object_schema(
        "t", [{"column_name": "c", "data_type": "text", "column_default": default}]
    )
    generic = ExternalGalvori().generic_schema_to_object_schema("t", [{"name": "c", "type": "TEXT", "default": default}])
    expected = {"type": STRING, "title": "c"} | ({} if default is None else {"default": default})
    for data in (sqlite, postgres, generic):
        assert list(data["properties"]["c"].items()) == list(expected.items())
        if default is not None:
            assert data["properties"]["c"]["default"] is default


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("connection", "present"), [(None, False), ("", False), ("main", True)])
def test_schema_data_keys_and_connection(calls, method, connection, present):
    data = getattr(ExternalGalvori(), method)("user_accounts", [], connection)
    assert calls == [()]  # keywords only
    expected = ["title", "__table_name__", "properties", "required"] + (["__connection__"] if present else [])
    assert list(data) == expected
    assert (data["title"], data["__table_name__"], data["properties"], data["required"]) == (
        classify("user_accounts"), "user_accounts", {}, [])
    assert data.get("__connection__") == (connection if present else None)


@pytest.mark.parametrize(
    ("row", "required"),
    [
        ({"is_nullable": "NO"}, True),
        ({}, False),
        ({"is_nullable": "YES"}, False),
        ({"is_nullable": "yes"}, True),
        ({"is_nullable": None}, True),
    ],
)
def test_postgres_nullability(calls, row, required):
    rows = [{"column_name": "id", "data_type": "integer", **row}]
    data = ExternalGalvori().postgres_schema_to_object_schema("t", rows, "pg")
    assert data["required"] == (["id"] if required else [])
    assert "__primary_key__" not in data
    assert list(data) == ["title", "__table_name__", "properties", "required", "__connection__"]


@pytest.mark.parametrize(
    ("flags", "required", "primary"),
    [
        ({}, False, False),
        ({"nullable": False}, True, False),
        ({"nullable": True, "required": True}, True, False),
        ({"primary_key": True}, False, True),
        ({"primary_key": True, "nullable": False}, True, True),
        ({"nullable": 0, "required": "", "primary_key": None}, True, False),
        ({"nullable": "", "required": 1, "primary_key": "yes"}, True, True),
        ({"nullable": None}, True, False),
    ],
)
def test_generic_flags_are_tested_for_truth(calls, flags, required, primary):
    data = ExternalGalvori().generic_schema_to_object_schema("t", [{"name": "c", "type": "INT", **flags}])
    assert data["properties"]["c"] == {"type": INTEGER, "title": "c"}
    assert data["required"] == (["c"] if required else [])
    assert data.get("__primary_key__") == (["c"] if primary else None)


@pytest.mark.parametrize(
    ("converter", "expected"),
    [
        (ExternalGalvori.postgres_type_to_core_type, STRING),
        (ExternalGalvori.sqlite_type_to_core_type, INTEGER),
        (lambda t: 42, 42),
        (str.upper, "INT4"),
    ],
)
def test_generic_type_converter(calls, converter, expected):
    data = ExternalGalvori().generic_schema_to_object_schema("t", [{"name": "c", "type": "int4"}], None, converter)
    assert data["properties"]["c"]["type"] == expected


def test_duplicate_names_keep_first_position_and_later_definition(calls):
    rows = [sqlite_row("a", "TEXT", 1), sqlite_row("b"), sqlite_row("a", "REAL", 1, dflt_value="1.5")]
    data = ExternalGalvori().sqlite_schema_to_object_schema("t", rows)
    assert list(data["properties"]) == ["a", "b"]
    assert data["properties"]["a"] == {"type": NUMBER, "title": "a", "default": "1.5"}
    assert data["required"] == ["a", "a"]


class UpperMapper(ExternalGalvori):
    """Maps every type to its own text, to show which mapping a conversion used."""

    @staticmethod
    def sqlite_type_to_core_type(sqlite_type):
        return f"sqlite:{sqlite_type}"

    def postgres_type_to_core_type(self, postgres_type):
        return f"postgres:{postgres_type}"


@pytest.mark.parametrize(
    ("method", "row", "expected"),
    [
        ("sqlite_schema_to_object_schema", sqlite_row("c", "INT"), "sqlite:INT"),
        ("postgres_schema_to_object_schema", {"column_name": "c", "data_type": "int4"}, "postgres:int4"),
        ("generic_schema_to_object_schema", {"name": "c", "type": "BLOB"}, "sqlite:BLOB"),
    ],
)
def test_subclass_mapper_is_used(calls, method, row, expected):
    assert getattr(UpperMapper(), method)("t", [row])["properties"]["c"]["type"] == expected


def test_mapper_looked_up_on_the_instance_for_every_row(calls):
    galvori_ = ExternalGalvori()
    seen = []

    def mapper(type_text):
        seen.append(type_text)
        galvori_.sqlite_type_to_core_type = lambda t: f"second:{t}"
        return f"first:{type_text}"

    galvori_.sqlite_type_to_core_type = mapper
    data = galvori_.sqlite_schema_to_object_schema("t", [sqlite_row("a", "X"), sqlite_row("b", "Y")])
    assert seen == ["X"]
    assert [p["type"] for p in data["properties"].values()] == ["first:X", "second:Y"]


def test_classify_looked_up_at_call_time(calls, monkeypatch):
    monkeypatch.setattr(galvori, "classify", lambda name: f"<{name}>")
    assert ExternalGalvori().generic_schema_to_object_schema("t", [])["title"] == "<t>"


class Row:
    """A mapping that is not a dict: read through __getitem__ and get only."""

    def __init__(self, **data):
        self.data, self.gets = data, []

    def __getitem__(self, key):
        return self.data[key]

    def get(self, key, *default):
        self.gets.append((key, *default))
        return self.data.get(key, *default)


class ForcedGet(dict):
    def get(self, key, default=None):
        return "NO" if key == "is_nullable" else super().get(key, default)


def test_rows_are_read_through_their_own_get(calls):
    sqlite, postgres, generic = Row(**sqlite_row("a")), Row(column_name="a", data_type="text"), Row(name="a", type="X")
    galvori_ = ExternalGalvori()
    galvori_.sqlite_schema_to_object_schema("t", [sqlite])
    galvori_.postgres_schema_to_object_schema("t", [postgres])
    galvori_.generic_schema_to_object_schema("t", [generic])
    assert sqlite.gets == [("dflt_value",)]
    assert postgres.gets == [("is_nullable", "YES"), ("column_default",)]
    assert generic.gets == [("nullable", True), ("required", False), ("primary_key", False), ("default",)]
    forced = ForcedGet(column_name="a", data_type="text", is_nullable="YES")
    assert galvori_.postgres_schema_to_object_schema("t", [forced])["required"] == ["a"]


@pytest.mark.parametrize(
    ("method", "row", "error", "text"),
    [
        ("sqlite_schema_to_object_schema", {"name": "a", "notnull": 0}, KeyError, "'type'"),
        ("sqlite_schema_to_object_schema", {"type": "a", "pk": 0}, KeyError, "'name'"),
        ("sqlite_schema_to_object_schema", {"name": "a", "type": "T", "pk": 0}, KeyError, "'notnull'"),
        ("sqlite_schema_to_object_schema", {"name": "a", "type": "T", "notnull": 0}, KeyError, "'pk'"),
        ("sqlite_schema_to_object_schema", sqlite_row("a", pk=None), TypeError, "'>' not supported"),
        ("sqlite_schema_to_object_schema", sqlite_row("a", type_=None), TypeError, "'sqlite_type'"),
        ("sqlite_schema_to_object_schema", sqlite_row(["a"]), TypeError, "unhashable"),
        ("postgres_schema_to_object_schema", {"data_type": "text"}, KeyError, "'column_name'"),
        ("postgres_schema_to_object_schema", {"column_name": "a"}, KeyError, "'data_type'"),
        ("postgres_schema_to_object_schema", {"column_name": "a", "data_type": 1}, TypeError, "'postgres_type'"),
        ("generic_schema_to_object_schema", {"type": "T"}, KeyError, "'name'"),
        ("generic_schema_to_object_schema", {"name": "a"}, KeyError, "'type'"),
        ("generic_schema_to_object_schema", {"name": "a", "type": b"T"}, TypeError, "'sqlite_type'"),
        ("generic_schema_to_object_schema", ("name", "type"), TypeError, "tuple indices"),
        ("generic_schema_to_object_schema", type("NoGet", (), {"__getitem__": lambda s, k: k})(), AttributeError, "get"),
    ],
)
def test_row_errors_propagate(calls, method, row, error, text):
    with pytest.raises(error, match=text):
        getattr(ExternalGalvori(), method)("t", [sqlite_row("ok"), row] if method.startswith("sqlite") else [row])
    assert calls == []


def test_errors_from_collaborators_propagate():
    with pytest.raises(ValueError, match="type"):  # the real ObjectSchema refuses a non-core type
        ExternalGalvori().generic_schema_to_object_schema("t", [{"name": "c", "type": "x"}], None, lambda t: "x")
    with pytest.raises(ValueError, match="class name"):
        ExternalGalvori().generic_schema_to_object_schema("_", [])
    with pytest.raises(ZeroDivisionError):
        ExternalGalvori().generic_schema_to_object_schema("t", [{"name": "c", "type": "x"}], None, lambda t: 1 / 0)


def test_columns_changed_while_converting(calls):
    class Clearing(ExternalGalvori):
        @staticmethod
        def sqlite_type_to_core_type(sqlite_type):
            rows.clear()
            return sqlite_type

    rows = [sqlite_row("a"), sqlite_row("b"), sqlite_row("c")]
    assert list(Clearing().sqlite_schema_to_object_schema("t", rows)["properties"]) == ["a"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "{m}() takes at least 3 positional arguments (1 given)"),
        (("t",), {}, "{m}() takes at least 3 positional arguments (2 given)"),
        ((), {"table_name": "t"}, "{m}() takes at least 3 positional arguments (2 given)"),
        (("t",), {"connection_name": "c"}, "{m}() takes at least 3 positional arguments (2 given)"),
        ((), {"columns": []}, "{m}() takes at least 3 positional arguments (1 given)"),
        (("t", []), {"table_name": "t"}, "{m}() got multiple values for keyword argument 'table_name'"),
        (("t", []), {"rows": []}, "{m}() got an unexpected keyword argument 'rows'"),
        ((None, []), {}, "Argument 'table_name' has incorrect type (expected str, got NoneType)"),
        ((None, ()), {}, "Argument 'table_name' has incorrect type (expected str, got NoneType)"),
        (("t", ()), {}, "Argument 'columns' has incorrect type (expected list, got tuple)"),
        (("t", ()), {"connection_name": 1}, "Argument 'columns' has incorrect type (expected list, got tuple)"),
        (("t", [], 5), {}, "Argument 'connection_name' has incorrect type (expected str, got int)"),
        ((), {"table_name": "t", "columns": [], "connection_name": b"c"},
         "Argument 'connection_name' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_errors(calls, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(ExternalGalvori(), method)(*args, **kwargs)
    assert str(info.value) == message.format(m=method)
    assert calls == []


@pytest.mark.parametrize(("method", "most"), list(zip(METHODS, (4, 4, 5))))
def test_too_many_arguments(calls, method, most):
    args = ("t", [], None, None, None)[:most]  # one more than allowed, counting the instance
    with pytest.raises(TypeError) as info:
        getattr(ExternalGalvori(), method)(*args)
    assert str(info.value) == f"{method}() takes at most {most} positional arguments ({most + 1} given)"


def test_methods_need_an_instance_when_called_on_the_class(calls):
    with pytest.raises(TypeError, match=r"takes at least 3 positional arguments \(2 given\)"):
        ExternalGalvori.sqlite_schema_to_object_schema("t", [])
    assert ExternalGalvori.generic_schema_to_object_schema(ExternalGalvori(), "t", [])["required"] == []


@pytest.mark.parametrize(
    ("method", "first_line", "defaults"),
    [
        ("sqlite_schema_to_object_schema", "Convert SQLite PRAGMA table_info output to ObjectSchema.", (None,)),
        ("postgres_schema_to_object_schema", "Convert PostgreSQL information_schema output to ObjectSchema.", (None,)),
        ("generic_schema_to_object_schema", "Convert generic schema format to ObjectSchema.", (None, None)),
    ],
)
def test_conversion_interface(method, first_line, defaults):
    function = getattr(ExternalGalvori, method)
    assert function.__doc__.splitlines()[0] == first_line
    assert function.__defaults__ == defaults
    assert function.__qualname__ == f"ExternalGalvori.{method}"
    expected = {"table_name": "str", "columns": "list[dict[str, Any]]", "connection_name": "str | None"}
    if len(defaults) == 2:
        expected["type_converter"] = "Callable[[str], str] | None"
    assert function.__annotations__ == expected | {"return": "ObjectSchema"}


def test_class_layout_and_docstring_example():
    import doctest

    assert ExternalGalvori.__bases__ == (object,) and type(ExternalGalvori) is type
    members = [n for n in ExternalGalvori.__dict__ if not n.startswith("__")]
    assert members == ["sqlite_type_to_core_type", "postgres_type_to_core_type", *METHODS]
    finder = doctest.DocTestFinder(recurse=False)
    [test] = finder.find(ExternalGalvori, "ExternalGalvori", globs={"ExternalGalvori": ExternalGalvori})
    assert doctest.DocTestRunner().run(test).failed == 0 and test.examples


@pytest.mark.parametrize(
    ("method", "row"),
    [
        ("sqlite_schema_to_object_schema", sqlite_row("c", "INT")),
        ("postgres_schema_to_object_schema", {"column_name": "c", "data_type": "integer"}),
        ("generic_schema_to_object_schema", {"name": "c", "type": "INT"}),
    ],
)
def test_mapper_result_rule_holds_inside_conversions(calls, monkeypatch, method, row):
    from types import SimpleNamespace

    monkeypatch.setattr(galvori, "CoreTypes", SimpleNamespace(INTEGER=SimpleNamespace(value=7)))
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        getattr(ExternalGalvori(), method)("t", [row])
    monkeypatch.setattr(galvori, "CoreTypes", SimpleNamespace(INTEGER=SimpleNamespace(value=None)))
    assert getattr(ExternalGalvori(), method)("t", [row])["properties"]["c"]["type"] is None
