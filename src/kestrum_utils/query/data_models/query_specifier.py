"""Column selection of a query."""

from pydantic import BaseModel, Field


class QuerySpecifier(BaseModel):
    """Which columns a query loads (``only``) and which it de-duplicates on (``distinct``).

    An empty list means no restriction. Assignments are not validated.
    """

    only: list[str] = Field(default_factory=list)
    distinct: list[str] = Field(default_factory=list)
