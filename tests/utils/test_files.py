"""convert_data_to_base64: text to bytes, canonical base64 kept, anything else encoded."""

import base64
import binascii
import inspect
import subprocess
import sys
import textwrap
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrum_models.utils import files
from kestrum_models.utils.files import convert_data_to_base64


def reference(file_data):
    """The same rules written in plain Python."""
    if isinstance(file_data, str):
        file_data = file_data.encode()
    try:
        if base64.b64encode(base64.b64decode(file_data, validate=True)).strip() != file_data:
            file_data = base64.b64encode(file_data).strip()
    except Exception:
        file_data = base64.b64encode(file_data).strip()
    return file_data


@pytest.mark.parametrize(
    ("given", "expected"),
    [
        ("", b""),
        (b"", b""),
        ("aGVsbG8=", b"aGVsbG8="),
        ("hello", b"aGVsbG8="),
        ("héllo", base64.b64encode("héllo".encode())),
        (b"aGVsbG8=\n", base64.b64encode(b"aGVsbG8=\n")),  # the newline fails strict decoding
        (b"aGVsbG8", base64.b64encode(b"aGVsbG8")),  # length not a multiple of four
        (b"aGVsbG9=", base64.b64encode(b"aGVsbG9=")),  # non-zero padding bits: not canonical
        (b"ab==", base64.b64encode(b"ab==")),
        (b"====", base64.b64encode(b"====")),
        (b"a===", base64.b64encode(b"a===")),
        (b"ab=c", base64.b64encode(b"ab=c")),
        (b"abcd", b"abcd"),  # raw bytes that happen to be canonical base64
        (b"+/+/", b"+/+/"),
        (bytearray(b"raw data"), base64.b64encode(b"raw data")),
        (memoryview(b"\x00\xff"), base64.b64encode(b"\x00\xff")),
    ],
)
def test_results(given, expected):
    result = convert_data_to_base64(given)
    assert result == expected and type(result) is bytes


def test_canonical_bytes_are_returned_unchanged():
    data = b"aGVsbG8gd29ybGQ="
    assert convert_data_to_base64(data) is data
    assert convert_data_to_base64(file_data=data) is data


@given(st.binary(max_size=64))
def test_matches_the_python_rules_on_any_bytes(data):
    assert convert_data_to_base64(data) == reference(data)
    encoded = base64.b64encode(data)
    assert convert_data_to_base64(encoded) == reference(encoded) == encoded


