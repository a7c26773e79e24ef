import copy
import operator
from types import SimpleNamespace
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from pydantic import ValidationError

from kestrum_utils.query.data_models.order_by import OrderBy
from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.data_models.query_specifier import QuerySpecifier
from kestrum_utils.query.utils import Q, split_lookup

# Operators that work on the small integers the rows below hold; "class" is a Python
# keyword, so repr() cannot spell it as a keyword argument.
_KEYS = ["a", "b", "c__gt", "d__lte", "a__ne", "class"]
_leaves = st.builds(lambda key, value: Q(**{key: value}), st.sampled_from(_KEYS), st.integers(0, 2))
_ops = [operator.and_, operator.or_]
conditions = st.recursive(
    _leaves | st.just(Q()),
    lambda inner: st.builds(lambda op, a, b: op(a, b), st.sampled_from(_ops), inner, inner)
    | st.builds(operator.invert, inner),
    max_leaves=10,
)
rows = st.fixed_dictionaries({}, optional={key: st.integers(0, 2) | st.none() for key in ["a", "b", "c", "d", "class"]})


@given(conditions)
def test_repr_round_trips_through_eval(q: Q) -> None:
    assert eval(repr(q), {"Q": Q}) == q


@given(conditions, conditions, rows)
def test_operators_build_new_conditions_with_boolean_meaning(left: Q, right: Q, row: dict[str, Any]) -> None:
    before = copy.deepcopy((left, right))
    both, either, negated = left & right, left | right, ~left
    assert all(result is not left and result is not right for result in (both, either, negated))
    assert (left, right) == before
    # The empty condition matches every row but drops out of any combination.
    hit_left, hit_right = left.matches(row), right.matches(row)
    assert both.matches(row) == (hit_left and hit_right)
    assert either.matches(row) == ((hit_left or hit_right) if left and right else (hit_left if left else hit_right))
    assert negated.matches(row) == ((not hit_left) if left else True)


def test_in_place_operators_rebind_instead_of_changing_the_callers_condition() -> None:
    def narrowed(condition: Q) -> Q:
        condition &= Q(b=2)
        condition |= Q(c=3)
        return condition

    original = Q(a=1)
    assert narrowed(original) == (Q(a=1) & Q(b=2)) | Q(c=3)
    assert original == Q(a=1)


@pytest.mark.parametrize("op", [operator.and_, operator.or_])
def test_empty_and_foreign_operands(op: Any) -> None:
    other = Q(a=1) | ~Q(b=2)
    for result in (op(other, Q()), op(Q(), other)):
        assert result == other and result is not other
    assert not Q() and ~Q() == Q() and Q(a=None)
    with pytest.raises(TypeError):
        op(other, {"a": 1})
    with pytest.raises(TypeError):
        hash(other)


@pytest.mark.parametrize(
    ("left", "right", "equal"),
    [
        (Q(a=1) & Q(b=2), Q(a=1, b=2), True),
        (~~Q(a=1), Q(a=1), True),
        (copy.copy(Q(a=1) | Q(b=2)), Q(a=1) | Q(b=2), True),
        (Q(a=1), Q(a=2), False),
        (Q(a=1) | Q(b=2), Q(a=1) & Q(b=2), False),
    ],
)
def test_structural_equality(left: Q, right: Q, equal: bool) -> None:
    assert (left == right) is equal


@pytest.mark.parametrize(
    ("q", "text"),
    [(Q(x=1) & ~Q(y=2), "Q(x=1) & ~Q(y=2)"), (Q(a=1, b=2), "Q(a=1, b=2)"), (Q(a=1) & Q(a=2), "Q(a=1) & Q(a=2)")],
)
def test_repr_reads_as_expression(q: Q, text: str) -> None:
    assert repr(q) == text


@pytest.mark.parametrize(
    ("key", "path", "op"),
    [
        ("age__gte", ("age",), "gte"),
        ("_address__object_id", ("_address", "object_id"), "exact"),
        ("_address__object_id__in", ("_address", "object_id"), "in"),
        ("in", ("in",), "exact"),
    ],
)
def test_split_lookup(key: str, path: tuple[str, ...], op: str) -> None:
    assert split_lookup(key) == (path, op)
    assert [(lookup.path, lookup.operator) for lookup in Q(**{key: 1}).iter_lookups()] == [(path, op)]
    with pytest.raises(ValueError):
        Q(**{f"{key}____x": 1})


