"""Helpers to inspect model classes."""

from typing import Any

PARTIAL_SUFFIX = "Partial"


def is_partial_model(cls: Any) -> bool:
    """Whether ``cls`` is a partial model class (all fields optional), named ``<Model>Partial``.

    The name alone does not make one: a partial class derives from its model class
    alone and has the same fields, so a model class of its own whose name happens to
    end in ``Partial`` is not taken for one.
    """
    if not isinstance(cls, type) or not cls.__name__.endswith(PARTIAL_SUFFIX):
        return False
    if len(cls.__bases__) != 1:
        return False
    base = cls.__bases__[0]
    return cls.__name__ == base.__name__ + PARTIAL_SUFFIX and set(getattr(cls, "__pydantic_fields__", ())) == set(
        getattr(base, "__pydantic_fields__", ())
    )
