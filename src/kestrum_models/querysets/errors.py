"""Errors raised by query sets, their executors and model instances."""


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


class NotSavedError(QuerySetError, AttributeError):
    """An instance that was never saved has no stored identity (``pk``, ``object_version``) to read or reload.

    An ``AttributeError``: ``getattr(obj, "pk", None)`` is ``None`` for such an instance.
    """


class NotLoadedError(QuerySetError, AttributeError):
    """A field of an unloaded reference was read: only the related object's id was fetched.

    Fetch it with ``select_related`` on the query of the object holding it, or load it
    with ``load()`` / ``await aload()``.
    """
