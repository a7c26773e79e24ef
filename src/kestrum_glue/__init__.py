"""Row transport between storage executors and model loading."""

from enum import StrEnum
from typing import Any, NamedTuple

__all__ = ["Data", "Version"]


class Data(NamedTuple):
    """One returned row.

    ``data`` maps field names to values; it may hold ``"_metadata"`` (JSON text or
    a dict). ``metadata`` is the row's metadata, if the store returns it separately.
    A tuple, so that stores can make millions of them cheaply.
    """

    data: dict[str, Any]
    metadata: dict[str, Any] | None = None


class Version(StrEnum):
    """Symbolic versions of a row."""

    LATEST = "LATEST"
