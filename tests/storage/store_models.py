"""Model classes of the object-store tests."""

from __future__ import annotations

import datetime
from typing import Any

from kestrum_models.classes.model import Model

UTC = datetime.UTC


class Item(Model):
    __table_name__ = "items"
    __indexes__ = ("rank", ("flag", "rank"))

    name: str
    rank: int | None = None
    price: float | None = None
    flag: bool = False
    tags: list[str] = []
    attrs: dict[str, Any] = {}
    blob: bytes | None = None
    day: datetime.date | None = None
    at: datetime.datetime | None = None


class Shelf(Model):
    label: str


class Book(Model):
    title: str
    shelf: Shelf | None = None

