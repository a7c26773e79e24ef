import asyncio
import inspect
import os
import subprocess
import sys
from collections.abc import Callable
from typing import Any

import pytest

from kestrum_utils.utils.decorators import (
    ModeError,
    async_mode_only,
    get_mode,
    get_mode_override,
    mode,
    set_mode,
    sync_mode_only,
)


class Service:
    @sync_mode_only
    def execute(self, value: int, *, scale: int = 1) -> tuple["Service", int]:
        return self, value * scale

    @async_mode_only
    async def aexecute(self, value: int) -> int:
        return value * 2

    identity = sync_mode_only(id)  # a native function binds like a method too


def test_sync_method_calls_through_in_sync_mode() -> None:
    set_mode("sync")
    service = Service()
    assert service.execute(2, scale=3) == (service, 6)
    assert service.identity() == id(service)


def test_async_method_returns_its_coroutine_in_async_mode() -> None:
    set_mode("async")
    coroutine = Service().aexecute(4)
    assert inspect.iscoroutine(coroutine)
    assert asyncio.run(coroutine) == 8


@pytest.mark.parametrize(
    ("current", "call", "text"),
    [
        ("async", lambda s: s.execute(1), "Service.execute() is available only in synchronous mode; "
         "the framework is in asynchronous mode (switch with kestrum_utils.utils.decorators.set_mode('sync'))"),
        ("sync", lambda s: s.aexecute(1), "Service.aexecute() is available only in asynchronous mode; "
         "the framework is in synchronous mode (switch with kestrum_utils.utils.decorators.set_mode('async'))"),
    ],
)
def test_wrong_mode_raises_mode_error(current: str, call: Callable[[Service], Any], text: str) -> None:
    set_mode(current)  # type: ignore[arg-type]
    with pytest.raises(ModeError) as raised:
        call(Service())
    assert str(raised.value) == text


def test_by_default_the_mode_follows_the_context() -> None:
    set_mode(None)
    service = Service()
    assert get_mode() == "sync" and service.execute(2) == (service, 2)

    async def handler() -> int:
        assert get_mode() == "async"
        with pytest.raises(ModeError) as raised:
            service.execute(1)
        assert str(raised.value) == (
            "Service.execute() cannot run inside a running event loop: await Service.aexecute() instead "
            "(or call it where no event loop is running in the thread)"
        )
        return await service.aexecute(5)

    # The coroutine is made outside any loop and runs in one.
    assert asyncio.run(service.aexecute(1)) == 2
    assert asyncio.run(handler()) == 10
    # A thread without a loop may call synchronous methods while the main thread's loop runs.
    async def offload() -> Any:
        return await asyncio.to_thread(service.execute, 3)

    assert asyncio.run(offload()) == (service, 3)


def _legacy_marked() -> None: ...


_legacy_marked._is_coroutine = asyncio.coroutines._is_coroutine  # type: ignore[attr-defined]


@pytest.mark.parametrize(
    ("func", "is_coroutine"), [(Service.aexecute, True), (_legacy_marked, True), (Service.execute, False)]
)
def test_wrapper_keeps_coroutine_function_introspection(func: Callable[..., Any], is_coroutine: bool) -> None:
    assert inspect.iscoroutinefunction(sync_mode_only(func)) is is_coroutine


def test_mode_context_manager_restores_previous_mode_on_error() -> None:
    set_mode(None)
    with pytest.raises(KeyError), mode("async"):
        assert get_mode() == "async" and get_mode_override() == "async"
        raise KeyError
    assert get_mode() == "sync" and get_mode_override() is None
    with pytest.raises(ValueError, match="'parallel'"):
        set_mode("parallel")  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("env", "outcome"), [("async", "async"), (" SYNC ", "sync"), ("auto", "None"), ("", "None"), ("bogus", "ValueError")]
)
def test_initial_mode_comes_from_environment(env: str, outcome: str) -> None:
    script = (
        "try:\n from kestrum_utils.utils.decorators import get_mode_override; print(get_mode_override())\n"
        "except ValueError: print('ValueError')"
    )
    environ = os.environ | {"KESTRUM_MODE": env, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, "-c", script], env=environ, capture_output=True, text=True, check=True)
    assert result.stdout.strip() == outcome
