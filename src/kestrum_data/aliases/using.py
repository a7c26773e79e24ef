"""Names of the configured databases."""

from typing import Final

DEFAULT_DB_ALIAS: Final = "default"
LAKEHOUSE_DB_ALIAS: Final = "lakehouse"
