"""The caches and lookups of the query-set module while code runs at awkward moments:
finalisers and weakref callbacks run by a release, __eq__ run by a dict lookup,
__getattribute__ of a module whose class changed. Results must be those of the Python code."""

import asyncio
import copy
import gc
import json
import random
import sys
import types
import weakref
from collections.abc import Callable
from typing import Any

import pytest
from qs_support import Parcel

import kestrum_glue as glue
from kestrum_data.services import historical_table_schema
from kestrum_glue import Data
from kestrum_models.classes import model
from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase
from kestrum_models.querysets.executor import DEFAULT_DB_ALIAS, register_backend, unregister_backend
from kestrum_models.querysets.testing import MemoryBackend
from kestrum_utils.query.utils import Q
from kestrum_utils.utils.decorators import mode


def row(code: str = "a") -> Data:
    """A row whose creation reads json.loads, glue.Version and both call-time imports once each."""
    metadata = {"object_id": "1", "class_schema_reference": {"ref": {"object_version": "LATEST"}}}
    return Data({"code": code, "_metadata": metadata})


def create(qs: Any, data: Data | None = None) -> Any:
    return qs._create_instance(_is_partial=False, data=data or row())


# Where creating a row reads a collaborator: (holder, name, a maker of stand-ins for it).
# The holder is a global of the query-set module, or a module in sys.modules.
SOURCES: dict[str, tuple[str, str, Callable[[], Any]]] = {
    "json.loads": ("json", "loads", lambda: lambda text: json.loads(text)),
    "glue.Version": ("glue", "Version", lambda: types.SimpleNamespace(LATEST=glue.Version.LATEST)),
    # Neither is used by these rows beyond the import.
    "LegacyModel": (model.__name__, "LegacyModel", lambda: lambda **fields: None),
    "COMPATIBLE_CLASS_VERSIONS": (historical_table_schema.__name__, "COMPATIBLE_CLASS_VERSIONS", lambda: lambda: None),
}


def stand_in(source: str) -> types.ModuleType:
    """A module holding a stand-in of its own for the source's value."""
    _, name, make = SOURCES[source]
    module = types.ModuleType("stand_in")
    setattr(module, name, make())
    return module


Install = Callable[[str, types.ModuleType], None]


@pytest.fixture
def install(monkeypatch: pytest.MonkeyPatch) -> Install:
    """Makes a module the holder of a source; every holder is restored after the test."""
    for holder, _, _ in SOURCES.values():
        if "." in holder:
            monkeypatch.setitem(sys.modules, holder, sys.modules[holder])
        else:
            monkeypatch.setattr(dunmere, holder, getattr(dunmere, holder))

    def install(source: str, module: types.ModuleType) -> None:
        holder, _, _ = SOURCES[source]
        if "." in holder:
            sys.modules[holder] = module
        else:
            setattr(dunmere, holder, module)

    return install


@pytest.mark.parametrize("source", list(SOURCES))
def test_a_release_that_deletes_the_value_just_read(install: Install, source: str) -> None:
    """Replacing a cache entry releases the old one; code run by that release (a weakref
    callback on the old module or value) may delete the value just read: that value is
    still used, and the next read sees it gone, as in Python."""
    holder, name, _ = SOURCES[source]
    old = stand_in(source)
    install(source, old)
    qs = QuerySetBase(Parcel)  # one query set: nothing else renews the caches meanwhile
    create(qs)
    new = stand_in(source)
    install(source, new)
    watched = getattr(old, name) if "." in holder else old
    watch = weakref.ref(watched, lambda _: delattr(new, name))
    del old, watched
    assert type(create(qs)) is Parcel and watch() is None
    with pytest.raises((AttributeError, ImportError), match=name):
        create(qs)


@pytest.mark.parametrize("source", list(SOURCES))
def test_a_module_whose_class_changes_answers_through_its_new_class(install: Install, source: str) -> None:
    asked = []

    class Watched(types.ModuleType):
        def __getattribute__(self, attribute: str) -> Any:
            asked.append(attribute)
            return super().__getattribute__(attribute)

    module = stand_in(source)
    install(source, module)
    qs = QuerySetBase(Parcel)
    create(qs)
    module.__class__ = Watched
    create(qs)
    assert SOURCES[source][1] in asked
    asked.clear()
    module.__class__ = types.ModuleType
    create(qs)
    assert asked == []


