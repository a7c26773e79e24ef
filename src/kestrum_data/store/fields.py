"""How the fields of a model class are stored: one column per field, typed by core type.

A field's core type (:class:`CoreTypes`) follows from its annotation: ``int``,
``float``, ``str``, ``bytes``, ``bool``, ``date``, ``datetime``, lists, tuples and
sets (``array``), dicts and nested plain models (``dictionary``); ``X | None`` is
``X``, nullable. Any other type is classified by the JSON form pydantic gives it
(a ``UUID`` is stored as text, an ``IntEnum`` as an integer, a ``Decimal`` and
anything structured as JSON). A field annotated with another stored model class is
a relation: its column holds the related object's id.
"""

from __future__ import annotations

import datetime
import decimal
import enum
import json
import types
import typing
from collections.abc import Callable, Mapping, Set
from dataclasses import dataclass, field
from functools import cached_property, partial
from typing import Any, Final

from pydantic import BaseModel, TypeAdapter, ValidationError
from pydantic.fields import FieldInfo
from pydantic_core import SchemaValidator, to_jsonable_python

from kestrum_data.store.errors import InvalidValueError, SchemaError
from kestrum_utils.models.data_models.enums import CoreTypes

RELATION: Final = "relation"
"""Kind of a field that holds another stored object (its column holds the object id)."""

JSON_KINDS: Final = frozenset({CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value})
TEXT_KINDS: Final = frozenset({CoreTypes.STRING.value})
ORDERED_KINDS: Final = frozenset(
    {
        CoreTypes.INTEGER.value,
        CoreTypes.NUMBER.value,
        CoreTypes.STRING.value,
        CoreTypes.BINARY.value,
        CoreTypes.BOOLEAN.value,
        CoreTypes.DATE.value,
        CoreTypes.DATETIME.value,
        RELATION,
    }
)

_SCALARS: Final[dict[type, str]] = {
    bool: CoreTypes.BOOLEAN.value,
    int: CoreTypes.INTEGER.value,
    float: CoreTypes.NUMBER.value,
    str: CoreTypes.STRING.value,
    bytes: CoreTypes.BINARY.value,
    datetime.datetime: CoreTypes.DATETIME.value,
    datetime.date: CoreTypes.DATE.value,
}
_ARRAYS: Final = (list, tuple, set, frozenset)
_JSON_SCHEMA_KINDS: Final[dict[str, str]] = {
    "integer": CoreTypes.INTEGER.value,
    "number": CoreTypes.NUMBER.value,
    "string": CoreTypes.STRING.value,
    "boolean": CoreTypes.BOOLEAN.value,
    "array": CoreTypes.ARRAY.value,
    "object": CoreTypes.DICTIONARY.value,
}


def _is_stored_model(annotation: Any) -> bool:
    # Stored model classes are the framework's Model subclasses (imported lazily: the
    # model package imports this one).
    from kestrum_models.classes.model import Model

    return isinstance(annotation, type) and issubclass(annotation, Model)


def _strip(annotation: Any) -> tuple[Any, bool]:
    """The annotation without ``Annotated`` and ``| None``, and whether it allowed ``None``."""
    nullable = False
    while True:
        origin = typing.get_origin(annotation)
        if origin is typing.Annotated:
            annotation = annotation.__origin__
            continue
        if origin in (typing.Union, types.UnionType):
            members = [arg for arg in typing.get_args(annotation) if arg is not type(None)]
            if len(members) < len(typing.get_args(annotation)):
                nullable = True
            if len(members) == 1:
                annotation = members[0]
                continue
        if annotation is type(None):
            nullable = True
        return annotation, nullable


def classify(annotation: Any) -> tuple[str, bool, str | None]:
    """``(kind, nullable, related class name)`` of a field annotation."""
    inner, nullable = _strip(annotation)
    if _is_stored_model(inner):
        return RELATION, nullable, inner.__name__
    origin = typing.get_origin(inner) or inner
    if origin in _SCALARS and not (isinstance(inner, type) and issubclass(inner, enum.Enum)):
        return _SCALARS[origin], nullable, None
    if isinstance(origin, type):
        if issubclass(origin, _ARRAYS):
            return CoreTypes.ARRAY.value, nullable, None
        if issubclass(origin, Mapping) or issubclass(origin, BaseModel):
            return CoreTypes.DICTIONARY.value, nullable, None
    if origin is typing.Literal:
        kinds = {classify(type(value))[0] for value in typing.get_args(inner)}
        if len(kinds) == 1:
            return kinds.pop(), nullable, None
    try:
        schema = TypeAdapter(inner).json_schema()
    except Exception:  # noqa: BLE001 - any type pydantic cannot describe is stored as JSON
        schema = {}
    kind = _JSON_SCHEMA_KINDS.get(schema.get("type", ""), CoreTypes.DICTIONARY.value)
    if kind == CoreTypes.STRING.value and schema.get("format") == "date-time":
        kind = CoreTypes.DATETIME.value
    elif kind == CoreTypes.STRING.value and schema.get("format") == "date":
        kind = CoreTypes.DATE.value
    return kind, nullable, None


