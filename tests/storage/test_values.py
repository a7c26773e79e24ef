"""Stored values and lookups keep their Python meaning: special floats, durations, decimals, sets, text, pydantic models."""

from __future__ import annotations

import datetime
import math
import struct
from decimal import Decimal
from typing import Any

import pytest
from pydantic import ConfigDict, Field
from pydantic.alias_generators import to_camel

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_data.store import InvalidValueError
from kestrum_data.store.storage import storage
from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.classes.model import Model
from kestrum_models.classes.utils import is_partial_model
from kestrum_utils.query.utils import Q

NAN, INF = math.nan, math.inf
SPAN = datetime.timedelta
INT64 = 2**63


class ValSample(Model):
    label: str
    x: float | None = None
    y: float = 0.0
    n: int | None = None
    span: datetime.timedelta | None = None
    amount: Decimal | None = None
    tags: frozenset[int] | None = None
    text: str | None = None
    blob: bytes | None = None
    meta: dict[str, Any] = {}


SAMPLES = [
    dict(label="nan", x=NAN, y=NAN, n=INT64 - 1, span=SPAN(days=400), amount=Decimal("1.10"), tags=frozenset([16, 8]),
         text="École Straße"),
    dict(label="-0", x=-0.0, y=-0.0, n=-INT64, span=SPAN(seconds=9), amount=Decimal("-2.5E+3"), tags=frozenset(),
         text="ǅemal", blob=b"\x00\x01"),
    dict(label="+0", x=0.0, n=0, span=SPAN(seconds=10), amount=Decimal("10"), tags=frozenset([1]), text="STRASSE"),
    dict(label="inf", x=INF, y=-INF, span=SPAN(microseconds=-1), amount=Decimal("1E+1"), tags=frozenset([8, 16, 24]),
         text="ﬁle İstanbul"),
    dict(label="num", x=2.5, y=1.0, n=7, span=SPAN(days=-2, hours=5), amount=Decimal("-0.12"), text="plain"),
    dict(label="none"),
]
TEXT_WITH_NUL = [dict(label="nul", text="a\0b\0", blob=b"a\0"), dict(label="nul2", text="\0a")]


@pytest.fixture
def samples(store: str) -> list[ValSample]:
    # PostgreSQL text cannot hold NUL at all.
    rows = SAMPLES + (TEXT_WITH_NUL if store == "sqlite" else [])
    return ValSample.bulk_save([ValSample(**row) for row in rows])


CONDITIONS = {
    "floats": [
        Q(x=NAN), Q(x__ne=NAN), Q(x=0.0), Q(x=-0.0), Q(x__gt=0), Q(x__gte=0), Q(x__lte=-0.0), Q(x__lt=INF),
        Q(x__gt=NAN), Q(x__gte=-INF), Q(y__gt=-1), Q(x__in=[NAN, -0.0]), Q(x__in=[INF, 2.5]), Q(y__in=[0.0]),
        ~Q(x__lt=1) & Q(y__lte=0),
    ],
    "integers": [Q(n=INT64 - 1), Q(n__lt=-(2**62)), Q(n__in=[-INT64, 0])],
    "durations": [
        Q(span__gt=SPAN(seconds=9)), Q(span__lte=SPAN(0)), Q(span=SPAN(hours=-43)),
        Q(span__in=[SPAN(days=400), SPAN(0)]), Q(span__ne=SPAN(seconds=10)),
    ],
    "decimals": [
        Q(amount=Decimal("1.1")), Q(amount=Decimal("-2500")), Q(amount__ne=Decimal("10.0")),
        Q(amount__gt=Decimal("1.1")), Q(amount__lt=Decimal("-0.1")), Q(amount__in=[Decimal("10"), Decimal("1.100")]),
    ],
    "sets": [
        Q(tags=frozenset([8, 16])), Q(tags=frozenset()), Q(tags__ne=frozenset([1])),
        Q(tags__in=[frozenset([24, 16, 8]), frozenset([1])]), Q(tags__contains=16),
    ],
    "text": [
        Q(text__icontains="straße"), Q(text__icontains="strasse"), Q(text__icontains="FILE"), Q(text__icontains="ǆ"),
        Q(text__icontains="i̇stan"), Q(text__startswith="a\0"), Q(text__endswith="b\0"), Q(text__contains="\0"),
        Q(text__startswith="\0"), Q(text__icontains="A\0B"), Q(text__in=["a\0b\0", "plain"]), Q(text="\0a"),
        Q(text__ne="\0a"), Q(blob__in=[b"a\0", b"\x00\x01"]),
    ],
}


