"""Row records, and building them from cursor rows."""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, final

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
