"""Jorvale.load_reference() against the same chain written by hand in Python.

Both load one object through the real query sets and the default executor, served
by a backend that returns one prepared row, so the figures compare the loading
machinery itself. Target: ratio (native / by hand) <= 1.0.
"""

import json

from _timing import fmt, per_call, table

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from kestrum_glue import Data
from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.classes.helpers.jorvale import Jorvale
from kestrum_models.classes.model import Model
from kestrum_models.querysets.executor import register_backend
from kestrum_utils.models.data_models.reference import Reference


class BenchNote(Model):
    title: str
    words: int


ROW = Data({"title": "note", "words": 3, "_metadata": json.dumps({"object_id": "1"})})


class OneRow:
    def query(self, queryset):
        return [ROW]

    def count(self, queryset):
        return 1


def by_hand(reference, only=None, using=None):
    model_class = ClassManager().import_class(reference.ref.class_name)
    from kestrum_models.querysets.dunmere import QuerySet
    from kestrum_utils.models.enums import Versions

    class_version = reference.ref.class_version
    if class_version == "LATEST":
        class_version = Versions.LATEST
    version_id = reference.ref.object_version
    if version_id == "LATEST":
        version_id = Versions.LATEST
    if version_id != Versions.LATEST or class_version != Versions.LATEST:
        alias = LAKEHOUSE_DB_ALIAS
    else:
        alias = DEFAULT_DB_ALIAS
    qs = QuerySet(model_class).using(alias).get(
        _address__class_version=class_version,
        _address__object_id=reference.ref.object_id,
        _address__object_version=version_id,
    )
    if only:
        qs = qs.only(only)
    if using:
        qs = qs.using(using)
    return qs.execute()


def main():
    register_backend(DEFAULT_DB_ALIAS, OneRow())
    register_backend(LAKEHOUSE_DB_ALIAS, OneRow())
    rows = []
    for label, versions in [("latest", ("LATEST", "LATEST")), ("historical", ("3", "7"))]:
        ref = Reference(ref={"class_name": "BenchNote", "class_version": versions[0], "object_version": versions[1],
                             "object_id": "1"})
        loader = Jorvale(ref)
        assert loader.load_reference() == by_hand(ref)
        native = per_call(loader.load_reference)
        python = per_call(lambda: by_hand(ref))
        rows.append((label, fmt(native), fmt(python), f"{native / python:4.2f}"))
    table("load_reference() per call", ["versions", "native", "by hand in Python", "ratio (<= 1.0)"], rows)


if __name__ == "__main__":
    main()
