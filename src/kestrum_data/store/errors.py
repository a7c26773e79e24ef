"""Errors of the object store."""


class StorageError(Exception):
    """Base of the object store's errors."""


class QueryError(StorageError, ValueError):
    """A query names something the model does not have, or compares with an unusable value."""


class UnknownFieldError(QueryError):
    """A lookup, ordering, field selection or related-object path names no field of the model."""


class UnknownLookupError(QueryError):
    """A lookup names an operator that does not exist or does not apply to the field."""


class InvalidValueError(QueryError):
    """A value does not fit the field it is compared with or stored in."""


class ConflictError(StorageError):
    """Another writer saved or deleted the same object first; reload it and try again."""


class SchemaError(StorageError):
    """A model class cannot be stored as it is defined, or its stored tables do not match it."""


class DatabaseError(StorageError):
    """The database failed: it is unreachable, not a database, or refused the statement."""


class DatabaseUnavailableError(DatabaseError):
    """The database cannot be reached (server down, connection lost, file locked too long)."""


class UnknownAliasError(StorageError, LookupError):
    """A query names a database alias that is not configured."""


class PrunedHistoryError(QueryError):
    """A query reaches back into history that pruning removed: it cannot be answered exactly."""


class UniqueViolationError(StorageError):
    """A write would give two latest objects of a class the same values of fields declared unique
    (``__unique__``); nothing of it is stored.

    ``model`` is the class name and ``fields`` the unique fields; ``constraint`` names the
    database's index (as the database reports it).
    """

    def __init__(self, message: str, model: str = "", fields: tuple[str, ...] = (), constraint: str = "") -> None:
        super().__init__(message)
        self.model = model
        self.fields = fields
        self.constraint = constraint
