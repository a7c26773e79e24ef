"""Base classes of typed model objects."""

from collections.abc import Mapping
from typing import Any, ClassVar

from pydantic import BaseModel, ConfigDict, PrivateAttr

from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.classes.utils import is_partial_model


class _RowModel(BaseModel):
    # Shared by models built from stored rows: the row's metadata (object id, class
    # schema reference, address and version info) is passed as the ``_metadata``
    # keyword, which pydantic would otherwise drop, and exposed read-only.
    _metadata: dict[str, Any] | None = PrivateAttr(default=None)

    def __init__(self, /, _metadata: Mapping[str, Any] | None = None, **data: Any) -> None:
        super().__init__(**data)
        if _metadata is not None:
            if not isinstance(_metadata, Mapping):
                raise TypeError(f"_metadata must be a mapping, not {type(_metadata).__name__}")
            self._metadata = dict(_metadata)

    @property
    def metadata(self) -> dict[str, Any] | None:
        """The row's metadata, or ``None`` for an object not loaded from storage."""
        return self._metadata


class Model(_RowModel):
    """Base of typed model classes; every subclass registers with :class:`ClassManager`.

    Extra values (such as annotations) are kept, also when set after construction.
    """

    model_config = ConfigDict(extra="allow")

    __table_name__: ClassVar[str | None] = None

    @classmethod
    def __pydantic_init_subclass__(cls, **kwargs: Any) -> None:
        super().__pydantic_init_subclass__(**kwargs)
        if not is_partial_model(cls):
            ClassManager.register(cls)


class LegacyModel(_RowModel):
    """A row written under a class-schema version incompatible with ``original_class``.

    Keeps every stored field as it is, without validating it against the class.
    """

    model_config = ConfigDict(extra="allow", arbitrary_types_allowed=True)

    original_class: type[Any]