@pytest.mark.parametrize(
    ("key", "value", "row", "expected"),
    [
        ("name__exact", None, {}, True),
        ("name__ne", "x", {"name": "x"}, False),
        ("age__gte", 3, {"age": 3}, True),
        ("age__lt", 3, {"age": None}, False),
        ("age__in", [1, 2], {"age": 2}, True),
        ("tags__contains", "a", {"tags": ["a", "b"]}, True),
        ("name__icontains", "ELL", {"name": "hello"}, True),
        ("name__startswith", "he", {"name": 5}, False),
        ("name__isnull", False, {"name": 0}, True),
        ("_address__object_id", 7, {"_address": {"object_id": 7}}, True),
        ("_address__object_id", 7, {"_address": SimpleNamespace(object_id=7)}, True),
        ("_address__object_id", 7, {"_address": None}, False),
    ],
)
def test_matches_lookup(key: str, value: Any, row: dict[str, Any], expected: bool) -> None:
    assert Q(**{key: value}).matches(row) is expected
    assert (~Q(**{key: value})).matches(row) is not expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("name", OrderBy(field="name")),
        ("  -created_at ", OrderBy(field="created_at", descending=True)),
        (5, TypeError),
        ("", ValueError),
        (" - ", ValueError),
    ],
)
def test_order_by_from_string(text: Any, expected: OrderBy | type[Exception]) -> None:
    if isinstance(expected, OrderBy):
        assert OrderBy.from_string(text) == expected
    else:
        with pytest.raises(expected):
            OrderBy.from_string(text)


def test_query_data_models_copy_independently() -> None:
    with pytest.raises(ValidationError):
        OrderBy(field="a").field = "b"  # type: ignore[misc]
    paginator = NumberPaginator(offset=5, limit=10)
    copied = paginator.model_copy()
    copied.limit = "5"  # type: ignore[assignment]  # stored as given: executors validate, not assignment
    assert (copied.limit, paginator.limit) == ("5", 10)  # type: ignore[comparison-overlap]
    specifier = QuerySpecifier(only=["a"])
    deep = specifier.model_copy(deep=True)
    deep.only.append("b")
    deep.distinct.append("c")
    assert specifier == QuerySpecifier(only=["a"]) and QuerySpecifier().only is not QuerySpecifier().only


@pytest.mark.parametrize("only", [["a", "b"], [["nested"]], []])
def test_query_specifier_deep_copy_shares_no_list(only):
    from kestrum_utils.query.data_models.query_specifier import QuerySpecifier

    specifier = QuerySpecifier(only=["x"], distinct=["d"])
    specifier.only = only
    copied = specifier.model_copy(deep=True)
    assert copied == specifier
    assert copied.only is not specifier.only and copied.distinct is not specifier.distinct
    if only and isinstance(only[0], list):
        assert copied.only[0] is not only[0]


@pytest.mark.parametrize(
    ("made", "changed"),
    [
        (NumberPaginator(limit=3, offset=None), {"offset": 5}),
        (QuerySpecifier(only=["a"], distinct=[]), {"distinct": ["b"]}),
    ],
)
def test_query_data_models_show_themselves_and_compare_by_value(made: Any, changed: dict[str, Any]) -> None:
    assert eval(repr(made)) == made and made.model_copy() == made and made.model_copy(deep=True) == made
    updated = made.model_copy(update=changed)
    assert updated != made and updated.model_copy(update={name: getattr(made, name) for name in changed}) == made
    assert made != object() and type(made)() != made


def test_conditions_are_shared_safely_by_copies() -> None:
    source = Q(a=1) | Q(b=2)
    copied = source.__copy__()
    combined = copied
    combined &= ~Q(c=3)
    assert copied == source and repr(source) == "Q(a=1) | Q(b=2)" and combined == Q(source, ~Q(c=3))
    assert OrderBy.from_string("-a") is OrderBy.from_string("-a") == OrderBy(field="a", descending=True)
