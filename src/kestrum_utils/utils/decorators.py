"""The framework's execution mode and the decorators that guard mode-specific methods.

The framework runs either in synchronous mode (``"sync"``) or in asynchronous mode
(``"async"``). The mode is one process-wide switch:

* at import it is read from the environment variable ``KESTRUM_MODE`` (default ``"sync"``);
* :func:`set_mode` changes it, :func:`get_mode` reads it;
* ``with mode("async"): ...`` changes it for a block and restores the previous mode.

Methods decorated with :func:`sync_mode_only` or :func:`async_mode_only` raise
:class:`ModeError` when called in the other mode.
"""

import asyncio.coroutines
import functools
import inspect
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, Final, Literal, cast

type Mode = Literal["sync", "async"]

MODE_ENV_VAR: Final = "KESTRUM_MODE"

_MODE_NAMES: Final[dict[str, str]] = {"sync": "synchronous", "async": "asynchronous"}
_LEGACY_COROUTINE_MARK: Final = getattr(asyncio.coroutines, "_is_coroutine", None)


class ModeError(RuntimeError):
    """A method was called in a mode it is not available in."""


def _check_mode(value: object) -> Mode:
    if value not in _MODE_NAMES:
        raise ValueError(f"invalid framework mode {value!r}: use 'sync' or 'async'")
    return cast(Mode, value)


_mode: Mode = _check_mode(os.environ.get(MODE_ENV_VAR, "sync").strip().lower())


def get_mode() -> Mode:
    """The framework's current mode: ``"sync"`` or ``"async"``."""
    return _mode


def set_mode(value: Mode) -> None:
    """Switch the framework to ``"sync"`` or ``"async"`` mode, process-wide."""
    global _mode
    _mode = _check_mode(value)


@contextmanager
def mode(value: Mode) -> Iterator[None]:
    """Run a block in the given mode, then restore the previous one."""
    global _mode
    previous = _mode
    set_mode(value)
    try:
        yield
    finally:
        _mode = previous


def _is_coroutine_function(func: Any) -> bool:
    return inspect.iscoroutinefunction(func) or (
        _LEGACY_COROUTINE_MARK is not None and getattr(func, "_is_coroutine", None) is _LEGACY_COROUTINE_MARK
    )


def _guard[F: Callable[..., Any]](func: F, required: Mode) -> F:
    other: Mode = "async" if required == "sync" else "sync"
    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None) or repr(func)
    message = (
        f"{name}() is available only in {_MODE_NAMES[required]} mode; the framework is in "
        f"{_MODE_NAMES[other]} mode (switch with kestrum_utils.utils.decorators.set_mode({required!r}))"
    )

    # A plain function, so that it binds to instances like the method it wraps.
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        if _mode != required:
            raise ModeError(message)
        return func(*args, **kwargs)

    if _is_coroutine_function(func):
        inspect.markcoroutinefunction(wrapper)
    return cast(F, wrapper)


def sync_mode_only[F: Callable[..., Any]](func: F) -> F:
    """Allow ``func`` only in synchronous mode."""
    return _guard(func, "sync")


def async_mode_only[F: Callable[..., Any]](func: F) -> F:
    """Allow ``func`` only in asynchronous mode."""
    return _guard(func, "async")
