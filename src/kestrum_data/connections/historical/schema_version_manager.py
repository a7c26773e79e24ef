"""Latest class-schema versions of model classes.

The managers read from a :class:`SchemaVersionSource`. By default that is the
object store: its answers are kept in the process-wide registry of this module
(also filled by :func:`register_schema_version`), and a class the registry does
not hold is looked up in the store's registry of class schemas.

For the store, a class's latest version is the one the class as defined in this
process matches, not the newest registered: a process still running an older
definition builds its own rows as its class, and rows of other versions as its
class only when that version can read them.
"""

from typing import Any, Protocol


class SchemaVersionNotFoundError(LookupError):
    """No schema version is known for a class."""


class SchemaVersionSource(Protocol):
    def latest_version(self, class_name: str) -> str:
        """The latest schema version of ``class_name``; raises :class:`SchemaVersionNotFoundError`."""
        ...


class InMemorySchemaVersions:
    """Schema versions registered in this process; the last registered version is the latest."""

    def __init__(self) -> None:
        self._latest: dict[str, Any] = {}

    def register(self, class_name: str, version: Any) -> None:
        self._latest[class_name] = version

    def clear(self) -> None:
        self._latest.clear()

    def latest_version(self, class_name: str) -> Any:
        try:
            return self._latest[class_name]
        except KeyError:
            raise SchemaVersionNotFoundError(
                f"no schema version is registered for class {class_name!r}; "
                "register one with register_schema_version()"
            ) from None


_registry = InMemorySchemaVersions()


def register_schema_version(class_name: str, version: Any) -> None:
    """Record ``version`` as the latest schema version of ``class_name``."""
    _registry.register(class_name, version)


def clear_schema_versions() -> None:
    """Forget every registered schema version."""
    _registry.clear()


class HistoricalSchemaVersionManager:
    """Looks up the latest class-schema version of model classes."""

    def __init__(self, source: SchemaVersionSource | None = None) -> None:
        self._source = source

    def get_latest_schema_version(self, class_name: str) -> Any:
        if self._source is not None:
            return self._source.latest_version(class_name)
        try:
            return _registry.latest_version(class_name)
        except SchemaVersionNotFoundError:
            from kestrum_data.store import storage

            return storage().latest_schema_version(class_name)


class AsyncHistoricalSchemaVersionManager:
    """Asynchronous :class:`HistoricalSchemaVersionManager`."""

    def __init__(self, source: SchemaVersionSource | None = None) -> None:
        self._source = source

    async def get_latest_schema_version(self, class_name: str) -> Any:
        if self._source is not None:
            return self._source.latest_version(class_name)
        try:
            return _registry.latest_version(class_name)
        except SchemaVersionNotFoundError:
            from kestrum_data.store import storage

            return await storage().alatest_schema_version(class_name)
