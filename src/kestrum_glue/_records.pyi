"""Row records, and building them from cursor rows."""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, ClassVar, Self, final

@final
class Data:
    """One returned row.

    ``data`` maps field names to values; it may hold ``"_metadata"`` (JSON text or
    a dict). ``metadata`` is the row's metadata, if the store returns it separately.
    """

    def __init__(self, data: dict[str, Any], metadata: dict[str, Any] | None = None) -> None: ...
    @property
    def data(self) -> dict[str, Any]: ...
    @property
    def metadata(self) -> dict[str, Any] | None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class RowLayout:
    """How the rows of one class version become records."""

    def __init__(
        self,
        names: tuple[str, ...],
        positions: tuple[int, ...],
        decoders: tuple[tuple[int, Callable[[Any], Any], tuple[type, ...] | None], ...],
        reference: dict[str, Any] | None,
        metadata: dict[str, Any] | None,
        address: tuple[tuple[str, int, Callable[[Any], Any] | None, tuple[type, ...] | None], ...] = (),
    ) -> None: ...

def build(
    rows: Iterable[tuple[Any, ...]], layout_of: Callable[[Any], RowLayout], annotations: Mapping[str, Any]
) -> list[Data]: ...

class NumberPaginator:
    """Offset and limit of a query; ``None`` means unbounded.

    A slice ``[start:stop]`` is stored as ``offset=start, limit=stop - start``.
    Values are stored as given, on construction and on assignment: executors check
    them when they run.
    """

    __slots__ = ("limit", "offset")
    __hash__: ClassVar[None]  # type: ignore[assignment]
    limit: int | None
    offset: int | None

    def __init__(self, *, limit: int | None = None, offset: int | None = None) -> None: ...
    def model_copy(self, *, update: Mapping[str, Any] | None = None, deep: bool = False) -> Self: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any] | None = None) -> Self: ...
    def __eq__(self, other: object) -> bool: ...

class QuerySpecifier:
    """Which columns a query loads (``only``) and which it de-duplicates on (``distinct``).

    An empty list means no restriction. Lists are stored as given, on construction
    and on assignment: executors check them when they run.
    """

    __slots__ = ("distinct", "only")
    __hash__: ClassVar[None]  # type: ignore[assignment]
    only: list[str]
    distinct: list[str]

    def __init__(self, *, only: list[str] | None = None, distinct: list[str] | None = None) -> None: ...
    def model_copy(self, *, update: Mapping[str, Any] | None = None, deep: bool = False) -> Self: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any] | None = None) -> Self: ...
    def __eq__(self, other: object) -> bool: ...
