"""The public import and the query-set classes that ``Model.objects`` hands out."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Callable
from typing import Any

import pytest

import kestrum_models
import kestrum_models.storage as storage
from kestrum_models.querysets.dunmere import QuerySetCount
from kestrum_models.querysets.queryset import ModelQuerySet, ModelQuerySetOne, ModelQuerySetOneRequired
from kestrum_models.storage import Model, Q


class Note(Model):
    text: str
    rank: int = 0


def test_everything_a_program_needs_comes_from_one_module_and_the_package_root() -> None:
    assert sorted(kestrum_models.__all__) == sorted(storage.__all__)
    assert all(getattr(kestrum_models, name) is getattr(storage, name) for name in storage.__all__)
    errors = [getattr(storage, name) for name in storage.__all__ if name.endswith("Error")]
    assert {"ObjectDoesNotExistError", "MultipleObjectsReturnedError", "SchemaError"} <= {e.__name__ for e in errors}
    assert all(issubclass(error, Exception) for error in errors)
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        _ = kestrum_models.nothing  # type: ignore[attr-defined]


def test_importing_a_native_module_of_the_package_does_not_load_the_store() -> None:
    script = "import sys, kestrum_models.utils.files; print(sorted(m for m in sys.modules if 'store' in m))"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True)
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize(
    ("build", "cls"),
    [
        (lambda: Note.objects, ModelQuerySet),
        (lambda: Note.objects.filter(Q(rank=1) | Q(text="a")).exclude(rank=2).order_by("-rank")[1:3], ModelQuerySet),
        (lambda: Note.objects.using("lakehouse").only(["text"]).distinct(["text"]).latest().select_related(), ModelQuerySet),
        (lambda: Note.objects.get(text="a").order_by("rank").only(["text"]), ModelQuerySetOneRequired),
        (lambda: Note.objects.filter(rank=1).get_or_none()[0:2], ModelQuerySetOne),
        (lambda: Note.objects.count(), QuerySetCount),
    ],
)
def test_building_operations_keep_the_framework_query_set_class(build: Callable[[], Any], cls: type) -> None:
    qs = build()
    assert type(qs) is cls and qs.entity is Note
    assert type(qs._copy()) is cls
