"""Column selection of a query."""

from typing import Any, Self

from pydantic import BaseModel, Field


class QuerySpecifier(BaseModel):
    """Which columns a query loads (``only``) and which it de-duplicates on (``distinct``).

    An empty list means no restriction. Assignments are not validated.
    """

    only: list[str] = Field(default_factory=list)
    distinct: list[str] = Field(default_factory=list)

    def __deepcopy__(self, memo: dict[int, Any] | None = None) -> Self:
        # Every query-set copy deep-copies its specifier. Lists of field names (str,
        # immutable) are deep-copied by copying the lists; anything else takes the
        # general path.
        only, distinct = self.only, self.distinct
        if (
            type(only) is list
            and type(distinct) is list
            and all(type(name) is str for name in only)
            and all(type(name) is str for name in distinct)
        ):
            copied = self.__copy__()
            copied.__dict__["only"] = only.copy()
            copied.__dict__["distinct"] = distinct.copy()
            return copied
        return super().__deepcopy__(memo)