class ChangesClassWhenCompared:
    """A class-dict key that a lookup of `name` compares: the first comparison runs `change`."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.change: Any = None

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        change, self.change = self.change, None
        if change:
            change()
        return False


@pytest.mark.parametrize(
    ("replaced", "operation"),
    [
        ("_copy", lambda qs: qs.using("replica")),
        ("_from_queryset", lambda qs: qs._copy()),
        ("_filter", lambda qs: qs.filter(code="a")),
        ("_create_instance", lambda qs: QuerySet.execute(qs)),
    ],
)
def test_a_class_changed_while_it_is_resolved_is_resolved_again(replaced: str, operation: Any) -> None:
    """What a class resolves is cached under its version tag; a change made while it is
    being resolved (by a key's __eq__ in the class dict, compared when the last of the
    names is looked up) must not be filed as current."""
    key = ChangesClassWhenCompared("_acreate_instance")
    cls = type("Hostile", (QuerySet,), {key: None})
    called = []

    def override(*args: Any, **kwargs: Any) -> Any:
        called.append(replaced)
        return getattr(QuerySet, replaced).__get__(args[0])(*args[1:], **kwargs)

    key.change = lambda: setattr(cls, replaced, classmethod(override) if replaced == "_from_queryset" else override)
    qs = cls(Parcel)
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend([Data({"code": "a"})]))
    try:
        with mode("sync"):
            operation(qs)
    finally:
        unregister_backend(DEFAULT_DB_ALIAS)
    assert called == [replaced]


def test_a_method_looked_up_before_its_holder_is_replaced_keeps_its_holder(monkeypatch: pytest.MonkeyPatch) -> None:
    """`QuerySetOne._from_queryset(self._filter(...))` looks the method up first; a _filter
    that replaces the global (dropping the old holder) does not change what is called."""

    class Converter:
        def __init__(self, tag: str) -> None:
            self.tag = tag

        def _from_queryset(self, source: Any) -> Any:
            return self.tag, source

    class Replacing(QuerySet):
        def _filter(self, *args: Any, **kwargs: Any) -> Any:
            dunmere.QuerySetOne = Converter("new")
            gc.collect()
            return self

    monkeypatch.setattr(dunmere, "QuerySetOne", Converter("old"))
    qs = Replacing(Parcel)
    assert qs.get_or_none(code="a") == ("old", qs)


def test_a_delegation_whose_walk_replaces_the_mro_it_walks() -> None:
    """super().filter walks the class's MRO; a key compared on the way may replace it."""
    key = ChangesClassWhenCompared("filter")
    mixin = type("Mixin", (QuerySetBase,), {key: None})
    cls = type("Rebased", (QuerySet, mixin), {})
    reused = []

    def rebase() -> None:
        size = len(cls.__mro__)
        cls.__bases__ = (QuerySet,)
        reused.append(tuple(range(size)))  # a tuple of that size may take the old MRO's place

    key.change = rebase
    qs = cls(Parcel).filter(code="a")
    assert key.change is None and cls.__mro__[1:3] == (QuerySet, QuerySetBase)
    assert type(qs) is cls and qs._conditions is not None


def test_copies_made_while_a_copy_template_is_evicted_keep_their_own_state() -> None:
    """The release of an evicted copy template can run a finaliser (of an alias it held)
    that makes copies of other query sets: each copy, and each later one, gets its own state."""
    inner = [type(f"Inner{i}", (), {}) for i in range(6)]
    made = []

    class Alias(str):
        def __del__(self) -> None:
            made.extend((entity, QuerySet(entity)._copy()) for entity in inner)

    qs = QuerySet(Parcel)
    qs._using = Alias("doomed")
    qs._copy()
    del qs  # a copy template holds the last reference to the alias
    outer = [type(f"Outer{i}", (), {}) for i in range(4)]
    copies = [(entity, QuerySet(entity)._copy()) for entity in outer]
    assert len(made) == len(inner)
    for entity, qs in copies + made + [(entity, QuerySet(entity)._copy()) for entity in outer + inner]:
        assert qs._entity is entity and qs._using == DEFAULT_DB_ALIAS


COPYING: dict[str, Callable[[Any], Any]] = {
    "_copy": lambda qs: qs._copy(),
    "copy.copy": lambda qs: copy.copy(qs),
    "using": lambda qs: qs.using("replica"),
    "filter": lambda qs: qs.filter(code="a"),
}


