"""The paginator and the query specifier: native types that behave as plain classes with two slots."""

import copy
import gc
import pickle
import tracemalloc
import weakref
from types import MappingProxyType
from typing import Any

import pytest

from kestrum_utils.query.data_models.paginator import NumberPaginator
from kestrum_utils.query.data_models.query_specifier import QuerySpecifier

KINDS = [(NumberPaginator, ("limit", "offset"), None), (QuerySpecifier, ("only", "distinct"), [])]


@pytest.mark.parametrize(("cls", "names", "default"), KINDS)
def test_construction_stores_what_it_is_given(cls: Any, names: tuple[str, str], default: Any) -> None:
    first, second = names
    made = cls(**{second: ["b"], first: 3})
    assert (getattr(made, first), getattr(made, second)) == (3, ["b"])
    empty = cls()
    assert getattr(empty, first) == default == getattr(empty, second)
    assert cls(**{first: None}) == empty and cls.__init__ is not object.__init__
    for bad in (lambda: cls(1), lambda: cls(**{first: 1, "other": 2})):
        with pytest.raises(TypeError):
            bad()
    unset = cls.__new__(cls)
    for read in (lambda: getattr(unset, first), unset.model_copy, lambda: repr(unset), lambda: unset == empty):
        with pytest.raises(AttributeError, match=first):
            read()


@pytest.mark.parametrize(("cls", "names", "default"), KINDS)
def test_copies_are_independent_and_round_trip(cls: Any, names: tuple[str, str], default: Any) -> None:
    first, second = names
    shared = [["x"]]
    made = cls(**{first: shared, second: shared})
    deep = made.model_copy(deep=True)
    assert deep == made and getattr(deep, first) is not shared and getattr(deep, first)[0] is not shared[0]
    assert made.model_copy().__getattribute__(first) is shared and copy.copy(made) == made
    assert copy.deepcopy(made) == made and pickle.loads(pickle.dumps(made)) == made
    assert made.model_copy(update=MappingProxyType({second: 5})) == cls(**{first: shared, second: 5})
    with pytest.raises(TypeError):
        made.model_copy(update={1: 2})
    with pytest.raises(TypeError):
        cls.model_copy(object())


def test_a_deep_copy_of_the_paginator_copies_its_pair_at_once() -> None:
    shared = [1]
    deep = NumberPaginator(limit=shared, offset=shared).model_copy(deep=True)  # type: ignore[arg-type]
    assert deep.limit == shared and deep.limit is deep.offset is not shared
    specifier = QuerySpecifier(only=shared, distinct=shared).model_copy(deep=True)  # type: ignore[arg-type]
    assert specifier.only is not specifier.distinct


@pytest.mark.parametrize(("cls", "names", "default"), KINDS)
def test_subclasses_are_copied_through_their_own_attributes(cls: Any, names: tuple[str, str], default: Any) -> None:
    first, second = names
    seen: list[Any] = []

    class Watched(cls):  # type: ignore[misc, valid-type]
        def __init__(self, value: Any = 1) -> None:
            super().__init__(**{first: value})

    def store(self: Any, value: Any) -> None:
        seen.append(value)
        cls.__dict__[first].__set__(self, value)

    setattr(Watched, first, property(cls.__dict__[first].__get__, store))
    made = Watched(7)
    copied = made.model_copy(deep=True)
    assert type(copied) is Watched and copied == made and seen == [7, 7]
    assert repr(copied).startswith("Watched(") and made != cls(**{first: 7})


@pytest.mark.parametrize(("cls", "names", "default"), KINDS)
def test_cycles_through_values_are_collected_and_nothing_leaks(cls: Any, names: tuple[str, str], default: Any) -> None:
    class Holder:
        pass

    made, holder = cls(), Holder()
    setattr(made, names[0], holder)
    holder.back = made  # type: ignore[attr-defined]
    watched = weakref.ref(holder)
    del made, holder
    gc.collect()
    assert watched() is None
    source = cls(**{names[0]: ["a"], names[1]: ["b"]})
    tracemalloc.start()
    try:
        for round_ in range(3):
            for _ in range(2000):
                cls(**{names[0]: None, names[1]: None}).model_copy(deep=True).model_copy(update={names[1]: 1})
                source.model_copy(deep=True)
            gc.collect()
            if round_ == 0:
                before = tracemalloc.get_traced_memory()[0]
        assert tracemalloc.get_traced_memory()[0] - before < 10_000
    finally:
        tracemalloc.stop()
