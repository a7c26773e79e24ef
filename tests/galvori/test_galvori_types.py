"""Column type mapping: SQLite and PostgreSQL type texts to core-type values."""

import types

import pytest
from kestrum_models.utils import galvori
from kestrum_models.utils.galvori import ExternalGalvori
from kestrum_utils.models.data_models.enums import CoreTypes

sqlite_map = ExternalGalvori.sqlite_type_to_core_type
postgres_map = ExternalGalvori.postgres_type_to_core_type

SQLITE_CASES = [
    ("", "STRING"),
    *[(t, "INTEGER") for t in ("integer", "INTEGER", "BIGINT", "TINYINT", "INT2", "UNSIGNED BIG INT")],
    ("POINT", "INTEGER"),
    ("INTERVAL", "INTEGER"),
    ("DATEINT", "INTEGER"),
    *[(t, "STRING") for t in ("VARCHAR(255)", "NCHAR(55)", "CLOB", "TEXT", "CHARACTER(20)")],
    *[(t, "BINARY") for t in ("BLOB", "VARBINARY", "binary(16)")],
    *[(t, "NUMBER") for t in ("REAL", "FLOAT", "FLOAT8", "DOUBLE", "DOUBLE PRECISION", "float")],
    ("NUMERIC", "STRING"),
    ("DECIMAL(10,5)", "STRING"),
    ("DATETIME", "DATETIME"),
    ("TIMESTAMP", "DATETIME"),
    ("timestamp with time zone", "DATETIME"),
    ("DATE", "DATE"),
    ("date", "DATE"),
    ("TIME", "DATETIME"),
    *[(t, "BOOLEAN") for t in ("BOOLEAN", "BOOL", "bool")],
    ("DATETEXT", "STRING"),
    ("JSON", "STRING"),
    # Full Unicode upper-casing: the long s upper-cases to "S", the ligature "ﬂ" to "FL".
    ("date\u017ftamp", "DATETIME"),
    ("\ufb02oat", "NUMBER"),
    ("\u0131nt", "INTEGER"),  # dotless i upper-cases to "I"
    ("blo\u00df", "STRING"),
    ("Ｉｎｔ", "STRING"),  # full-width letters stay full-width
    ("\U0001f600int", "INTEGER"),
    ("\u00e9 int", "INTEGER"),
]

POSTGRES_CASES = [
    *[(t, "INTEGER") for t in ("integer", "INTEGER", "smallint", "bigint", "serial", "bigserial", "smallserial")],
    *[(t, "STRING") for t in ("int4", "int", "serial4", " integer")],
    *[(t, "NUMBER") for t in ("real", "double precision", "numeric", "decimal", "NUMERIC")],
    *[(t, "STRING") for t in ("numeric(10,2)", "float8")],
    *[(t, "ARRAY") for t in ("integer[]", "text[]", "character varying[]", "jsonb[]", "int4[]", "INT4[]")],
    ("ARRAY", "STRING"),
    *[(t, "STRING") for t in ("character varying", "character", "bpchar", "text")],
    ("bytea", "BINARY"),
    *[(t, "BOOLEAN") for t in ("boolean", "BOOLEAN")],
    ("bool", "STRING"),
    ("date", "DATE"),
    *[
        (t, "DATETIME")
        for t in ("timestamp without time zone", "timestamp with time zone", "time without time zone", "timestamptz")
    ],
    *[(t, "DICTIONARY") for t in ("json", "jsonb", "JSONB")],
    *[(t, "STRING") for t in ("uuid", "interval", "money", "", "mood")],
    # Full Unicode lower-casing: KELVIN SIGN lower-cases to "k".
    ("\u212aeyword", "STRING"),
    ("DAT\u0130", "STRING"),  # "İ".lower() is "i" plus a combining dot
    ("JSO\u0145", "STRING"),
    ("\u0130nteger", "STRING"),
    ("\U0001f600[]", "ARRAY"),
    ("\u00e9 JSON", "DICTIONARY"),
]


@pytest.mark.parametrize(("type_text", "member"), SQLITE_CASES)
def test_sqlite_mapping(type_text, member):
    result = sqlite_map(type_text)
    assert result == CoreTypes[member].value and type(result) is str


@pytest.mark.parametrize(("type_text", "member"), POSTGRES_CASES)
def test_postgres_mapping(type_text, member):
    result = postgres_map(type_text)
    assert result == CoreTypes[member].value and type(result) is str


