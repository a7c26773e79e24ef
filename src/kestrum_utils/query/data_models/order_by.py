"""Ordering of query results."""

from functools import lru_cache
from typing import Any, Self

from pydantic import BaseModel, ConfigDict


class OrderBy(BaseModel):
    """Order by one field, ascending unless ``descending``."""

    model_config = ConfigDict(frozen=True)

    field: str
    descending: bool = False

    @classmethod
    def from_string(cls, text: str) -> Self:
        """Parse ``"name"``, ``"+name"`` (ascending) or ``"-name"`` (descending)."""
        if type(text) is str:
            # Items are immutable: one item per class and text serves every query set.
            return _parsed(cls, text)
        if not isinstance(text, str):
            raise TypeError(f"an ordering must be a str such as 'name' or '-name', not {type(text).__name__}")
        return _parse(cls, text)


def _parse(cls: Any, text: str) -> Any:
    text = text.strip()
    descending = text.startswith("-")
    field = text[1:].strip() if text[:1] in ("-", "+") else text
    if not field:
        raise ValueError(f"an ordering needs a field name, got {text!r}")
    return cls(field=field, descending=descending)


_parsed = lru_cache(maxsize=512)(_parse)
