"""Jorvale: resolving a reference's class and building the query that loads it."""

import asyncio
import gc
import inspect
import sys
import types
import weakref
from asyncio import coroutines

import pytest

import kestrum_models.querysets.dunmere as dunmere
from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_models.classes.class_manager import ClassManager, ClassNotFoundError
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.classes.model import Model
from kestrum_utils.models.data_models.reference import Reference, ReferenceRef
from kestrum_utils.models.enums import Versions


class JorvaleItem(Model):
    name: str = ""


class RecordingQuerySet:
    """Stands in for the query-set class and records the chain of calls made on it."""

    instances: list["RecordingQuerySet"] = []

    def __init__(self, model_class):
        self.log = [("QuerySet", model_class)]
        RecordingQuerySet.instances.append(self)

    def using(self, alias):
        self.log.append(("using", alias))
        return self

    def get(self, **lookups):
        self.log.append(("get", lookups))
        return self

    def only(self, fields):
        self.log.append(("only", fields))
        return self

    def execute(self):
        self.log.append(("execute",))
        return "loaded"

    async def aexecute(self):
        await asyncio.sleep(0)
        self.log.append(("aexecute",))
        return "loaded asynchronously"


@pytest.fixture
def recorder(monkeypatch):
    RecordingQuerySet.instances = []
    monkeypatch.setattr(dunmere, "QuerySet", RecordingQuerySet, raising=False)
    return RecordingQuerySet


def reference(class_version="LATEST", object_version="LATEST", object_id="id-1", class_name="JorvaleItem"):
    ref = ReferenceRef.model_construct(
        class_name=class_name, class_version=class_version, object_version=object_version, object_id=object_id
    )
    return Reference.model_construct(ref=ref)


@pytest.mark.parametrize(
    ("class_version", "object_version", "alias"),
    [
        ("LATEST", "LATEST", DEFAULT_DB_ALIAS),
        (Versions.LATEST, Versions.LATEST, DEFAULT_DB_ALIAS),
        (Versions.LATEST, "LATEST", DEFAULT_DB_ALIAS),
        ("LATEST", "v7", LAKEHOUSE_DB_ALIAS),
        ("v3", "LATEST", LAKEHOUSE_DB_ALIAS),
        ("v3", "v7", LAKEHOUSE_DB_ALIAS),
        (None, "LATEST", LAKEHOUSE_DB_ALIAS),
    ],
)
def test_alias_and_lookups(recorder, class_version, object_version, alias):
    oid = object()
    assert Jorvale(reference(class_version, object_version, oid)).load_reference() == "loaded"
    (qs,) = recorder.instances
    assert qs.log[:2] == [("QuerySet", JorvaleItem), ("using", alias)]
    assert qs.log[2][0] == "get" and qs.log[3:] == [("execute",)]
    lookups = qs.log[2][1]
    assert list(lookups) == ["_address__class_version", "_address__object_id", "_address__object_version"]
    assert lookups["_address__object_id"] is oid
    for key, given in [("_address__class_version", class_version), ("_address__object_version", object_version)]:
        if given == "LATEST":
            assert lookups[key] is Versions.LATEST
        else:
            assert lookups[key] is given


@pytest.mark.parametrize(
    ("only", "using", "tail"),
    [
        (None, None, []),
        ([], "", []),
        (["name"], None, [("only", ["name"])]),
        (None, "other", [("using", "other")]),
        (["name", "id"], "other", [("only", ["name", "id"]), ("using", "other")]),
    ],
)
def test_only_and_using(recorder, only, using, tail):
    result = asyncio.run(Jorvale(reference("v1", "v2")).aload_reference(only=only, using=using))
    assert result == "loaded asynchronously"
    (qs,) = recorder.instances
    assert qs.log[1] == ("using", LAKEHOUSE_DB_ALIAS)
    assert qs.log[3:] == [*tail, ("aexecute",)]
    if only:
        assert qs.log[3][1] is only


class ListSub(list):
    pass


@pytest.mark.parametrize(
    ("kwargs", "message", "noted"),
    [
        ({"only": ("a",)}, "Argument 'only' has incorrect type (expected list, got tuple)", False),
        ({"only": ListSub(["a"])}, "Argument 'only' has incorrect type (expected list, got ListSub)", True),
        ({"only": ("a",), "using": 5}, "Argument 'only' has incorrect type (expected list, got tuple)", False),
        ({"using": 5}, "Argument 'using' has incorrect type (expected str, got int)", False),
        ({"using": b"x"}, "Argument 'using' has incorrect type (expected str, got bytes)", False),
    ],
)
@pytest.mark.parametrize("method", ["load_reference", "aload_reference", "_load_record"])
def test_argument_errors_come_first(recorder, method, kwargs, message, noted):
    class Untouchable:
        @property
        def ref(self):
            raise AssertionError("the reference must not be read")

    loader = Jorvale(Untouchable())
    args = (JorvaleItem,) if method == "_load_record" else ()
    with pytest.raises(TypeError) as info:
        getattr(loader, method)(*args, **kwargs)  # a coroutine function raises at the call
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) is noted
    assert recorder.instances == []