@pytest.mark.parametrize("operation", list(COPYING))
def test_a_classmethod_retargeted_in_place_is_the_one_called(operation: str) -> None:
    """A classmethod's __init__ makes it wrap another function, which no version tag records."""
    wrapper = QuerySetBase.__dict__["_from_queryset"]
    original, attributes = wrapper.__func__, dict(vars(wrapper))
    called = []
    wrapper.__init__(lambda cls, queryset: called.append(cls) or original(cls, queryset))
    try:
        copied = COPYING[operation](QuerySet(Parcel))
    finally:
        wrapper.__init__(original)
        vars(wrapper).clear()
        vars(wrapper).update(attributes)
    assert called == [QuerySet] and type(copied) is QuerySet


class OwnConstructor(QuerySet):
    def __init__(self, entity: Any) -> None:
        super().__init__(entity)


@pytest.mark.parametrize("base", [QuerySet, dunmere.QuerySetOne, dunmere.QuerySetCount, OwnConstructor])
def test_a_failed_copy_finalises_no_unbuilt_query_set(base: type) -> None:
    """A copy that fails part-way (the paginator cannot be copied) leaves no half-built query
    set behind for a finaliser to see."""
    built = set(vars(base(Parcel)))
    finalised = []
    cls = type("Finalised", (base,), {"__del__": lambda self: finalised.append(set(vars(self)))})
    qs = cls(Parcel)
    qs._paginator = types.SimpleNamespace(model_copy=lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        qs._copy()
    del qs
    gc.collect()
    assert finalised and all(seen >= built for seen in finalised)


# ---- Everything at once ------------------------------------------------------------------------


class Swapped(QuerySet):
    """A query-set class whose methods the saboteurs below override and restore."""


def python_copy(self: Any) -> Any:
    return self._from_queryset(self)


def python_filter(self: Any, *args: Any, **kwargs: Any) -> Any:
    return QuerySetBase._filter(self, *args, **kwargs)


class Watched(types.ModuleType):
    def __getattribute__(self, name: str) -> Any:
        return super().__getattribute__(name)


class Saboteurs:
    """Changes that keep every result the same (a collaborator replaced by an equivalent one
    of its own, a method overridden by an equivalent one or restored, copies of other query
    sets made), made by finalisers and weakref callbacks, so at whatever moment the
    interpreter releases an object."""

    def __init__(self, seed: int) -> None:
        self.random = random.Random(seed)
        self.budget = 0  # bounds the chains of changes that changes set off
        schema, constant = historical_table_schema.__name__, historical_table_schema.COMPATIBLE_CLASS_VERSIONS
        self.changes = [
            lambda: setattr(dunmere, "json", self.module("json", loads=self.loads())),
            lambda: self.is_ours(dunmere.json) and setattr(dunmere.json, "loads", self.loads()),
            lambda: self.is_ours(dunmere.json) and setattr(dunmere.json, "__class__", Watched),
            lambda: setattr(dunmere, "glue", self.module("glue", Version=types.SimpleNamespace(LATEST="LATEST"))),
            lambda: sys.modules.__setitem__(model.__name__, self.module(model.__name__, **vars(model))),
            lambda: sys.modules.__setitem__(schema, self.module(schema, COMPATIBLE_CLASS_VERSIONS="".join(constant))),
            lambda: setattr(dunmere, "Q", Q),  # the same value: the dict changes all the same
            lambda: setattr(Swapped, "_copy", python_copy),
            lambda: vars(Swapped).get("_copy") and delattr(Swapped, "_copy"),
            lambda: setattr(Swapped, "_filter", python_filter),
            lambda: vars(Swapped).get("_filter") and delattr(Swapped, "_filter"),
            lambda: setattr(Swapped, "marker", object()),  # renews the version tag
            lambda: [QuerySet(entity)._copy() for entity in OTHER_ENTITIES],
            lambda: gc.collect(),
        ]

    @staticmethod
    def loads() -> Any:
        return lambda text: json.loads(text)  # a function of its own, freed with its holder

    @staticmethod
    def is_ours(module: Any) -> bool:
        return "_watch" in vars(module)

    def change(self, *_: Any) -> None:
        if self.budget > 0:
            self.budget -= 1
            self.random.choice(self.changes)()

    def module(self, name: str, **attributes: Any) -> types.ModuleType:
        """A module that sets off another change when it is released (by a cache, say)."""
        module = types.ModuleType(name)
        vars(module).update(attributes)
        vars(module)["_watch"] = weakref.ref(module, self.change)
        return module

    def garbage(self) -> Any:
        """A cycle whose collection runs a finaliser and a weakref callback."""
        saboteurs = self

        class Dropped:
            def __del__(self) -> None:
                saboteurs.change()

        dropped = Dropped()
        dropped.cycle = [dropped, weakref.ref(dropped, self.change)]
        return dropped

    def alias(self) -> str:
        """A database alias that sets off a change when its last holder lets it go."""
        saboteurs = self

        class Alias(str):
            def __del__(self) -> None:
                saboteurs.change()

        return Alias(DEFAULT_DB_ALIAS)


OTHER_ENTITIES = [type(f"Other{i}", (), {}) for i in range(5)]
ROWS = [
    Data({"code": code, "weight": weight, "_metadata": json.dumps({"object_id": str(weight)})})
    for code, weight in [("a", 3), ("b", 1), ("c", 2)]
]
BUILDING = [
    (lambda qs: qs.filter(code="a"), lambda qs: qs._conditions is not None),
    (lambda qs: qs.exclude(Q(code="a"), weight=1), lambda qs: qs._conditions is not None),
    (lambda qs: qs.only(["code"]).only(["weight"]), lambda qs: qs._query_specifier.only == ["code", "weight"]),
    (lambda qs: qs.distinct(["code"]), lambda qs: qs._query_specifier.distinct == ["code"]),
    (lambda qs: qs.order_by("-weight"), lambda qs: [o.field for o in qs._order_by] == ["weight"]),
    (lambda qs: qs.using("replica"), lambda qs: qs._using == "replica"),
    (lambda qs: qs[1:3], lambda qs: (qs._paginator.offset, qs._paginator.limit) == (1, 2)),
    (lambda qs: qs.select_related("a__b"), lambda qs: qs._select_related == {"a": {"b": {}}}),
    (lambda qs: qs.latest(), lambda qs: qs._conditions is not None),
    (lambda qs: qs.get(code="a"), lambda qs: type(qs).__name__ == "QuerySetOneRequired"),
    (lambda qs: qs.first(), lambda qs: qs._raise_on_multiple is False),
    (lambda qs: qs.count(), lambda qs: type(qs).__name__ == "QuerySetCount"),
]


async def run_coroutines(qs: Any) -> None:
    assert [obj.code for obj in await qs.order_by("code").aexecute()] == ["a", "b", "c"]
    assert (await qs.get(code="b").aexecute()).weight == 1
    assert await qs.filter(weight__gt=1).count().aexecute() == 2
    assert (await qs.order_by("weight").first().aexecute()).code == "b"
    assert (await qs._acreate_instance(_is_partial=False, data=row("d"))).code == "d"


def test_operations_stay_sound_while_finalisers_replace_what_they_read(install: Install) -> None:
    saboteurs = Saboteurs(seed=10)
    register_backend(DEFAULT_DB_ALIAS, MemoryBackend(ROWS))
    loop = asyncio.new_event_loop()
    thresholds = gc.get_threshold()
    gc.set_threshold(25, 2, 2)  # collections (and their finalisers) at many more points
    try:
        for _ in range(150):
            saboteurs.budget = 2
            qs = Swapped(Parcel)
            qs.annotate(rank=saboteurs.garbage())
            qs._using = saboteurs.alias()
            for build, check in BUILDING:
                saboteurs.budget = 2
                built = build(qs)
                assert built._entity is Parcel and check(built)
                saboteurs.garbage()
            saboteurs.budget = 4
            qs._using = DEFAULT_DB_ALIAS  # an exact str to run with (get_using() is checked)
            with mode("sync"):
                assert [obj.code for obj in qs.filter(weight__lt=3).order_by("weight").execute()] == ["b", "c"]
                assert create(qs, row("e")).code == "e"
            saboteurs.budget = 4
            with mode("async"):
                loop.run_until_complete(run_coroutines(qs))
    finally:
        saboteurs.budget = 0  # no more changes, not even while the test's own are undone
        gc.set_threshold(*thresholds)
        loop.close()
        unregister_backend(DEFAULT_DB_ALIAS)
