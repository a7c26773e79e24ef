"""Argument binding, argument checks and result checks of the native function type."""

from decimal import Decimal

import pytest

from kestrum_models import _native_testing as nt


class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: nt.positional(), "positional() takes exactly 2 positional arguments (0 given)"),
        (lambda: nt.positional(1), "positional() takes exactly 2 positional arguments (1 given)"),
        (lambda: nt.positional(1, "b", 3), "positional() takes exactly 2 positional arguments (3 given)"),
        (lambda: nt.with_defaults(1), "with_defaults() takes at least 3 positional arguments (1 given)"),
        (lambda: nt.with_defaults(1, "t", [], None, 5), "with_defaults() takes at most 4 positional arguments (5 given)"),
        # A required parameter missing among keywords: the count is that of the parameters before it.
        (lambda: nt.with_defaults(1, columns=[]), "with_defaults() takes at least 3 positional arguments (1 given)"),
        (lambda: nt.with_defaults(table_name="t", columns=[]), "with_defaults() takes at least 3 positional arguments (0 given)"),
        (lambda: nt.with_defaults(1, "t"), "with_defaults() takes at least 3 positional arguments (2 given)"),
        (lambda: nt.varargs(), "varargs() takes at least 1 positional argument (0 given)"),
        (lambda: nt.keyword_only(1, True, 2), "keyword_only() takes exactly 1 positional argument (3 given)"),
        (lambda: nt.keyword_only(1, data=2), "keyword_only() needs keyword-only argument _is_partial"),
        (lambda: nt.keyword_only(1, _is_partial=1), "keyword_only() needs keyword-only argument data"),
        (lambda: nt.positional(1, b="x", c=2), "positional() got an unexpected keyword argument 'c'"),
        (lambda: nt.positional(1, "x", a=2), "positional() got multiple values for keyword argument 'a'"),
        (lambda: nt.varargs(1, 2, self=3), "varargs() got multiple values for keyword argument 'self'"),
        # A missing required parameter is reported before a bad keyword.
        (lambda: nt.with_defaults(1, bogus=2), "with_defaults() takes at least 3 positional arguments (1 given)"),
    ],
)
def test_arity_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_by_position_keyword_and_default():
    assert nt.with_defaults(0, "t", []) == (0, "t", [], None)
    assert nt.with_defaults(columns=[1], table_name="t", self=0, connection_name="c") == (0, "t", [1], "c")
    assert nt.varargs(0, 1, 2, negated=[], x=1, y=2) == (0, (1, 2), False, {"x": 1, "y": 2})
    assert nt.varargs(0) == (0, (), False, {})
    assert nt.keyword_only(0, data="d", _is_partial="yes") == (0, True, "d")


@pytest.mark.parametrize(
    ("call", "name", "expected", "given"),
    [
        (lambda: nt.positional(1, 2), "b", "str", "int"),
        (lambda: nt.positional(1, None), "b", "str", "NoneType"),
        (lambda: nt.positional(1, b"x"), "b", "str", "bytes"),
        (lambda: nt.positional(1, StrSub("x")), "b", "str", "StrSub"),
        (lambda: nt.with_defaults(0, "t", ()), "columns", "list", "tuple"),
        (lambda: nt.with_defaults(0, "t", ListSub()), "columns", "list", "ListSub"),
        (lambda: nt.with_defaults(0, "t", [], 5), "connection_name", "str", "int"),
        # Checks run in parameter order.
        (lambda: nt.with_defaults(0, None, None, 5), "table_name", "str", "NoneType"),
    ],
)
def test_argument_type_checks(call, name, expected, given):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {given})"
    notes = getattr(info.value, "__notes__", [])
    if given in ("StrSub", "ListSub"):
        assert len(notes) == 1 and "Subclasses of built-in types are rejected" in notes[0]
    else:
        assert notes == []


def test_bool_parameters_take_the_truth_value():
    class Truthy:
        def __bool__(self):
            return True

    class Broken:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    assert nt.varargs(0, negated=Truthy())[2] is True
    assert nt.varargs(0, negated=[])[2] is False
    with pytest.raises(ZeroDivisionError, match="no truth"):
        nt.varargs(0, negated=Broken())


@pytest.mark.parametrize(
    ("function", "value", "message"),
    [
        (nt.returns_str, 1, "Expected str, got int"),
        (nt.returns_str, StrSub("x"), "Expected str, got StrSub"),
        (nt.returns_list, (1,), "Expected list, got tuple"),
        (nt.returns_list, ListSub(), "Expected list, got ListSub"),
        (nt.returns_bytes, bytearray(b"x"), "Expected bytes, got bytearray"),
        (nt.returns_int, "3", "Expected int, got str"),
        (nt.returns_int, [3], "Expected int, got list"),
    ],
)
def test_result_checks_refuse(function, value, message):
    with pytest.raises(TypeError) as info:
        function(value)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("function", "value", "expected"),
    [
        (nt.returns_str, "x", "x"),
        (nt.returns_list, [1], [1]),
        (nt.returns_bytes, b"x", b"x"),
        (nt.returns_int, 7, 7),
        (nt.returns_int, True, 1),
        (nt.returns_int, 3.7, 3),
        (nt.returns_int, -3.7, -3),
        (nt.returns_int, Decimal("9.9"), 9),
        (nt.returns_any, {"a": {}}, {"a": {}}),
        (nt.returns_any, "anything", "anything"),
    ]
    + [(f, None, None) for f in (nt.returns_str, nt.returns_list, nt.returns_bytes, nt.returns_int)],
)
def test_result_checks_pass(function, value, expected):
    result = function(value)
    assert result == expected and type(result) is type(expected)


def test_int_result_keeps_the_exact_object():
    big = 10**30
    assert nt.returns_int(big) is big