INT64_MIN: Final = -(2**63)
INT64_MAX: Final = 2**63 - 1

DURATION: Final = "duration"
"""Form of a ``timedelta`` field: stored as ISO 8601 text, compared as a length of time."""
DECIMAL: Final = "decimal"
"""Form of a ``Decimal`` field: stored as JSON text of the number, compared as a number."""
SET: Final = "set"
"""Form of a set field: stored as a JSON array, compared as a set (element order never matters)."""


def comparison_form(kind: str, annotation: Any) -> str | None:
    """How the store compares values of a field whose stored text or JSON would compare differently.

    ``None`` for fields compared as their column values are. The stored form of these
    fields does not change: rows written before compare the same way.
    """
    inner, _ = _strip(annotation)
    origin = typing.get_origin(inner) or inner
    if not isinstance(origin, type):
        return None
    if kind == CoreTypes.STRING.value and issubclass(origin, datetime.timedelta):
        return DURATION
    if kind == CoreTypes.DICTIONARY.value and issubclass(origin, decimal.Decimal):
        return DECIMAL
    if kind == CoreTypes.ARRAY.value and issubclass(origin, Set):
        return SET
    return None


def check_text(value: str) -> str:
    """``value``, refused when it holds a lone surrogate (it has no UTF-8 form, so no database can store it)."""
    if not value.isascii():
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as error:
            raise InvalidValueError(
                f"text {_short(value)} holds a lone surrogate ({value[error.start]!r} at index {error.start}): "
                "only valid Unicode text can be stored or compared"
            ) from None
    return value


def check_integer(value: int) -> int:
    """``value``, refused outside the signed 64-bit range that integer columns hold."""
    if not INT64_MIN <= value <= INT64_MAX:
        raise InvalidValueError(
            f"integer {_short(value)} is out of range: stored integers are signed 64-bit "
            f"({INT64_MIN} to {INT64_MAX})"
        )
    return value


