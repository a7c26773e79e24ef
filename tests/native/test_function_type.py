"""The native function type as Python code sees it: attributes, binding, introspection."""

import asyncio
import copy
import functools
import gc
import inspect
import pickle
import pydoc

import pytest

from kestrum_models import _native_testing as nt


def test_function_attributes():
    f = nt.with_defaults
    assert (f.__name__, f.__qualname__, f.__module__) == ("with_defaults", "with_defaults", "kestrum_models._native_testing")
    assert f.__doc__ == "Defaults and checks."
    assert f.__annotations__ == {
        "table_name": "str",
        "columns": "list[dict[str, Any]]",
        "connection_name": "str | None",
        "return": "ObjectSchema",
    }
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert nt.varargs.__defaults__ is None and nt.varargs.__kwdefaults__ == {"negated": False}
    assert nt.positional.__doc__ is None
    assert nt.Base.who.__qualname__ == "Base.who" and nt.Derived.who.__qualname__ == "Derived.who"


def test_attributes_are_writable_like_python_functions():
    f = nt.returns_any
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    with pytest.raises(TypeError):
        f.__name__ = 3


def test_signature_and_help_show_real_parameters():
    assert str(inspect.signature(nt.with_defaults)) == (
        "(self, table_name: 'str', columns: 'list[dict[str, Any]]', connection_name: 'str | None' = None)"
        " -> 'ObjectSchema'"
    )
    assert str(inspect.signature(nt.varargs)) == "(self, *args: 'Q', negated: 'bool' = False, **kwargs: 'Any') -> 'Self'"
    assert str(inspect.signature(nt.Base().who)) == "() -> 'str'"
    text = pydoc.render_doc(nt.Base, renderer=pydoc.plaintext)
    assert "who(self) -> 'str'" in text and "make(value) -> 'Self' from builtins.type" in text
    assert "async await_value(awaitable)" in pydoc.render_doc(nt.await_value, renderer=pydoc.plaintext)


def test_coroutine_marker():
    from asyncio import coroutines

    assert nt.await_value._is_coroutine is coroutines._is_coroutine
    assert nt.positional._is_coroutine is False
    assert asyncio.iscoroutinefunction(nt.await_value) and inspect.iscoroutinefunction(nt.await_value)
    assert not inspect.iscoroutinefunction(nt.positional)


def test_methods_bind_like_python_functions():
    obj = nt.Base()
    assert obj.who() == "Base" and nt.Base.who(obj) == "Base"
    assert nt.Base.who.__get__(None, nt.Base) is nt.Base.who
    bound = obj.who
    assert bound.__self__ is obj and bound.__func__ is nt.Base.__dict__["who"]
    assert nt.Base.make(1) == (nt.Base, 1) and nt.Derived.make(2) == (nt.Derived, 2)
    assert obj.constant == "property value" and nt.Base.identity(5) == 5 == obj.identity(5)
    with pytest.raises(AttributeError):
        obj.constant = 1


def test_super_from_native_and_python_subclasses():
    assert nt.Derived().who() == "Derived>Base"

    class Python(nt.Derived):
        def who(self):
            return "Python>" + super().who()

    assert Python().who() == "Python>Derived>Base"


def test_classes_are_ordinary_generic_classes():
    assert nt.Base.__orig_bases__ == (__import__("typing").Generic[nt.T],)
    assert nt.Base.__mro__[1:] == (__import__("typing").Generic, object)
    assert type(nt.Base) is type and nt.Base.__doc__ == "A generic base class."
    assert nt.Base[int].__origin__ is nt.Base
    assert nt.Base.__module__ == "kestrum_models._native_testing"


def test_functions_pickle_and_copy_by_reference():
    for f in (nt.positional, nt.Base.who, nt.await_value):
        assert pickle.loads(pickle.dumps(f)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_functools_wraps_and_repr():
    @functools.wraps(nt.with_defaults)
    def wrapper(*args, **kwargs):
        return nt.with_defaults(*args, **kwargs)

    assert wrapper.__name__ == "with_defaults" and wrapper.__wrapped__ is nt.with_defaults
    assert wrapper.__annotations__ == nt.with_defaults.__annotations__
    assert repr(nt.Base.who).startswith("<function Base.who at 0x")


def test_functions_report_what_they_hold_to_the_collector():
    # A method holds its class (for super()), and the class holds the method: a cycle
    # the collector must be able to see.
    assert nt.Base in gc.get_referents(nt.Base.__dict__["who"])
    nt.returns_any.marker = marker = object()
    try:
        assert nt.returns_any.__dict__ in gc.get_referents(nt.returns_any)
    finally:
        del nt.returns_any.marker
    assert marker is not None


def test_globals_are_looked_up_at_call_time():
    assert nt.global_lookup("len") is len
    nt.late = object()
    try:
        assert nt.global_lookup("late") is nt.late
    finally:
        del nt.late
    with pytest.raises(NameError, match="^name 'late' is not defined$"):
        nt.global_lookup("late")
