"""Column types of object schemas."""

from enum import StrEnum


class CoreTypes(StrEnum):
    """The core column types a schema property can have."""

    INTEGER = "integer"
    NUMBER = "number"
    STRING = "string"
    BINARY = "binary"
    BOOLEAN = "boolean"
    DATE = "date"
    DATETIME = "datetime"
    ARRAY = "array"
    DICTIONARY = "dictionary"