@given(st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n ", max_size=24))
def test_matches_the_python_rules_on_base64_like_text(text):
    assert convert_data_to_base64(text) == reference(text)
    assert convert_data_to_base64(text.encode()) == reference(text.encode())


@pytest.mark.parametrize(
    ("given", "error", "message"),
    [
        (None, TypeError, "a bytes-like object is required, not 'NoneType'"),
        (5, TypeError, "a bytes-like object is required, not 'int'"),
        (bytearray(b"abcd"), TypeError, "Expected bytes, got bytearray"),
        (type("B", (bytes,), {})(b"abcd"), TypeError, "Expected bytes, got B"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_failures(given, error, message):
    with pytest.raises(error) as info:
        convert_data_to_base64(given)
    if message:
        assert str(info.value) == message


def test_an_error_while_handling_chains_to_the_decoding_error():
    with pytest.raises(TypeError) as info:
        convert_data_to_base64(None)
    assert isinstance(info.value.__context__, TypeError)  # raised by the strict decoding


def test_the_module_global_base64_is_used_at_call_time(monkeypatch):
    calls = []

    def b64encode(data):
        calls.append(("b64encode", data))
        return b" ENCODED "

    def b64decode(data, validate):
        calls.append(("b64decode", data, validate))
        return b"decoded"

    monkeypatch.setattr(files, "base64", types.SimpleNamespace(b64encode=b64encode, b64decode=b64decode))
    assert convert_data_to_base64("x") == b"ENCODED"
    assert calls == [("b64decode", b"x", True), ("b64encode", b"decoded"), ("b64encode", b"x")]


def test_interface():
    assert convert_data_to_base64.__annotations__ == {"file_data": "Any", "return": "bytes"}
    assert str(inspect.signature(convert_data_to_base64)) == "(file_data: 'Any') -> 'bytes'"
    assert convert_data_to_base64.__doc__.startswith("\n    Converts the given file data to a base64-encoded bytes object.\n\n")
    assert convert_data_to_base64.__doc__.endswith("bytes: The base64-encoded bytes object.\n    ")
    assert [n for n in vars(files) if not n.startswith("__")] == ["base64", "Any", "convert_data_to_base64"]
    assert files.base64 is base64


@pytest.mark.parametrize("args", [(), (b"a", b"b")])
def test_argument_count(args):
    with pytest.raises(TypeError, match=rf"takes exactly 1 positional argument \({len(args)} given\)"):
        convert_data_to_base64(*args)


def test_no_leaks():
    data, raw = b"aGVsbG8=", b"\x00raw"
    before = sys.getrefcount(data), sys.getrefcount(raw)
    for _ in range(10000):
        convert_data_to_base64(data)
        convert_data_to_base64(raw)
        try:
            convert_data_to_base64(None)
        except TypeError:
            pass
    assert (sys.getrefcount(data), sys.getrefcount(raw)) == before


def test_large_input_round_trips():
    data = bytes(range(256)) * 4096
    assert binascii.a2b_base64(convert_data_to_base64(data)) == data


class AltBinascii:
    """binascii with '-' in place of '+'."""

    @staticmethod
    def b2a_base64(data, *, newline=True, encode=binascii.b2a_base64):
        return encode(data, newline=newline).replace(b"+", b"-")

    @staticmethod
    def a2b_base64(data, *, strict_mode=False, decode=binascii.a2b_base64):
        return decode(data.replace(b"-", b"+"), strict_mode=strict_mode)


class UrlsafeModule(types.ModuleType):
    def __getattribute__(self, name):
        return base64.urlsafe_b64encode if name == "b64encode" else super().__getattribute__(name)


def decoding_to_a_constant(s, altchars=None, validate=False):
    return b"?"


def isinstance_taking_all_for_str(obj, cls):
    return cls is str or isinstance(obj, cls)


# Changes to what base64.b64encode and base64.b64decode read: each changes their results.
PATCHES = {
    "base64.binascii": lambda mp: mp.setattr(base64, "binascii", AltBinascii),
    "binascii.b2a_base64": lambda mp: mp.setattr(binascii, "b2a_base64", AltBinascii.b2a_base64),
    "b64encode.__defaults__": lambda mp: mp.setattr(base64.b64encode, "__defaults__", (b"-_",)),
    "b64decode.__code__": lambda mp: mp.setattr(base64.b64decode, "__code__", decoding_to_a_constant.__code__),
    "shadowed isinstance": lambda mp: mp.setattr(base64, "isinstance", isinstance_taking_all_for_str, raising=False),
    "module class": lambda mp: mp.setattr(base64, "__class__", UrlsafeModule),
}


@pytest.mark.parametrize("patch", list(PATCHES))
def test_a_changed_base64_module_is_followed(monkeypatch, patch):
    inputs = [b"ab+/", b"\xfb\xff\xbe", b"aGVsbG8=", "text+"]
    expected = [reference(data) for data in inputs]
    PATCHES[patch](monkeypatch)
    changed = [reference(data) for data in inputs]
    assert changed != expected
    assert [convert_data_to_base64(data) for data in inputs] == changed
    monkeypatch.undo()
    assert [convert_data_to_base64(data) for data in inputs] == expected


def test_a_base64_module_changed_before_the_load_is_followed():
    code = textwrap.dedent("""
        import base64, binascii
        base64.b64encode = lambda s: binascii.b2a_base64(s, newline=False).replace(b"+", b"-")
        from kestrum_models.utils.files import convert_data_to_base64
        inputs = [b"ab+/", b"\\xfb\\xff"]
        print([convert_data_to_base64(data) for data in inputs] == [reference(data) for data in inputs])
    """)
    program = inspect.getsource(reference) + code
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=False)
    assert result.stdout.strip() == "True", result.stderr
