"""The framework's execution mode and the decorators that guard mode-specific methods.

Database-facing methods come in twins: a synchronous one (``execute``, ``save``) and
a coroutine one (``aexecute``, ``asave``). By default the mode follows the calling
context, so synchronous start-up code and asynchronous handlers share a process:

* a synchronous method works wherever no event loop is running in the calling
  thread; called inside a running loop it raises :class:`ModeError` naming the
  coroutine twin to await instead (blocking the loop would stall every task on it);
* a coroutine twin can always be called; its coroutine runs on the loop that awaits it.

An explicit mode overrides this for the whole process: the environment variable
``KESTRUM_MODE`` (``"sync"``, ``"async"``, or ``"auto"`` for the default) read at
import, :func:`set_mode`, or ``with mode("async"): ...`` for a block. Under an
override, methods of the other mode raise :class:`ModeError`.
"""

import asyncio
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
_running_loop: Final = asyncio._get_running_loop


class ModeError(RuntimeError):
    """A method was called in a mode it is not available in."""


def _check_mode(value: object) -> Mode:
    if value not in _MODE_NAMES:
        raise ValueError(f"invalid framework mode {value!r}: use 'sync' or 'async'")
    return cast(Mode, value)


def _initial_override() -> Mode | None:
    value = os.environ.get(MODE_ENV_VAR, "").strip().lower()
    return None if value in ("", "auto") else _check_mode(value)


_override: Mode | None = _initial_override()


def get_mode() -> Mode:
    """The mode in effect here: the explicit one, else ``"async"`` inside a running event loop, else ``"sync"``."""
    if _override is not None:
        return _override
    return "async" if _running_loop() is not None else "sync"


def get_mode_override() -> Mode | None:
    """The explicit mode, or None when the mode follows the calling context."""
    return _override


def set_mode(value: Mode | None) -> None:
    """Switch the framework to ``"sync"`` or ``"async"`` mode, process-wide; None follows the context again."""
    global _override
    _override = None if value is None else _check_mode(value)


@contextmanager
def mode(value: Mode | None) -> Iterator[None]:
    """Run a block in the given mode (None: following the context), then restore the previous setting."""
    global _override
    previous = _override
    set_mode(value)
    try:
        yield
    finally:
        _override = previous


def _is_coroutine_function(func: Any) -> bool:
    return inspect.iscoroutinefunction(func) or (
        _LEGACY_COROUTINE_MARK is not None and getattr(func, "_is_coroutine", None) is _LEGACY_COROUTINE_MARK
    )


def _twin(name: str) -> str:
    # "Book.save" -> "Book.asave", "QuerySetBase._execute_query" -> "QuerySetBase._aexecute_query".
    owner, dot, method = name.rpartition(".")
    bare = method.lstrip("_")
    return f"{owner}{dot}{method[: len(method) - len(bare)]}a{bare}"


def _guard[F: Callable[..., Any]](func: F, required: Mode) -> F:
    other: Mode = "async" if required == "sync" else "sync"
    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None) or repr(func)
    wrong_mode = (
        f"{name}() is available only in {_MODE_NAMES[required]} mode; the framework is in "
        f"{_MODE_NAMES[other]} mode (switch with kestrum_utils.utils.decorators.set_mode({required!r}))"
    )
    in_loop = (
        f"{name}() cannot run inside a running event loop: await {_twin(name)}() instead "
        "(or call it where no event loop is running in the thread)"
    )

    # Plain functions, so that they bind to instances like the method they wrap.
    if required == "sync":

        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            if _override is None:
                if _running_loop() is not None:
                    raise ModeError(in_loop)
            elif _override != "sync":
                raise ModeError(wrong_mode)
            return func(*args, **kwargs)

    else:

        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            if _override is not None and _override != "async":
                raise ModeError(wrong_mode)
            return func(*args, **kwargs)

    if _is_coroutine_function(func):
        inspect.markcoroutinefunction(wrapper)
    return cast(F, wrapper)


def sync_mode_only[F: Callable[..., Any]](func: F) -> F:
    """Allow ``func`` only where synchronous calls are allowed (see the module's description)."""
    return _guard(func, "sync")


def async_mode_only[F: Callable[..., Any]](func: F) -> F:
    """Allow ``func`` only where coroutine calls are allowed (see the module's description)."""
    return _guard(func, "async")