def labels(objects: list[ValSample]) -> list[str]:
    return sorted(obj.label for obj in objects)


@pytest.mark.parametrize("group", list(CONDITIONS))
def test_lookups_agree_with_the_python_meaning(samples: list[ValSample], group: str) -> None:
    rows = [obj.model_dump() for obj in samples]
    wrong = []
    for condition in CONDITIONS[group]:
        found = (labels(ValSample.objects.filter(condition).execute()), labels(ValSample.objects.exclude(condition).execute()))
        meant = (sorted(r["label"] for r in rows if condition.matches(r)), sorted(r["label"] for r in rows if not condition.matches(r)))
        if found != meant:
            wrong.append((condition, found, meant))
    assert wrong == []


def test_special_floats_load_as_saved(any_store: str) -> None:
    def bits(obj: ValSample) -> tuple[bytes, ...]:
        return tuple(b"nan" if math.isnan(v) else struct.pack(">d", v) for v in (obj.y, obj.x or 1.0))

    saved = {obj.label: bits(obj) for obj in ValSample.bulk_save([ValSample(**row) for row in SAMPLES])}
    for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS):
        assert {obj.label: bits(obj) for obj in ValSample.objects.using(alias).execute()} == saved
    assert bits(ValSample.objects.only(["x", "y"]).get(label="-0").execute()) == saved["-0"]


@pytest.mark.parametrize("name", ["span", "amount"])
def test_durations_and_decimals_sort_by_value(samples: list[ValSample], name: str) -> None:
    values = [getattr(obj, name) for obj in samples]
    for ordering, reverse in ((name, False), ("-" + name, True)):
        found = [getattr(obj, name) for obj in ValSample.objects.order_by(ordering).execute()]
        assert [v for v in found if v is not None] == sorted((v for v in values if v is not None), reverse=reverse)


def test_sets_stored_in_any_order_compare_as_sets(samples: list[ValSample]) -> None:
    # A row written by a process whose set iterated in another order.
    db = storage().history_db
    q, p = db.dialect.quote, db.dialect.placeholder
    cast = "::jsonb" if db.dialect.name == "postgresql" else ""
    with db.connect() as driver:
        for table in ("ValSample__history", "ValSample"):
            driver.execute(f"UPDATE {q(table)} SET {q('tags')} = {p}{cast} WHERE {q('label')} = {p}",
                           ("[24,16,8]", "inf"))
    assert labels(ValSample.objects.filter(tags=frozenset([8, 24, 16])).execute()) == ["inf"]
    assert labels(ValSample.objects.filter(tags__in=[{16, 8, 24}]).execute()) == ["inf"]


MANY: dict[str, list[Any]] = {
    "n": list(range(-20_000, 20_000, 3)) + [INT64 - 1],
    "x": [i / 7 for i in range(5_000)] + [NAN, -0.0],
    "text": [f"t{i}" for i in range(5_000)] + ["plain", "a\0b\0"],
    "blob": [i.to_bytes(3, "big") for i in range(5_000)] + [b"a\0"],
    "amount": [Decimal(i) / 4 for i in range(3_000)] + [Decimal("1.1")],
    "span": [SPAN(seconds=i) for i in range(3_000)],
    "tags": [frozenset([i, i + 1]) for i in range(2_000)] + [frozenset([8, 16])],
    "meta": [{"k": i} for i in range(2_000)] + [{}],
}


