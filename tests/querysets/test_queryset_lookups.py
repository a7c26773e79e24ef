"""Everything is looked up when it is used: changed classes, state and collaborators take effect at once."""

import asyncio
import copy
import json
import sys
from typing import Any

import pytest
from qs_support import Parcel

import kestrum_glue as glue
from kestrum_data.connections.historical.schema_version_manager import register_schema_version
from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
from kestrum_glue import Data
from kestrum_models.classes import model
from kestrum_models.querysets import dunmere
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase, QuerySetOne
from kestrum_models.querysets.testing import prepared_async_executor, prepared_executor
from kestrum_utils.utils.decorators import mode


def run(qs: Any, twin: str) -> Any:
    qs._executor, qs._async_executor = prepared_executor(ROWS), prepared_async_executor(ROWS)
    if twin == "sync":
        with mode("sync"):
            return qs.execute()
    with mode("async"):
        return asyncio.run(qs.aexecute())


ROWS = [Data({"code": "a", "_metadata": json.dumps({"object_id": '"1"'})}), Data({"code": "b"})]


@pytest.fixture(params=["sync", "async"])
def twin(request: pytest.FixtureRequest) -> str:
    return request.param


# ---- Classes ------------------------------------------------------------------------------------


def test_a_class_changed_after_use_is_honoured() -> None:
    class Late(QuerySet):
        pass

    assert Late(Parcel).using("x")._using == "x"  # the class as first seen
    Late._using = property(lambda self: self.__dict__["alias"], lambda self, v: self.__dict__.__setitem__("alias", v * 2))
    assert Late(Parcel).using("x").alias == "xx"
    Late._copy = lambda self: "copied"
    assert copy_of(Late(Parcel)) == "copied"
    del Late._copy
    Late.__init__ = lambda self, entity: QuerySetBase.__init__(self, entity, strict_class_version=True) or setattr(
        self, "extra", 1
    )
    qs = Late(Parcel)._copy()
    assert qs.extra == 1 and qs._strict_class_version is True


def copy_of(qs: Any) -> Any:
    return copy.copy(qs)


def test_metaclasses_and_new_methods_take_part_in_copies() -> None:
    class Meta(type):
        def __call__(cls, *args: Any, **kwargs: Any) -> Any:
            obj = super().__call__(*args, **kwargs)
            obj.made_by = "metaclass"
            return obj

    class Measured(QuerySet, metaclass=Meta):
        pass

    class Fresh(QuerySet):
        def __new__(cls, *args: Any, **kwargs: Any) -> Any:
            obj = super().__new__(cls)
            obj.made_by = "__new__"
            return obj

    assert Measured(Parcel).filter(code="a").made_by == "metaclass"
    assert Fresh(Parcel).order_by("code").made_by == "__new__"


def test_one_row_copies_go_through_an_overridden_base_constructor() -> None:
    class Base(QuerySetBase):
        def __init__(self, entity: Any) -> None:
            super().__init__(entity)
            self.base = True

    class One(QuerySetOne, Base):
        pass

    qs = One(Parcel).filter(code="a")
    assert qs.base is True and qs._raise_on_multiple is True


# ---- The source of a copy ------------------------------------------------------------------------


def test_a_source_changed_while_it_is_copied_is_read_as_it_then_is(recorder: Any) -> None:
    source = QuerySet(Parcel)
    original_copy = type(source._paginator).model_copy

    def model_copy(self: Any, *args: Any, **kwargs: Any) -> Any:
        source._using = "changed meanwhile"
        source._annotations = {"late": 1}
        return original_copy(self, *args, **kwargs)

    type(source._paginator).model_copy = model_copy
    qs = source._copy()
    assert qs._using == "changed meanwhile" and qs._annotations == {"late": 1}


def test_instance_attributes_in_front_of_methods_are_honoured(twin: str) -> None:
    qs = QuerySet(Parcel)
    qs._create_instance = lambda *, _is_partial, data: ("made", data.data["code"])

    async def made(*, _is_partial: bool, data: Any) -> Any:
        return ("awaited", data.data["code"])

    qs._acreate_instance = made
    expected = [("made", "a"), ("made", "b")] if twin == "sync" else [("awaited", "a"), ("awaited", "b")]
    assert run(qs, twin) == expected


