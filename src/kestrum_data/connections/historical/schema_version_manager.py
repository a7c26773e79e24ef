"""Latest class-schema versions of model classes.

The managers read from a :class:`SchemaVersionSource`. By default that is the
process-wide in-memory registry of this module, filled with
:func:`register_schema_version`.
"""

from typing import Protocol


class SchemaVersionNotFoundError(LookupError):
    """No schema version is known for a class."""


class SchemaVersionSource(Protocol):
    def latest_version(self, class_name: str) -> str:
        """The latest schema version of ``class_name``; raises :class:`SchemaVersionNotFoundError`."""
        ...


class InMemorySchemaVersions:
    """Schema versions registered in this process; the last registered version is the latest."""

    def __init__(self) -> None:
        self._latest: dict[str, str] = {}

    def register(self, class_name: str, version: str) -> None:
        self._latest[class_name] = version

    def clear(self) -> None:
        self._latest.clear()

    def latest_version(self, class_name: str) -> str:
        try:
            return self._latest[class_name]
        except KeyError:
            raise SchemaVersionNotFoundError(
                f"no schema version is registered for class {class_name!r}; "
                "register one with register_schema_version()"
            ) from None


_registry = InMemorySchemaVersions()


def register_schema_version(class_name: str, version: str) -> None:
    """Record ``version`` as the latest schema version of ``class_name``."""
    _registry.register(class_name, version)


def clear_schema_versions() -> None:
    """Forget every registered schema version."""
    _registry.clear()


class HistoricalSchemaVersionManager:
    """Looks up the latest class-schema version of model classes."""

    def __init__(self, source: SchemaVersionSource | None = None) -> None:
        self._source = source if source is not None else _registry

    def get_latest_schema_version(self, class_name: str) -> str:
        return self._source.latest_version(class_name)


class AsyncHistoricalSchemaVersionManager:
    """Asynchronous :class:`HistoricalSchemaVersionManager`."""

    def __init__(self, source: SchemaVersionSource | None = None) -> None:
        self._source = source if source is not None else _registry

    async def get_latest_schema_version(self, class_name: str) -> str:
        return self._source.latest_version(class_name)
