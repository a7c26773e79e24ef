"""Object schemas: the column layout of a model class, and model classes built from them."""

import datetime
from typing import Any, Final, Self

from pydantic import BaseModel, ConfigDict, Field, create_model, model_validator

from kestrum_utils.models.data_models.enums import CoreTypes

PYTHON_TYPES: Final[dict[str, type]] = {
    CoreTypes.INTEGER: int,
    CoreTypes.NUMBER: float,
    CoreTypes.STRING: str,
    CoreTypes.BINARY: bytes,
    CoreTypes.BOOLEAN: bool,
    CoreTypes.DATE: datetime.date,
    CoreTypes.DATETIME: datetime.datetime,
    CoreTypes.ARRAY: list,
    CoreTypes.DICTIONARY: dict,
}


class PropertyDefinition(BaseModel):
    """One column: its core type, its name (``title``) and, if it has one, its default."""

    model_config = ConfigDict(extra="forbid", use_enum_values=True)

    type: CoreTypes
    title: str
    default: Any = None

    @property
    def has_default(self) -> bool:
        return "default" in self.model_fields_set


class ObjectSchema(BaseModel):
    """The columns of a model class.

    Built from schema data as ``ObjectSchema(**data)``; the keys ``__table_name__``,
    ``__primary_key__`` and ``__connection__`` fill ``table_name``, ``primary_key``
    and ``connection``. :meth:`to_dict` gives that data back in the same shape.
    """

    model_config = ConfigDict(extra="forbid", populate_by_name=True)

    title: str
    table_name: str = Field(alias="__table_name__")
    properties: dict[str, PropertyDefinition]
    required: list[str]
    primary_key: list[str] | None = Field(default=None, alias="__primary_key__")
    connection: str | None = Field(default=None, alias="__connection__")

    @model_validator(mode="after")
    def _known_columns(self) -> Self:
        unknown = [name for name in (*self.required, *(self.primary_key or ())) if name not in self.properties]
        if unknown:
            raise ValueError(f"columns {unknown} are listed as required or primary key but have no property")
        return self

    def to_dict(self) -> dict[str, Any]:
        """The schema data: aliased keys, and only the optional entries that were given."""
        return self.model_dump(by_alias=True, exclude_unset=True)

    def create_model(self, base: type[BaseModel] | None = None) -> type[BaseModel]:
        """A model class named ``title`` with one field per column.

        Required columns are required fields; the others default to their column
        default or ``None``. ``base`` defaults to :class:`kestrum_models.classes.model.Model`.
        """
        if base is None:
            from kestrum_models.classes.model import Model

            base = Model
        fields: dict[str, Any] = {}
        for name, prop in self.properties.items():
            python_type = PYTHON_TYPES[prop.type]
            if name in self.required:
                fields[name] = (python_type, ...)
            else:
                fields[name] = (python_type | None, prop.default)
        model = create_model(self.title, __base__=base, **fields)
        model.__table_name__ = self.table_name  # type: ignore[attr-defined]
        return model
