"""Native coroutines under asyncio and under the raw coroutine protocol."""

import asyncio
import gc
import sys
import types
import warnings
import weakref

import pytest

from kestrum_models import _native_testing as nt


async def later(value):
    await asyncio.sleep(0)
    return value


@types.coroutine
def suspend(value="yielded"):
    """A generator-based awaitable that yields once and returns what it is sent."""
    sent = yield value
    return sent


def test_runs_under_asyncio_run_gather_and_wait_for():
    async def main():
        assert await nt.await_value(later(5)) == 5
        assert await nt.await_both(later(1), asyncio.sleep(0, result=(2, 3))) == (1, (2, 3))
        assert await asyncio.gather(nt.await_value(later(1)), nt.await_value(later(2))) == [1, 2]
        assert await asyncio.wait_for(nt.await_value(later(9)), 5) == 9
        return "done"

    assert asyncio.run(main()) == "done"
    assert asyncio.run(nt.await_value(later("top level"))) == "top level"


@pytest.mark.parametrize("value", [(1, 2), StopIteration("inside"), None, ValueError("a value")])
def test_the_awaited_value_comes_back_unchanged(value):
    assert asyncio.run(nt.await_value(later(value))) is value


def test_exceptions_propagate_unchanged():
    error = KeyError("the very object")

    async def main():
        with pytest.raises(KeyError) as info:
            await nt.await_then_raise(later(1), error)
        assert info.value is error
        failing = asyncio.get_running_loop().create_future()
        failing.set_exception(error)
        with pytest.raises(KeyError) as info:
            await nt.await_value(failing)
        assert info.value is error

    asyncio.run(main())


def test_cancellation_reaches_the_awaited_future():
    async def main():
        future = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(nt.await_value(future))
        await asyncio.sleep(0)
        assert task.get_coro().cr_await is not None
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert future.cancelled()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(nt.await_value(asyncio.sleep(10)), 0.01)

    asyncio.run(main())


def test_iscoroutine_and_attributes():
    coro = nt.await_value(suspend())
    try:
        assert asyncio.iscoroutine(coro)
        assert coro.__name__ == "await_value" and coro.__qualname__ == "await_value"
        assert coro.cr_await is None and not coro.cr_running and coro.cr_frame is None
        assert repr(coro).startswith("<kestrum_models.native_coroutine object await_value at 0x")
    finally:
        coro.close()


def test_send_protocol_delegates_to_the_inner_awaitable():
    coro = nt.await_value(suspend("first"))
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    assert coro.send(None) == "first"
    assert coro.cr_await is not None
    with pytest.raises(StopIteration) as info:
        coro.send("resumed with this")
    assert info.value.value == "resumed with this"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.throw(ValueError())


def test_throw_goes_to_the_inner_awaitable_first():
    @types.coroutine
    def recovering():
        try:
            yield "waiting"
        except ValueError as exc:
            return f"recovered from {exc}"

    coro = nt.await_value(recovering())
    assert coro.send(None) == "waiting"
    with pytest.raises(StopIteration) as info:
        coro.throw(ValueError("x"))
    assert info.value.value == "recovered from x"

    coro = nt.await_value(suspend())
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("not handled"))
    with pytest.raises(ZeroDivisionError):
        nt.await_value(suspend()).throw(ZeroDivisionError)  # never started: raised at once


def test_close_closes_the_inner_awaitable():
    closed = []

    @types.coroutine
    def cleanup():
        try:
            yield 1
        finally:
            closed.append(True)

    coro = nt.await_value(cleanup())
    coro.send(None)
    assert coro.close() is None and closed == [True]
    assert coro.close() is None

    @types.coroutine
    def stubborn():
        ignored = False
        while True:
            try:
                yield 1
            except GeneratorExit:
                if ignored:
                    raise
                ignored = True

    coro = nt.await_value(stubborn())
    coro.send(None)
    with pytest.raises(RuntimeError, match="generator ignored GeneratorExit"):
        coro.close()


def test_errors_of_the_await_itself():
    with pytest.raises(TypeError, match="'int' object can't be used in 'await' expression"):
        asyncio.run(nt.await_value(3))

    async def main():
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
            await nt.await_then_raise(later(1), StopIteration(5))
        assert isinstance(info.value.__cause__, StopIteration)

    asyncio.run(main())


def test_arguments_and_result_are_checked():
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str, got int\)$"):
        nt.checked_list(1)  # at the call: no coroutine is created
    with pytest.raises(TypeError, match="^Expected list, got str$"):
        asyncio.run(nt.checked_list("text"))
    assert asyncio.run(nt.checked_list(None)) is None


def test_a_coroutine_never_awaited_warns():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = nt.await_value(None)
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == ["coroutine 'await_value' was never awaited"]


def test_cycles_through_a_suspended_coroutine_are_collected():
    class Holder:
        def __await__(self):
            return (yield self)

    holder = Holder()
    coro = nt.await_value(holder)
    holder.coro = coro
    coro.send(None)
    ref = weakref.ref(holder)
    del holder, coro
    gc.collect()
    assert ref() is None


def test_no_references_leak_over_many_runs():
    value = object()

    async def main():
        for _ in range(1000):
            await nt.await_both(later(value), later(value))
            try:
                await nt.await_then_raise(later(value), ValueError())
            except ValueError:
                pass

    before = sys.getrefcount(value)
    asyncio.run(main())
    gc.collect()
    assert sys.getrefcount(value) == before
