"""Errors raised by query sets and their executors."""


class QuerySetError(Exception):
    """Base of query set errors."""


class ObjectDoesNotExistError(QuerySetError):
    """A query that must return one object returned none."""


class MultipleObjectsReturnedError(QuerySetError):
    """A query that must return one object returned several."""


class BulkOperationError(QuerySetError):
    """A bulk create, update or delete failed."""


class ConnectionNotConfiguredError(QuerySetError, LookupError):
    """No storage backend is registered for a database alias."""
