"""Enums shared by model classes."""

from enum import StrEnum


class Versions(StrEnum):
    """Symbolic versions of a class schema or an object."""

    LATEST = "LATEST"