def test_state_changed_during_an_execution_is_read_for_the_next_rows(twin: str) -> None:
    qs = QuerySet(Parcel)

    class Switching(Parcel):
        def __init__(self, **fields: Any) -> None:
            super().__init__(**fields)
            qs._annotations = {"code": None}  # annotate the rows that follow
            qs._entity = Parcel

    qs._entity = Switching
    first, second = run(qs, twin)
    assert type(first) is Switching and type(second) is Parcel


# ---- Collaborators ------------------------------------------------------------------------------


def test_replaced_collaborators_are_used_at_once(twin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    loads: list[str] = []
    real_loads = json.loads
    run(QuerySet(Parcel), twin)  # warm whatever can be warmed
    monkeypatch.setattr(json, "loads", lambda text: loads.append(text) or real_loads(text))
    run(QuerySet(Parcel), twin)
    assert loads == [json.dumps({"object_id": '"1"'}), '"1"']


def test_a_replaced_legacy_class_is_imported_at_once(twin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    class Wrapped:
        def __init__(self, **fields: Any) -> None:
            self.fields = fields

    register_schema_version("Parcel", "v2")
    row = Data(
        {"code": "a", "_metadata": {"object_id": "1", "class_schema_reference": {"ref": {"object_version": "v1"}}}},
        {COMPATIBLE_CLASS_VERSIONS: ["v1"]},
    )
    qs = QuerySet(Parcel)
    create = (lambda: qs._create_instance(_is_partial=False, data=row)) if twin == "sync" else (
        lambda: asyncio.run(qs._acreate_instance(_is_partial=False, data=row))
    )
    assert type(create()) is model.LegacyModel
    monkeypatch.setattr(model, "LegacyModel", Wrapped)
    assert type(create()) is Wrapped
    monkeypatch.setattr(glue, "Version", type("Version", (), {"LATEST": "v1"}))
    assert type(create()) is Parcel  # v1 now counts as the latest version


def test_rows_of_another_record_type_are_read_through_their_attributes(twin: str) -> None:
    class Row:
        metadata = None

        @property
        def data(self) -> dict[str, Any]:
            return {"code": "p"}

    qs = QuerySet(Parcel)
    qs._executor = type("Rows", (), {"__init__": lambda s, q: None, "query": lambda s: [Row(), Data({"code": "q"})]})
    qs._async_executor = type("Rows", (), {"__init__": lambda s, q: None, "query": lambda s: asyncio.sleep(0, [Row()])})
    if twin == "sync":
        with mode("sync"):
            assert [obj.code for obj in qs.execute()] == ["p", "q"]
    else:
        with mode("async"):
            assert [obj.code for obj in asyncio.run(qs.aexecute())] == ["p"]


def test_a_module_removed_from_sys_modules_is_imported_again(twin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    schema_module = sys.modules["kestrum_data.services.historical_table_schema"]
    run(QuerySet(Parcel), twin)
    monkeypatch.delitem(sys.modules, "kestrum_data.services.historical_table_schema")
    run(QuerySet(Parcel), twin)
    reimported = sys.modules["kestrum_data.services.historical_table_schema"]
    assert reimported is not schema_module and reimported.COMPATIBLE_CLASS_VERSIONS == COMPATIBLE_CLASS_VERSIONS


def test_module_globals_replaced_between_rows_are_used(twin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    calls = []

    def partial_of(entity: Any) -> Any:
        calls.append(entity)
        monkeypatch.setattr(dunmere, "create_partial_model", lambda entity: lambda **fields: ("second", fields["code"]))
        return lambda **fields: ("first", fields["code"])

    monkeypatch.setattr(dunmere, "create_partial_model", partial_of)
    assert run(QuerySet(Parcel).only(["code"]), twin) == [("first", "a"), ("second", "b")]


def test_a_state_dict_replaced_while_it_is_copied_is_read_anew() -> None:
    source = QuerySet(Parcel)
    replaced = []

    class Paginator:
        def model_copy(self) -> "Paginator":
            replaced.append(source.__dict__)  # the old dict lives on, unchanged
            source.__dict__ = dict(source.__dict__, _using="swapped")
            return self

    source._paginator = Paginator()
    assert source._copy()._using == "swapped"
