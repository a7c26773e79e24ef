"""Row transport between storage executors and model loading."""

from dataclasses import dataclass
from enum import StrEnum
from typing import Any

__all__ = ["Data", "Version"]


@dataclass(slots=True)
class Data:
    """One returned row.

    ``data`` maps field names to values; it may hold ``"_metadata"`` (JSON text or
    a dict). ``metadata`` is the row's metadata, if the store returns it separately.
    """

    data: dict[str, Any]
    metadata: dict[str, Any] | None = None


class Version(StrEnum):
    """Symbolic versions of a row."""

    LATEST = "LATEST"