def test_unknown_class_fails_before_any_query(recorder):
    with pytest.raises(ClassNotFoundError):
        Jorvale(reference(class_name="NoSuchClass")).load_reference()
    assert recorder.instances == []


def test_reference_is_read_only_when_loading(recorder):
    loader = Jorvale(object())  # anything is accepted
    with pytest.raises(AttributeError):
        loader.load_reference()
    with pytest.raises(AttributeError):
        asyncio.run(loader.aload_reference())


def test_overrides_are_honoured(recorder):
    class Custom(Jorvale):
        def _load_model_class(self):
            return "custom class"

        def _load_record(self, model_class, only=None, using=None):
            return RecordingQuerySet(model_class).only(only)

    assert Custom(reference()).load_reference(only=["x"]) == "loaded"
    assert recorder.instances[0].log == [("QuerySet", "custom class"), ("only", ["x"]), ("execute",)]


def test_query_set_class_is_imported_on_every_load(recorder, monkeypatch):
    loader = Jorvale(reference())
    loader.load_reference()

    class Other(RecordingQuerySet):
        def execute(self):
            return "other"

    monkeypatch.setattr(dunmere, "QuerySet", Other)
    assert loader.load_reference() == "other"


def test_load_model_class_uses_the_class_manager():
    assert Jorvale(reference())._load_model_class() is JorvaleItem
    assert ClassManager().import_class("JorvaleItem") is JorvaleItem


def test_interface():
    assert Jorvale.__bases__[0].__name__ == "JorvaleBase" and Jorvale.__doc__ is None
    assert [n for n in vars(Jorvale) if not n.startswith("__") or n == "__init__"][:5] == [
        "__init__", "load_reference", "aload_reference", "_load_model_class", "_load_record",
    ]
    assert Jorvale.aload_reference._is_coroutine is coroutines._is_coroutine
    for name in ("__init__", "load_reference", "_load_model_class", "_load_record"):
        assert getattr(Jorvale, name)._is_coroutine is False
    assert Jorvale.load_reference.__annotations__ == {"only": "list[str] | None", "using": "str | None", "return": "Model"}
    assert Jorvale._load_record.__annotations__["return"] == "'QuerySetOneRequired[Model]'"
    assert Jorvale._load_record.__defaults__ == (None, None)
    assert str(inspect.signature(Jorvale.__init__)) == "(self, reference: 'Reference')"
    assert Jorvale.load_reference.__doc__ == (
        "\n        Loads a reference.\n\n        Args:\n"
        "            only (list[str] | None, optional): Fields to include in the loaded reference. Defaults to None.\n"
        "            using (str | None, optional): The database alias to use. Defaults to None.\n\n"
        "        Returns:\n            Model: The loaded model.\n        "
    )
    assert Jorvale.aload_reference.__doc__ == Jorvale.load_reference.__doc__.replace(
        "Loads a reference.", "Loads a reference asynchronously."
    )
    assert Jorvale.load_reference.__doc__ and Jorvale._load_record.__doc__ is None
    assert "kestrum_models.querysets.dunmere" not in Jorvale.__module__


def test_module_does_not_import_query_sets_at_load():
    import subprocess

    code = (
        "import sys, kestrum_models.classes.helpers.jorvale as j; "
        "print('kestrum_models.querysets.dunmere' in sys.modules, sorted(k for k in vars(j) if not k.startswith('__')))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == (
        "False ['ClassManager', 'DEFAULT_DB_ALIAS', 'Jorvale', 'JorvaleBase', 'LAKEHOUSE_DB_ALIAS', 'Model', "
        "'Reference', 'TYPE_CHECKING']"
    )


def test_no_reference_leaks(recorder):
    ref = reference("v1", "v2")
    only = ["name"]
    loader = Jorvale(ref)
    before = sys.getrefcount(ref), sys.getrefcount(only), sys.getrefcount(JorvaleItem)
    for _ in range(2000):
        recorder.instances.clear()
        loader.load_reference(only=only, using="x")
        try:
            loader.load_reference(only=("bad",))
        except TypeError:
            pass
    recorder.instances.clear()
    assert (sys.getrefcount(ref), sys.getrefcount(only), sys.getrefcount(JorvaleItem)) == before


class Suspend:
    """Suspends its awaiter once; `owner` can point back at it."""

    owner = None

    def __await__(self):
        yield
        return "loaded"


@pytest.mark.parametrize("through", ["awaited", "model class"])
def test_a_dropped_suspended_load_in_a_cycle_is_collected(through):
    made = {}

    class Cyclic(Jorvale):
        def _load_model_class(self):
            model_class = type("Loaded", (), {})
            made["model class"] = weakref.ref(model_class)
            return model_class

        def _load_record(self, model_class, only=None, using=None):
            awaited = Suspend()
            made["awaited"] = weakref.ref(awaited)
            return types.SimpleNamespace(aexecute=lambda: awaited)

    loader = Cyclic(None)
    coro = loader.aload_reference()
    coro.send(None)
    made[through]().owner = coro
    alive = [weakref.ref(coro), weakref.ref(loader)]
    del coro, loader
    gc.collect()
    assert [ref() for ref in alive] == [None, None]
