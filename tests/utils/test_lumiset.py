"""Lumiset: a str subclass that marks version identifiers."""

import pytest

from kestrum_models.utils import lumiset
from kestrum_models.utils.lumiset import Lumiset


def test_class_shape():
    assert Lumiset.__bases__ == (str,) and type(Lumiset) is type
    assert Lumiset.__module__ == "kestrum_models.utils.lumiset" and Lumiset.__qualname__ == "Lumiset"
    assert Lumiset.__doc__ is None
    assert set(vars(Lumiset)) == {"__module__", "__dict__", "__weakref__", "__doc__"}
    assert [n for n in vars(lumiset) if not n.startswith("__")] == ["Lumiset"]


@pytest.mark.parametrize(
    ("args", "text"),
    [((), ""), (("1.0",), "1.0"), ((5,), "5"), ((b"v\xc3\xa9", "utf-8"), "vé"), ((b"a\xff", "ascii", "ignore"), "a")],
)
def test_constructs_like_str(args, text):
    value = Lumiset(*args)
    assert value == text and hash(value) == hash(text) and isinstance(value, str) and type(value) is Lumiset


def test_behaves_as_str():
    v = Lumiset("a")
    assert {v: 1}["a"] == 1 and "a" in {v}
    assert type(v.upper()) is str and type(v + "b") is str
    v.note = "attributes are allowed"
    assert v.note == "attributes are allowed"
    with pytest.raises(UnicodeDecodeError):
        Lumiset(b"\xff", "utf-8")


def test_subclassable_from_python():
    class Tagged(Lumiset):
        def tag(self):
            return f"v{self}"

    assert Tagged("2").tag() == "v2"