def json_text(value: Any) -> str:
    """JSON text of a value already in JSON form: keys sorted, no spaces."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def set_order(item: Any) -> str:
    """Sort key of a set element in JSON form: its JSON text."""
    return json.dumps(item, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def jsonable(value: Any) -> Any:
    """The JSON form of a value (pydantic's), with every set a sorted list.

    Sets, also inside plain lists, tuples, dicts and sets, are sorted by the JSON text
    of their elements, so equal sets get the same text whatever the process's hash
    seed. (Sets inside nested models keep pydantic's order.)
    """
    if isinstance(value, Set):
        return sorted((jsonable(item) for item in value), key=set_order)
    if isinstance(value, dict) and _has_containers(value.values()):
        return to_jsonable_python({key: jsonable(item) for key, item in value.items()})
    if isinstance(value, list | tuple) and _has_containers(value):
        return [jsonable(item) for item in value]
    return to_jsonable_python(value)


def _has_containers(items: Any) -> bool:
    return any(isinstance(item, Set | dict | list | tuple) for item in items)


def canonical_json(value: Any) -> str:
    """JSON text of a value, the same text for equal values (keys and sets sorted, no spaces).

    NaN and infinities have no JSON form and are refused, as is text with lone surrogates.
    """
    try:
        text = json_text(jsonable(value))
    except ValueError as error:
        raise InvalidValueError(
            f"{_short(value)} cannot be stored as JSON: {error} (NaN and infinite floats have no JSON form)"
        ) from None
    return check_text(text)


def utc_datetime(value: datetime.datetime) -> datetime.datetime:
    """An aware datetime in UTC; a naive datetime is taken as UTC."""
    if value.tzinfo is None:
        return value.replace(tzinfo=datetime.UTC)
    return value.astimezone(datetime.UTC)


@dataclass(frozen=True, slots=True)
class StoredField:
    """One stored field of a model class version."""

    name: str
    kind: str
    nullable: bool
    required: bool
    related: str | None = None
    column: str = ""

    def signature(self) -> list[Any]:
        return [self.name, self.kind, self.nullable, self.required, self.related]

    def to_json(self) -> list[Any]:
        return [*self.signature(), self.column]

    @classmethod
    def from_json(cls, data: list[Any]) -> StoredField:
        name, kind, nullable, required, related, column = data
        return cls(name, kind, bool(nullable), bool(required), related, column)

    def reads(self, stored: StoredField) -> bool:
        """Whether values stored under ``stored`` (the same field name) fit this field."""
        return (
            stored.kind == self.kind
            and stored.related == self.related
            and (self.nullable or not stored.nullable)
        )


@dataclass(slots=True)
class ModelFields:
    """The stored fields of one model class, as defined in this process."""

    class_name: str
    table_name: str
    fields: dict[str, StoredField]
    annotations: dict[str, Any] = field(repr=False)
    _adapters: dict[str, TypeAdapter[Any]] = field(default_factory=dict, repr=False)
    defined_in: str = ""
    """The class's module and qualified name (its identity in messages)."""
    defaults: dict[str, FieldInfo] = field(default_factory=dict, repr=False)
    """The definitions of the fields that have defaults."""

    def default(self, name: str) -> tuple[bool, Any]:
        """``(True, value)``: the value an instance gets for field ``name`` when a row lacks it."""
        info = self.defaults.get(name)
        if info is None or info.default_factory_takes_validated_data:
            return False, None
        return True, info.get_default(call_default_factory=True)

    _forms: dict[str, str | None] = field(default_factory=dict, repr=False)

    def form(self, name: str) -> str | None:
        """The :func:`comparison_form` of a field."""
        try:
            return self._forms[name]
        except KeyError:
            form = self._forms[name] = comparison_form(self.fields[name].kind, self.annotations[name])
            return form

    def signature(self) -> str:
        """Text that changes whenever a field's name, kind, nullability or requiredness changes."""
        return json.dumps(sorted(field_def.signature() for field_def in self.fields.values()))

    def check_value(self, name: str, value: Any) -> Any:
        """``value`` validated as the field's type (as the model would accept it)."""
        try:
            return self._adapter(name).validate_python(value)
        except ValidationError as error:
            raise self._invalid(name, value, error) from None

    def checker(self, name: str) -> Callable[[Any], Any]:
        """:meth:`check_value` of field ``name`` as a function of the value alone: the same
        results and errors, without looking the field's validator up on every call."""
        validator = self._adapter(name).validator
        if not isinstance(validator, SchemaValidator):  # not built yet, or wrapped by a plugin
            return partial(self.check_value, name)
        validate = validator.validate_python

        def check(value: Any) -> Any:
            try:
                return validate(value)
            except ValidationError as error:
                raise self._invalid(name, value, error) from None

        return check

    def _adapter(self, name: str) -> TypeAdapter[Any]:
        adapter = self._adapters.get(name)
        if adapter is None:
            field_def = self.fields[name]
            annotation = self.annotations[name]
            if field_def.kind == RELATION:
                annotation = int | None
            adapter = self._adapters[name] = TypeAdapter(annotation | None)
        return adapter

    def _invalid(self, name: str, value: Any, error: ValidationError) -> InvalidValueError:
        detail = error.errors()[0]["msg"] if error.errors() else str(error)
        return InvalidValueError(
            f"invalid value {_short(value)} for field {self.class_name}.{name} ({self.fields[name].kind}): {detail}"
        )


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def describe(model: type[BaseModel], table_name: str) -> ModelFields:
    """The stored fields of ``model`` (its pydantic fields, minus the row metadata)."""
    from kestrum_models.classes.model import IDENTITY_NAMES, METADATA_FIELD

    defined_in = f"{model.__module__}.{model.__qualname__}"
    fields: dict[str, StoredField] = {}
    annotations: dict[str, Any] = {}
    defaults: dict[str, FieldInfo] = {}
    for name, info in model.model_fields.items():
        if name == METADATA_FIELD:
            if _declares(model, METADATA_FIELD):
                raise SchemaError(
                    f"{model.__name__}.{name}: {name!r} cannot be a field of a stored class: it holds each "
                    f"instance's row metadata (its stored address); rename the field in {defined_in}"
                )
            continue
        if name in IDENTITY_NAMES:
            raise SchemaError(
                f"{model.__name__}.{name}: {name!r} cannot be a field of a stored class: every instance reads its "
                f"stored {IDENTITY_NAMES[name]} under that name; rename the field in {defined_in}"
            )
        if name.startswith("_"):
            raise SchemaError(f"{model.__name__}.{name}: stored field names cannot start with an underscore")
        kind, nullable, related = classify(info.annotation)
        fields[name] = StoredField(name, kind, nullable, info.is_required(), related)
        annotations[name] = info.annotation
        if not info.is_required():
            defaults[name] = info
    return ModelFields(model.__name__, table_name, fields, annotations, defined_in=defined_in, defaults=defaults)


def _declares(model: type[BaseModel], name: str) -> bool:
    """Whether a model class, or one of its bases other than the framework's own, annotates ``name``."""
    from kestrum_models.classes.model import Model

    own = set(Model.__mro__)
    return any(name in vars(base).get("__annotations__", {}) for base in model.__mro__ if base not in own)


type Encoder = Callable[[Any], Any]


def relation_id(value: Any) -> int | None:
    """The object id a relation field stores for ``value`` (a saved object, an id or ``None``)."""
    if value is None:
        return None
    if isinstance(value, int) and not isinstance(value, bool):
        return check_integer(value)
    metadata = getattr(value, "metadata", None)
    if isinstance(metadata, Mapping) and isinstance(metadata.get("object_id"), int):
        return metadata["object_id"]
    raise InvalidValueError(
        f"{type(value).__name__} object is not saved: save it before storing a reference to it"
    )


class Codec:
    """Turns field values into column values of one database dialect and back.

    What an encoder returns must load back as the same value (the decoder undoes any
    change), and a value the database cannot hold is refused with
    :class:`InvalidValueError`, never left for the driver to mangle or to fail on with
    its own error. Old rows keep the form they were written in: a new way of storing
    a kind must still read, and compare, the old form.
    """

    #: Kinds whose column values need decoding when read.
    decoded_kinds: frozenset[str] = frozenset()
    #: Per kind, the only value types its decoder changes (the others are left alone
    #: without calling it); a kind not named here has every non-null value decoded.
    decoded_types: dict[str, tuple[type, ...]] = {}
    #: Per kind, the value types stored as they are (without calling the encoder): only
    #: types every value of which the driver stores faithfully, or refuses with an
    #: error the driver's translation turns into InvalidValueError.
    pass_through: dict[str, tuple[type, ...]] = {
        CoreTypes.INTEGER.value: (int,),
        CoreTypes.NUMBER.value: (float, int),
        CoreTypes.BINARY.value: (bytes,),
        CoreTypes.BOOLEAN.value: (bool,),
    }

    @cached_property
    def encoders(self) -> dict[str, Encoder]:
        raise NotImplementedError

    def decoder(self, kind: str) -> Callable[[Any], Any] | None:
        return None

    def encode(self, kind: str, value: Any) -> Any:
        if value is None:
            return None
        return self.encoders[kind](value)

    def encode_all(self, kind: str, values: list[Any]) -> list[Any]:
        """The values of one column, each encoded as :meth:`encode` does."""
        encode = self.encoders[kind]
        return [None if value is None else encode(value) for value in values]

    def to_python(self, kind: str, value: Any) -> Any:
        """A stored column value as the Python value it was encoded from."""
        return value


def plain(value: Any) -> Any:
    """A value of a basic type as it is; anything else in its JSON form (an enum's value, a UUID's text)."""
    if type(value) in _SCALARS:
        return value
    return to_jsonable_python(value)


def _wrong(kind: str, value: Any) -> InvalidValueError:
    return InvalidValueError(f"a {kind} column cannot store {type(value).__name__} value {_short(value)}")


def integer(value: Any) -> int:
    value = plain(value)
    if type(value) is not int:
        raise _wrong("integer", value)
    return check_integer(value)


def number(value: Any) -> float | int:
    value = plain(value)
    if type(value) not in (int, float):
        raise _wrong("number", value)
    return value


def text(value: Any) -> str:
    value = plain(value)
    if type(value) is not str:
        raise _wrong("string", value)
    return check_text(value)


def binary(value: Any) -> bytes:
    if not isinstance(value, bytes | bytearray | memoryview):
        raise _wrong("binary", value)
    return bytes(value)


def boolean(value: Any) -> bool:
    if type(value) is not bool:
        raise _wrong("boolean", value)
    return value


def date(value: Any) -> datetime.date:
    if type(value) is not datetime.date:
        raise _wrong("date", value)
    return value


def date_time(value: Any) -> datetime.datetime:
    if not isinstance(value, datetime.datetime):
        raise _wrong("datetime", value)
    return utc_datetime(value)
