"""Names used in the rows of historical (versioned) tables."""

from typing import Final

COMPATIBLE_CLASS_VERSIONS: Final = "compatible_class_versions"
"""Metadata key of a row: the class-schema versions the row can be read with."""
