"""The callable that guards a native method of one framework mode."""

from collections.abc import Callable
from typing import Any, final

@final
class ModeGuard:
    """A method allowed in one mode of the framework (see mode_guard)."""

    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, obj: object, owner: type | None = None) -> Any: ...

def mode_guard(
    func: Callable[..., Any],
    required: str,
    settings: dict[str, Any],
    running_loop: Callable[[], object],
    error: Callable[[str], BaseException],
    wrong_mode: str,
    in_loop: str,
) -> ModeGuard: ...
