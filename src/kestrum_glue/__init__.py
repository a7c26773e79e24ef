"""Row transport between storage executors and model loading."""

from enum import StrEnum

from kestrum_glue._records import Data

__all__ = ["Data", "Version"]


class Version(StrEnum):
    """Symbolic versions of a row."""

    LATEST = "LATEST"
