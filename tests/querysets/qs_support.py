"""Model classes, collaborator doubles and helpers shared by the query-set tests."""

import gc
import sys
from collections.abc import Callable
from typing import Any

from kestrum_models.classes.model import Model


class Parcel(Model):
    __table_name__ = "parcels"

    code: str = ""
    weight: int = 0
    tags: list[str] = []


class Courier(Model):
    name: str = ""


class Shipment(Model):
    """A model with required fields, so that its partial class differs from it."""

    __table_name__ = "shipments"

    code: str
    weight: int
    note: str | None = None


class Recorder:
    """Collects the calls that collaborator doubles receive, in order."""

    def __init__(self) -> None:
        self.calls: list[tuple[Any, ...]] = []

    def __call__(self, *entry: Any) -> None:
        self.calls.append(entry)

    def names(self) -> list[Any]:
        return [entry[0] for entry in self.calls]


def recording_doubles(recorder: Recorder) -> dict[str, Any]:
    """Paginator and query-specifier doubles that record their construction and copies."""

    class Paginator:
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            recorder("NumberPaginator", args, kwargs)
            self.limit = kwargs.get("limit")
            self.offset = kwargs.get("offset")

        def model_copy(self, *args: Any, **kwargs: Any) -> "Paginator":
            recorder("paginator.model_copy", args, kwargs)
            new = Paginator.__new__(Paginator)
            new.limit, new.offset = self.limit, self.offset
            return new

    class Specifier:
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            recorder("QuerySpecifier", args, kwargs)
            self.only = kwargs.get("only")
            self.distinct = kwargs.get("distinct")

        def model_copy(self, *args: Any, **kwargs: Any) -> "Specifier":
            recorder("specifier.model_copy", args, kwargs)
            new = Specifier.__new__(Specifier)
            new.only, new.distinct = list(self.only), list(self.distinct)
            return new

    return {"NumberPaginator": Paginator, "QuerySpecifier": Specifier}


def refcounts_unchanged(objects: list[Any], operation: Callable[[], Any], times: int = 200) -> list[int]:
    """Run `operation` many times; return the change of each object's reference count."""
    operation()  # warm caches that keep a reference for good (interned names, templates)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(times):
        operation()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    return [later - earlier for earlier, later in zip(before, after)]


def method_doc(indent: int, *blocks: list[str], nested: tuple[str, ...] = ("Args:", "Returns:", "Raises:")) -> str:
    """A docstring of the house layout: blocks of lines, the lines under a header indented deeper."""
    pad, deeper = " " * indent, " " * (indent + 4)
    lines: list[str] = []
    for number, block in enumerate(blocks):
        if number:
            lines.append("")
        header = block[0] in nested
        lines.extend(pad + line if not header or index == 0 else deeper + line for index, line in enumerate(block))
    return "\n" + "\n".join(lines) + "\n" + pad