@pytest.mark.parametrize("name", ["sqlite_type_to_core_type", "postgres_type_to_core_type"])
def test_class_and_instance_give_the_same_function(name):
    on_class, on_instance = getattr(ExternalGalvori, name), getattr(ExternalGalvori(), name)
    assert on_class is on_instance
    assert isinstance(ExternalGalvori.__dict__[name], staticmethod)
    assert on_class.__qualname__ == f"ExternalGalvori.{name}"
    assert on_class.__module__ == "kestrum_models.utils.galvori"


@pytest.mark.parametrize(
    ("mapper", "param", "first_line", "samples"),
    [
        (sqlite_map, "sqlite_type", "Convert SQLite type to KESTRUM CoreType.", ("INTEGER", "TEXT", "BLOB")),
        (postgres_map, "postgres_type", "Convert PostgreSQL type to KESTRUM CoreType.", ("integer", "varchar", "jsonb")),
    ],
)
def test_mapper_interface(mapper, param, first_line, samples):
    assert mapper.__annotations__ == {param: "str", "return": "str"}
    doc = mapper.__doc__
    assert doc.splitlines()[0] == first_line
    assert all(f'"{sample}"' in doc for sample in samples)
    assert mapper(**{param: "date"}) == mapper("date")


class StrSub(str):
    pass


@pytest.mark.parametrize(("mapper", "param"), [(sqlite_map, "sqlite_type"), (postgres_map, "postgres_type")])
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "{name}() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "{name}() takes exactly 1 positional argument (2 given)"),
        (("a",), {"{param}": "a"}, "{name}() got multiple values for keyword argument '{param}'"),
        (("a",), {"type_text": "a"}, "{name}() got an unexpected keyword argument 'type_text'"),
        ((), {"type_text": "a"}, "{name}() takes exactly 1 positional argument (0 given)"),
        ((None,), {}, "Argument '{param}' has incorrect type (expected str, got NoneType)"),
        ((b"INT",), {}, "Argument '{param}' has incorrect type (expected str, got bytes)"),
        ((5,), {}, "Argument '{param}' has incorrect type (expected str, got int)"),
        ((StrSub("INT"),), {}, "Argument '{param}' has incorrect type (expected str, got StrSub)"),
    ],
)
def test_mapper_argument_errors(mapper, param, args, kwargs, message):
    kwargs = {key.format(param=param): value for key, value in kwargs.items()}
    with pytest.raises(TypeError) as info:
        mapper(*args, **kwargs)
    assert str(info.value) == message.format(name=mapper.__name__, param=param)
    has_note = bool(getattr(info.value, "__notes__", None))
    assert has_note == any(type(a) is StrSub for a in args)


def stand_in_core_types(**values):
    return types.SimpleNamespace(**{m.name: types.SimpleNamespace(value=values.get(m.name, f"x-{m.name}")) for m in CoreTypes})


@pytest.mark.parametrize(("mapper", "text", "member"), [(sqlite_map, "BLOB", "BINARY"), (postgres_map, "jsonb", "DICTIONARY")])
def test_core_types_looked_up_at_call_time(monkeypatch, mapper, text, member):
    monkeypatch.setattr(galvori, "CoreTypes", stand_in_core_types())
    assert mapper(text) == f"x-{member}"
    monkeypatch.setattr(galvori, "CoreTypes", stand_in_core_types(**{member: None}))
    assert mapper(text) is None
    monkeypatch.setattr(galvori, "CoreTypes", stand_in_core_types(**{member: 42}))
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        mapper(text)
    monkeypatch.delattr(galvori, "CoreTypes")
    with pytest.raises(NameError, match=r"^name 'CoreTypes' is not defined$"):
        mapper(text)
    monkeypatch.setattr(galvori, "CoreTypes", types.SimpleNamespace(), raising=False)
    with pytest.raises(AttributeError, match=member):
        mapper(text)


GROUPS = {
    "_SQLITE_TEXT_TYPES": ("CHAR", "CLOB", "TEXT"),
    "_SQLITE_BLOB_TYPES": ("BLOB", "BINARY"),
    "_SQLITE_NUMBER_TYPES": ("REAL", "FLOA", "DOUB"),
    "_POSTGRES_INTEGER_TYPES": ("smallint", "integer", "bigint", "serial", "bigserial", "smallserial"),
    "_POSTGRES_NUMBER_TYPES": ("real", "double precision", "numeric", "decimal"),
    "_POSTGRES_TEXT_TYPES": ("char", "varchar", "text"),
    "_POSTGRES_TIME_TYPES": ("timestamp", "time"),
    "_POSTGRES_JSON_TYPES": ("json", "jsonb"),
}


@pytest.mark.parametrize(("name", "members"), GROUPS.items())
def test_text_groups_are_module_constants(name, members):
    assert getattr(galvori, name) == members and type(getattr(galvori, name)) is tuple
