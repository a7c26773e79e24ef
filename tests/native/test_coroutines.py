"""Native coroutines under asyncio and under the raw coroutine protocol."""

import asyncio
import gc
import inspect
import io
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
        assert coro.cr_await is None and not coro.cr_running
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


# ---- The coroutine protocol under hostile use --------------------------------------------------


async def python_awaiter(awaitable):
    return await awaitable


async def python_awaited():
    return await suspend()


# (what is awaited twice, its second awaiter); its first awaiter is a native coroutine.
SECOND_AWAITS = {
    "native, then by Python code": (lambda: nt.await_value(suspend()), python_awaiter),
    "native, then by native code": (lambda: nt.await_value(suspend()), nt.await_value),
    "Python, then by native code": (python_awaited, nt.await_value),
}


@pytest.mark.parametrize("case", list(SECOND_AWAITS))
def test_a_second_await_of_a_suspended_coroutine_is_refused(case):
    make_awaited, second_awaiter = SECOND_AWAITS[case]
    awaited = make_awaited()
    first = nt.await_value(awaited)
    assert first.send(None) == "yielded"
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second_awaiter(awaited).send(None)
    with pytest.raises(StopIteration) as info:
        first.send("result")
    assert info.value.value == "result"


class Paused:
    def __await__(self):
        yield "paused"


def run_to_end(coro):
    with pytest.raises((StopIteration, ValueError)):
        while True:
            coro.send(None)


FINISHES = {
    "returned": (nt.await_value, run_to_end),
    "raised": (lambda arg: nt.await_then_raise(arg, ValueError()), run_to_end),
    "closed while suspended": (nt.await_value, lambda coro: (coro.send(None), coro.close())),
    "closed before it started": (nt.await_value, lambda coro: coro.close()),
}


@pytest.mark.parametrize("case", list(FINISHES))
def test_a_finished_coroutine_lets_go_of_its_arguments(case):
    """A finished task keeps its coroutine: that must not keep what the call was given."""
    make, finish = FINISHES[case]
    arg = Paused()
    released = weakref.ref(arg)
    coro = make(arg)
    del arg
    finish(coro)
    assert released() is None and coro.cr_frame is None


@pytest.mark.parametrize("how", ["by the awaited object's close()", "by a warning made unraisable"])
def test_a_coroutine_its_finaliser_resurrects_stays_tracked(how, monkeypatch):
    kept = []

    class Resurrecting:  # closed by the coroutine's finaliser, it keeps the coroutine
        __await__ = __iter__ = lambda self: self
        __next__ = lambda self: "waiting"
        close = lambda self: kept.append(self.coroutine())

    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: kept.append(unraisable.object))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # "never awaited" becomes unraisable
        awaited = Resurrecting() if how == "by the awaited object's close()" else None
        coro = nt.await_value(awaited)
        if awaited:
            awaited.coroutine = weakref.ref(coro)
            coro.send(None)
        del awaited, coro
    [resurrected] = kept
    assert gc.is_tracked(resurrected) and resurrected.cr_frame is None
    released = weakref.ref(resurrected)
    del kept[:], resurrected
    gc.collect()
    assert released() is None


def test_inspect_and_asyncio_read_the_state():
    seen = []

    class Looking:
        def __await__(self):
            seen.append(inspect.getcoroutinestate(coro))
            return (yield)

    coro = nt.await_value(Looking())
    seen.append(inspect.getcoroutinestate(coro))
    coro.send(None)
    seen.append(inspect.getcoroutinestate(coro))
    with pytest.raises(StopIteration):
        coro.send(None)
    seen.append(inspect.getcoroutinestate(coro))
    assert seen == [inspect.CORO_CREATED, inspect.CORO_RUNNING, inspect.CORO_SUSPENDED, inspect.CORO_CLOSED]

    async def main():
        task = asyncio.ensure_future(nt.await_value(asyncio.sleep(0.01)))
        await asyncio.sleep(0)
        task.print_stack(file=io.StringIO())
        names = [frame.f_code.co_name for frame in task.get_stack()]
        await task
        return names

    assert asyncio.run(main()) == ["await_value"]
