"""Schema conversion for external connections.

Converts raw schema information from external connections (SQLite, PostgreSQL and
others) into the KESTRUM ObjectSchema format used for model generation.
"""

from collections.abc import Callable as Callable
from typing import Any as Any, Final

from kestrum_utils.models.data_models.enums import CoreTypes as CoreTypes
from kestrum_utils.schemas.schema import ObjectSchema as ObjectSchema
from kestrum_utils.utils.text import classify as classify

_SQLITE_TEXT_TYPES: Final[tuple[str, ...]]
_SQLITE_BLOB_TYPES: Final[tuple[str, ...]]
_SQLITE_NUMBER_TYPES: Final[tuple[str, ...]]
_POSTGRES_INTEGER_TYPES: Final[tuple[str, ...]]
_POSTGRES_NUMBER_TYPES: Final[tuple[str, ...]]
_POSTGRES_TEXT_TYPES: Final[tuple[str, ...]]
_POSTGRES_TIME_TYPES: Final[tuple[str, ...]]
_POSTGRES_JSON_TYPES: Final[tuple[str, ...]]

class ExternalGalvori:
    """Converter from external database schemas to KESTRUM ObjectSchema.

    Turns the raw schema information of external connections (SQLite, PostgreSQL
    and others) into the ObjectSchema format used for model generation: one
    property per column, the required columns, the primary-key columns where the
    listing has them, the connection name and a title made from the table name.

    Example:
        >>> galvori = ExternalGalvori()
        >>> columns = [
        ...     {"cid": 0, "name": "id", "type": "INTEGER", "notnull": 1, "dflt_value": None, "pk": 1},
        ...     {"cid": 1, "name": "username", "type": "TEXT", "notnull": 1, "dflt_value": None, "pk": 0},
        ...     {"cid": 2, "name": "email", "type": "TEXT", "notnull": 0, "dflt_value": None, "pk": 0},
        ... ]
        >>> schema = galvori.sqlite_schema_to_object_schema("users", columns)
        >>> schema.required
        ['username']
        >>> schema.primary_key
        ['id']
    """

    @staticmethod
    def sqlite_type_to_core_type(sqlite_type: str) -> str:
        """Convert SQLite type to KESTRUM CoreType.

        Args:
            sqlite_type: The declared SQLite column type (e.g., "INTEGER", "TEXT", "BLOB").

        Returns:
            The KESTRUM CoreType value as a string.
        """

    @staticmethod
    def postgres_type_to_core_type(postgres_type: str) -> str:
        """Convert PostgreSQL type to KESTRUM CoreType.

        Args:
            postgres_type: The PostgreSQL data type (e.g., "integer", "varchar", "jsonb").

        Returns:
            The KESTRUM CoreType value as a string.
        """

    def sqlite_schema_to_object_schema(
        self,
        table_name: str,
        columns: list[dict[str, Any]],
        connection_name: str | None = None,
    ) -> ObjectSchema:
        """Convert SQLite PRAGMA table_info output to ObjectSchema.

        Args:
            table_name: Name of the table.
            columns: Rows of PRAGMA table_info for the table, each a dict with the
                keys "name", "type", "notnull" and "pk", and optionally "dflt_value".
            connection_name: Name of the connection the table belongs to (optional).

        Returns:
            ObjectSchema for the table, suitable for model generation.
        """

    def postgres_schema_to_object_schema(
        self,
        table_name: str,
        columns: list[dict[str, Any]],
        connection_name: str | None = None,
    ) -> ObjectSchema:
        """Convert PostgreSQL information_schema output to ObjectSchema.

        Args:
            table_name: Name of the table.
            columns: Rows of information_schema.columns for the table, each a dict
                with the keys "column_name" and "data_type", and optionally
                "is_nullable" (default "YES") and "column_default".
            connection_name: Name of the connection the table belongs to (optional).

        Returns:
            ObjectSchema for the table, suitable for model generation.
        """

    def generic_schema_to_object_schema(
        self,
        table_name: str,
        columns: list[dict[str, Any]],
        connection_name: str | None = None,
        type_converter: Callable[[str], str] | None = None,
    ) -> ObjectSchema:
        """Convert generic schema format to ObjectSchema.

        A flexible converter for any source: each column needs at least the keys
        "name" and "type".

        Args:
            table_name: Name of the table.
            columns: Column dicts with the keys "name" and "type", and optionally
                "nullable" (default True), "required" (default False),
                "primary_key" (default False) and "default".
            connection_name: Name of the connection the table belongs to (optional).
            type_converter: Function turning a type text into a core type; defaults
                to the SQLite type mapping.

        Returns:
            ObjectSchema for the table, suitable for model generation.
        """
