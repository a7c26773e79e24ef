"""References between stored objects and the base of their loaders."""

from abc import ABC, abstractmethod
from typing import Any

from pydantic import BaseModel


class ReferenceRef(BaseModel):
    """Where a referenced object lives.

    ``class_version`` and ``object_version`` are version identifiers or ``"LATEST"``.
    """

    class_name: str
    class_version: str
    object_version: str
    object_id: Any


class Reference(BaseModel):
    """A stored reference to another object."""

    ref: ReferenceRef


class JorvaleBase(ABC):
    """Base of reference loaders: resolves a reference to the object it points to."""

    __slots__ = ()

    @abstractmethod
    def load_reference(self, only: list[str] | None = None, using: str | None = None) -> Any:
        """Load the referenced object, restricted to ``only`` columns, from database ``using``."""

    @abstractmethod
    async def aload_reference(self, only: list[str] | None = None, using: str | None = None) -> Any:
        """Asynchronous :meth:`load_reference`."""
