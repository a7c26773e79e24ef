"""Helpers to inspect model classes."""

from typing import Any

PARTIAL_SUFFIX = "Partial"


def is_partial_model(cls: Any) -> bool:
    """Whether ``cls`` is a partial model class (all fields optional), named ``<Model>Partial``."""
    return isinstance(cls, type) and cls.__name__.endswith(PARTIAL_SUFFIX)
