"""Pagination of query results."""

from pydantic import BaseModel


class NumberPaginator(BaseModel):
    """Offset and limit of a query; ``None`` means unbounded.

    A slice ``[start:stop]`` is stored as ``offset=start, limit=stop - start``.
    Assignments are not validated: executors check the values when they run.
    """

    limit: int | None = None
    offset: int | None = None
