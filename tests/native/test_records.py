"""Row records: the record type, and records built from cursor rows."""

import copy
import gc
import pickle
import tracemalloc
import weakref
from collections.abc import Callable
from types import MappingProxyType
from typing import Any

import pytest

from kestrum_glue import Data
from kestrum_glue._records import RowLayout, build

NAMES = ("code", "weight", "ratio")
ROWS = [("a", 1, 0.5, 11, 1, 1), ("b", None, b"\x7f\xf8", 12, 2, 1)]
COMPATIBLE = {"compatible": [1, 2]}
REFERENCE = {"ref": {"class_name": "Parcel", "object_version": 2}}


def layout(decoders: tuple[Any, ...] = (), reference: Any = None, metadata: Any = None) -> RowLayout:
    return RowLayout(NAMES, (0, 1, 2), decoders, reference, metadata)


def as_python(row: tuple[Any, ...], annotations: Any, reference: Any = None) -> dict[str, Any]:
    """The fields of a row as a dict built in Python would hold them."""
    fields = dict(zip(NAMES, row))
    fields["_metadata"] = {"object_id": row[-3], "object_version": row[-2], "class_version": row[-1]}
    if reference is not None:
        fields["_metadata"]["class_schema_reference"] = reference
    fields.update(annotations)
    return fields


# ---- The record type ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("make", "data", "metadata"),
    [
        (lambda: Data({"code": "a"}), {"code": "a"}, None),
        (lambda: Data({"code": "a"}, {"m": 1}), {"code": "a"}, {"m": 1}),
        (lambda: Data(data=5, metadata=[1]), 5, [1]),
        (lambda: Data(None), None, None),
    ],
)
def test_a_record_is_the_pair_it_was_made_from(make: Callable[[], Data], data: Any, metadata: Any) -> None:
    record = make()
    assert (record.data, record.metadata) == (data, metadata)
    assert record == make() and record != Data(data, {"other": 1})
    assert repr(record) == f"Data(data={data!r}, metadata={metadata!r})"
    assert pickle.loads(pickle.dumps(record)) == record == copy.deepcopy(record)


def test_records_are_final_and_need_their_data() -> None:
    with pytest.raises(TypeError):
        type("Row", (Data,), {})
    with pytest.raises(TypeError, match="data"):
        Data()  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="unhashable"):
        hash(Data({"code": "a"}))


@pytest.mark.parametrize(
    "annotations",
    [{}, {"score": 3}, {"code": "annotated", "extra": [1]}, MappingProxyType({"score": 3})],
    ids=["none", "new", "replacing", "mapping"],
)
def test_row_records_hold_the_fields_of_their_rows(annotations: Any) -> None:
    records = build(ROWS, lambda version: layout(), annotations)
    assert [record.data for record in records] == [as_python(row, annotations) for row in ROWS]
    assert [list(record.data) for record in records] == [list(as_python(row, annotations)) for row in ROWS]
    first = records[0]
    assert first.data is first.data and first.metadata is None
    first.data["code"] = "changed"
    assert first.data["code"] == "changed"


def test_decoders_run_on_the_values_they_name_only() -> None:
    seen: list[Any] = []

    def decode(value: Any) -> Any:
        seen.append(value)
        return ("decoded", value)

    records = build(ROWS, lambda version: layout(((1, decode, None), (2, decode, (bytes,)))), {})
    assert seen == [1, b"\x7f\xf8"]  # neither a None weight nor a float ratio is decoded
    assert [(r.data["weight"], r.data["ratio"]) for r in records] == [(("decoded", 1), 0.5), (None, ("decoded", b"\x7f\xf8"))]


def test_rows_of_each_class_version_take_their_layout() -> None:
    asked: list[int] = []
    layouts = {1: layout(), 2: layout(reference=REFERENCE, metadata=COMPATIBLE)}

    def layout_of(version: int) -> RowLayout:
        asked.append(version)
        return layouts[version]

    rows = [("a", 1, 0.5, 11, 1, 1), ("b", 2, 0.5, 12, 3, 2), ("c", 3, 0.5, 13, 1, 2), ("d", 4, 0.5, 14, 1, 1)]
    records = build(rows, layout_of, {})
    assert asked == [1, 2, 1]  # once per run of rows of one version
    assert [r.metadata for r in records] == [None, COMPATIBLE, COMPATIBLE, None]
    assert records[1].data == as_python(rows[1], {}, REFERENCE)


@pytest.mark.parametrize(
    ("rows", "layout_of", "error"),
    [
        ([("a", 1)], lambda v: layout(), IndexError),
        ([("a", 1, 0.5, 11)], lambda v: layout(), IndexError),
        (ROWS, lambda v: {"names": NAMES}, TypeError),
        (ROWS, lambda v: RowLayout(("code", "code"), (0, 1), (), None, None), ValueError),
        (ROWS, lambda v: RowLayout(("code",), (0, 1), (), None, None), ValueError),
        (ROWS, lambda v: RowLayout(("code",), (0,), ((3, str, None),), None, None), ValueError),
        (ROWS, lambda v: RowLayout(("code",), (0,), ((0, str, (1,)),), None, None), TypeError),
    ],
)
def test_malformed_rows_and_layouts_are_refused(rows: Any, layout_of: Any, error: type[Exception]) -> None:
    with pytest.raises(error):
        build(rows, layout_of, {})


# ---- The collector ----------------------------------------------------------------------------


class Holder:
    """Something a weak reference can watch, to tell when a cycle through it is collected."""

    item: Any = None


def cycle_through_a_record_of_python() -> weakref.ref[Holder]:
    holder = Holder()
    holder.item = Data({"holder": holder})
    return weakref.ref(holder)


def cycle_through_an_annotation() -> weakref.ref[Holder]:
    holder = Holder()
    holder.item = build(ROWS, lambda version: layout(), {"holder": holder})
    return weakref.ref(holder)


def cycle_through_a_row_address() -> weakref.ref[Holder]:
    holder = Holder()
    records = build(ROWS, lambda version: layout(), {})
    records[0].data["_metadata"]["holder"] = holder
    holder.item = records
    return weakref.ref(holder)


@pytest.mark.parametrize("make", [cycle_through_a_record_of_python, cycle_through_an_annotation, cycle_through_a_row_address])
def test_a_cycle_through_records_is_collected(make: Callable[[], weakref.ref[Holder]]) -> None:
    watched = make()
    gc.collect()
    assert watched() is None


@pytest.mark.parametrize("enabled", [True, False])
def test_building_pauses_the_collector_and_restores_it_after_an_error(enabled: bool) -> None:
    seen: list[bool] = []

    def decode(value: Any) -> Any:
        seen.append(gc.isenabled())
        raise ValueError("unreadable")

    (gc.enable if enabled else gc.disable)()
    try:
        with pytest.raises(ValueError, match="unreadable"):
            build(ROWS, lambda version: layout(((0, decode, None),)), {})
        assert seen == [False] and gc.isenabled() is enabled
    finally:
        gc.enable()


def test_building_records_keeps_no_memory() -> None:
    rows = [(f"c{i}", i, i / 3, i, 1, 1) for i in range(200)]
    build(rows, lambda version: layout(), {"score": 1})  # warm caches
    tracemalloc.start()
    try:
        for _ in range(50):
            [record.data for record in build(rows, lambda version: layout(), {"score": 1})]
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            [record.data for record in build(rows, lambda version: layout(), {"score": 1})]
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - before < 20_000
    finally:
        tracemalloc.stop()
