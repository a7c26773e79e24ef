import datetime
from typing import Any

import pytest
from pydantic import BaseModel, ValidationError
from pydantic_partial import create_partial_model

from kestrum_models.classes.class_manager import ClassManager, ClassNotFoundError
from kestrum_models.classes.model import LegacyModel, Model
from kestrum_utils.schemas.schema import ObjectSchema
from kestrum_utils.utils.text import classify


class Person(Model):
    __table_name__ = "people"

    name: str
    age: int | None = None


def test_model_keeps_metadata_apart_from_fields() -> None:
    person = Person(name="Ada", _metadata={"object_id": 7})
    assert person.metadata == {"object_id": 7}
    assert person.model_dump() == {"name": "Ada", "age": None} and Person(name="Ada").metadata is None
    with pytest.raises(AttributeError):
        person.metadata = {}  # type: ignore[misc]
    with pytest.raises(ValidationError):
        Person(name="Ada", _metadata='{"object_id": 7}')


def test_model_keeps_values_set_after_construction_apart_from_fields() -> None:
    person = Person(name="Ada", score=1)
    person.rank = 2  # type: ignore[attr-defined]
    person.name = "Eve"
    assert person.rank == 2 and not hasattr(person, "score")  # type: ignore[attr-defined]
    assert person.model_dump() == {"name": "Eve", "age": None}


def test_class_manager_holds_model_classes_but_not_partial_or_legacy_ones() -> None:
    manager = ClassManager()
    assert manager.import_class("Person") is Person
    assert create_partial_model(Person).__name__ not in manager
    assert "LegacyModel" not in manager and "Model" not in manager

    @ClassManager.register
    class Plain:
        pass

    assert Plain in list(manager) and "Plain" in manager.names()
    manager.unregister("Plain")
    with pytest.raises(ClassNotFoundError, match="'Plain'") as raised:
        manager.import_class("Plain")
    assert isinstance(raised.value, LookupError)


def test_legacy_model_keeps_original_class_fields_and_metadata() -> None:
    marker = object()
    legacy = LegacyModel(original_class=Person, name=3, blob=marker, _metadata={"class_version": "1"})
    assert legacy.original_class is Person
    assert (legacy.name, legacy.blob) == (3, marker)  # type: ignore[attr-defined]
    assert legacy.metadata == {"class_version": "1"}


def _schema_data(**extra: Any) -> dict[str, Any]:
    return {
        "title": "Event",
        "__table_name__": "events",
        "properties": {
            "id": {"type": "integer", "title": "id"},
            "day": {"type": "date", "title": "day"},
            "note": {"type": "string", "title": "note", "default": None},
            "weight": {"type": "number", "title": "weight", "default": 1.5},
            "tags": {"type": "array", "title": "tags"},
        },
        "required": ["id", "day"],
        **extra,
    }


@pytest.mark.parametrize("extra", [{}, {"__primary_key__": ["id"], "__connection__": "lakehouse"}])
def test_object_schema_dumps_the_shape_it_was_built_from(extra: dict[str, Any]) -> None:
    data = _schema_data(**extra)
    assert ObjectSchema(**data).to_dict() == data
    by_name = ObjectSchema(title="T", table_name="t", properties={}, required=[])
    assert by_name.to_dict() == {"title": "T", "__table_name__": "t", "properties": {}, "required": []}


@pytest.mark.parametrize(
    "data",
    [
        _schema_data(colour="red"),
        _schema_data(properties={"id": {"type": "integer", "title": "id", "unique": True}}, required=["id"]),
        _schema_data(properties={"id": {"type": "decimal", "title": "id"}}, required=["id"]),
        _schema_data(required=["id", "missing"]),
    ],
)
def test_object_schema_refuses_invalid_data(data: dict[str, Any]) -> None:
    with pytest.raises(ValidationError):
        ObjectSchema(**data)


def test_create_model_builds_a_registered_model_class() -> None:
    event = ObjectSchema(**_schema_data()).create_model()
    assert event.__name__ == "Event" and event.__table_name__ == "events"  # type: ignore[attr-defined]
    assert issubclass(event, Model) and ClassManager().import_class("Event") is event
    row = event(id="3", day="2024-02-01")
    values = (row.id, row.day, row.note, row.weight, row.tags)  # type: ignore[attr-defined]
    assert values == (3, datetime.date(2024, 2, 1), None, 1.5, None)
    with pytest.raises(ValidationError):
        event(day="2024-02-01")
    with pytest.raises(ValidationError):
        event(id="three", day="2024-02-01")
    assert issubclass(ObjectSchema(**_schema_data()).create_model(base=BaseModel), BaseModel)


@pytest.mark.parametrize(
    ("table", "title"),
    [
        ("users", "User"),
        ("user_accounts", "UserAccount"),
        ("order-items", "OrderItem"),
        ("Person", "Person"),
        ("categories", "Category"),
        ("addresses", "Address"),
        ("status", "Status"),
        ("sales.order lines", "SalesOrderLine"),
    ],
)
def test_classify(table: str, title: str) -> None:
    assert classify(table) == title
    with pytest.raises(ValueError):
        classify(" _-. ")