@pytest.mark.parametrize("name", list(MANY))
def test_in_takes_thousands_of_values(samples: list[ValSample], name: str) -> None:
    condition = Q(**{f"{name}__in": MANY[name]})
    rows = [obj.model_dump() for obj in samples]
    assert labels(ValSample.objects.filter(condition).execute()) == sorted(r["label"] for r in rows if condition.matches(r))


@pytest.mark.parametrize(
    ("action", "words"),
    [
        (lambda: ValSample(label="big", n=INT64).save(), ["out of range"]),
        (lambda: ValSample(label="small", n=-INT64 - 1).save(), ["out of range"]),
        (lambda: ValSample(label="lone\udc00").save(), ["surrogate"]),
        (lambda: ValSample(label="json", meta={"k": "\ud800"}).save(), ["surrogate"]),
        (lambda: ValSample(label="json", meta={"k": NAN}).save(), ["NaN"]),
        (lambda: ValSample.objects.filter(n=INT64).execute(), ["64-bit", str(INT64)]),
        (lambda: ValSample.objects.filter(n__in=[1, -INT64 - 1]).execute(), ["64-bit"]),
        (lambda: ValSample.objects.filter(_address__object_id=INT64 * 2).execute(), ["64-bit"]),
        (lambda: ValSample.objects.filter(label="\ud800").execute(), ["surrogate"]),
        (lambda: ValSample.objects.filter(label__startswith="x\udfff").execute(), ["surrogate"]),
        (lambda: ValSample.objects.filter(label__in=["ok", "\ud800"]).execute(), ["surrogate"]),
    ],
)
def test_values_no_database_can_take_are_refused_clearly(samples: list[ValSample], action: Any, words: list[str]) -> None:
    with pytest.raises(InvalidValueError) as raised:
        action()
    assert all(word in str(raised.value) for word in words)
    assert ValSample.objects.count().execute() == len(samples)


class ValAliased(Model):
    full_name: str = Field(alias="fullName")
    rank: int = 0


class ValCamel(Model):
    model_config = ConfigDict(alias_generator=to_camel)
    first_name: str
    last_seen: int | None = None


class OrderPartial(Model):
    number: int


class ValFrozen(Model):
    model_config = ConfigDict(frozen=True)
    code: str
    size: int = 0


@pytest.mark.parametrize(
    ("model", "values"),
    [
        (ValAliased, {"fullName": "Ann Lee", "rank": 2}),
        (ValCamel, {"firstName": "Ann", "lastSeen": 3}),
        (OrderPartial, {"number": 7}),
        (ValFrozen, {"code": "x", "size": 2}),
    ],
)
def test_pydantic_models_round_trip(store: str, model: type[Model], values: dict[str, Any]) -> None:
    saved = model(**values).save()
    name, value = next(iter(saved.model_dump().items()))
    loaded = model.objects.get(**{name: value}).execute()
    assert type(loaded) is model and loaded.model_dump() == saved.model_dump() and loaded.metadata == saved.metadata
    partial = model.objects.only([name]).get().execute()
    assert getattr(partial, name) == value and is_partial_model(type(partial)) and not is_partial_model(model)
    if model.model_config.get("frozen"):
        assert hash(loaded) == hash(saved) == hash(model(**values)) and loaded in {saved}


def test_rows_with_a_removed_field_load_as_a_class_forbidding_extra_fields(store: str) -> None:
    class ValTrimmed(Model):
        name: str
        note: str | None = None

    ValTrimmed(name="old", note="dropped").save()

    class ValTrimmed(Model):  # type: ignore[no-redef]  # the optional field is removed
        model_config = ConfigDict(extra="forbid")
        name: str

    ValTrimmed(name="new").save()
    assert sorted((obj.name, type(obj) is ValTrimmed) for obj in ValTrimmed.objects.execute()) == [
        ("new", True), ("old", True)
    ]
    ClassManager.unregister("ValTrimmed")
