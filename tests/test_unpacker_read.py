"""Unpacker reading operations: unpack, iteration, skip, read_bytes, tell,
resumption after OutOfData, the switching guard and status mapping."""

from __future__ import annotations

import re

import pytest

from quelm import FormatError, OutOfData, StackError, Unpacker

SWITCH = "Cannot switch unpacking methods while an object is incomplete"
NO_MORE = "No more data to unpack."


def fed(hex_payload: str, **kwargs) -> Unpacker:
    u = Unpacker(**kwargs)
    u.feed(bytes.fromhex(hex_payload))
    return u


@pytest.mark.parametrize(
    "payload, values",
    [
        pytest.param("01a161", [1, "a"], id="int-and-str"),
        pytest.param("c0c2c3", [None, False, True], id="constants"),
        pytest.param("93010203" "80" "90", [[1, 2, 3], {}, []], id="containers"),
        pytest.param("cd012c" "d0ff" "e0", [300, -1, -32], id="ints"),
        pytest.param("c403616263" "a0", [b"abc", ""], id="bin-and-empty-str"),
        pytest.param("81a16192c0c3", [{"a": [None, True]}], id="nested"),
    ],
)
def test_iteration_yields_values(payload, values):
    u = fed(payload)
    assert list(u) == values
    assert list(u) == []
    assert u.tell() == len(payload) // 2


def test_empty_unpacker():
    u = Unpacker()
    for method in (u.unpack, u.skip):
        with pytest.raises(OutOfData) as info:
            method()
        assert info.value.args == (NO_MORE,)
    with pytest.raises(StopIteration) as stop:
        next(u)
    assert stop.value.args == (NO_MORE,)
    assert list(u) == []
    assert iter(u) is u


def test_iterate_again_after_feeding():
    u = fed("01a161")
    assert list(u) == [1, "a"]
    u.feed(bytes.fromhex("02"))
    assert list(u) == [2]


def test_resume_after_out_of_data():
    u = fed("930102")
    with pytest.raises(OutOfData, match=re.escape(NO_MORE)):
        u.unpack()
    assert u.tell() == 3
    for other in (u.skip, lambda: u.read_bytes(1), u.read_array_header, u.read_map_header):
        with pytest.raises(ValueError, match=re.escape(SWITCH)):
            other()
    u.feed(b"\x03")
    assert u.unpack() == [1, 2, 3]
    assert u.tell() == 4


def test_unpack_and_next_interleave():
    u = fed("9201")
    with pytest.raises(OutOfData):
        u.unpack()
    with pytest.raises(StopIteration):
        next(u)
    u.feed(b"\x02\x03")
    assert next(u) == [1, 2]
    assert u.unpack() == 3


def test_skip_resumes_and_counts():
    u = fed("92a3616263")
    with pytest.raises(OutOfData):
        u.skip()
    with pytest.raises(ValueError, match=re.escape(SWITCH)):
        u.unpack()
    u.feed(bytes.fromhex("c0" "05"))
    assert u.skip() is None
    assert u.tell() == 6
    assert u.unpack() == 5


def test_skip_calls_no_hook_and_checks_no_limit():
    calls = []
    u = fed("91c703056161" "61" "01", object_hook=calls.append, max_ext_len=0, ext_hook=calls.append)
    assert u.skip() is None
    assert u.unpack() == 1
    assert calls == []


def test_format_error_stays_until_consumed():
    u = fed("c101")
    for method in (u.unpack, u.skip, u.unpack):
        with pytest.raises(FormatError) as info:
            method()
        assert info.value.args == ()
        assert u.tell() == 0
    assert u.read_bytes(1) == b"\xc1"
    assert u.unpack() == 1


def test_format_error_releases_partial_map():
    u = fed("82a16101a162c1")
    with pytest.raises(FormatError):
        u.unpack()
    assert u.tell() == 6
    # The context is idle again: another routine may start.
    assert u.read_bytes(5) == b"\xc1"


def test_stack_error_then_resume():
    u = fed("91" * 1025 + "01")
    with pytest.raises(StackError) as info:
        u.unpack()
    assert info.value.args == ()
    assert u.tell() == 1024
    # The value's end cannot be found: every decoding call fails the same
    # way until read_bytes moves on by hand.
    for call in (u.unpack, u.skip, u.read_array_header, lambda: next(u)):
        with pytest.raises(StackError):
            call()
    assert u.read_bytes(1) == b"\x91"
    assert u.unpack() == 1


def test_deepest_allowed_nesting():
    u = fed("91" * 1024 + "01")
    value = u.unpack()
    for _ in range(1024):
        value = value[0]
    assert value == 1


def test_hook_error_clears_context():
    def hook(d):
        raise KeyError("boom")

    u = fed("92" "81a16101" "05" "07", object_hook=hook)
    with pytest.raises(KeyError, match="boom"):
        u.unpack()
    # The partial list is gone and the rest of it is skipped: the next call
    # starts at the next value.
    assert u.tell() == 6
    assert list(u) == [7]


def test_limit_error_then_next_value():
    u = fed("93010203" "04", max_array_len=2)
    with pytest.raises(ValueError, match=re.escape("3 exceeds max_array_len(2)")):
        u.unpack()
    # The whole refused array is consumed; the next value comes next.
    assert u.tell() == 4
    assert list(u) == [4]


def test_status_exceptions_are_looked_up_by_name(monkeypatch):
    import quelm._cquelm as core

    class Mine(Exception):
        pass

    monkeypatch.setattr(core, "OutOfData", Mine)
    monkeypatch.setattr(core, "FormatError", Mine)
    with pytest.raises(Mine):
        Unpacker().unpack()
    with pytest.raises(Mine):
        fed("c1").unpack()


@pytest.mark.parametrize(
    "buffered, nbytes, expected, tell",
    [
        pytest.param("0102030405", 8, "0102030405", 5, id="short"),
        pytest.param("0102030405", 2, "0102", 2, id="partial"),
        pytest.param("0102", 0, "", 0, id="zero"),
        pytest.param("", 3, "", 0, id="empty"),
    ],
)
def test_read_bytes_from_buffer(buffered, nbytes, expected, tell):
    u = fed(buffered)
    assert u.read_bytes(nbytes) == bytes.fromhex(expected)
    assert u.tell() == tell


def test_read_bytes_keyword_and_index():
    class Two:
        def __index__(self):
            return 2

    u = fed("01020304")
    assert u.read_bytes(nbytes=1) == b"\x01"
    assert u.read_bytes(Two()) == b"\x02\x03"
    with pytest.raises(TypeError):
        u.read_bytes(1.0)
    with pytest.raises(TypeError):
        u.read_bytes()
    with pytest.raises(TypeError):
        u.read_bytes(n=1)
    assert u.tell() == 3


def test_read_bytes_negative():
    u = fed("0102")
    with pytest.raises(ValueError):
        u.read_bytes(-1)
    assert u.tell() == 0
    assert u.read_bytes(5) == b"\x01\x02"


def test_read_bytes_takes_rest_from_source():
    asked = []

    class Source:
        def __init__(self):
            self.parts = [b"\x01\x02", b"abcdefgh", b"xyz"]

        def read(self, n):
            asked.append(n)
            return self.parts.pop(0)

    u = Unpacker(Source(), read_size=2)
    assert u.unpack() == 1  # buffers both bytes of the first read
    assert u.read_bytes(1) == b"\x02"
    assert u.read_bytes(10) == b"abcdefgh"  # one call only, even if short
    assert asked == [2, 10]
    assert u.tell() == 10
    assert u.read_bytes(3) == b"xyz"
    assert u.tell() == 13


def test_read_bytes_empty_result_does_not_end_input():
    parts = [b"", b"\x07"]

    class Source:
        def read(self, n):
            return parts.pop(0)

    u = Unpacker(Source())
    assert u.read_bytes(4) == b""
    assert u.unpack() == 7


def test_read_bytes_concatenates_bytearray():
    class Source:
        def read(self, n):
            return bytearray(b"b" * n)

    u = Unpacker(Source())
    assert u.read_bytes(3) == b"bbb"
    assert u.tell() == 3


def test_read_bytes_failing_read_keeps_buffered_bytes():
    parts = [b"\x01\x02\x03"]

    class Source:
        def read(self, n):
            if parts:
                return parts.pop(0)
            raise OSError("gone")

    u = Unpacker(Source(), read_size=3)
    assert u.unpack() == 1
    with pytest.raises(OSError, match="gone"):
        u.read_bytes(5)
    # The two buffered bytes stay in the buffer for the next call.
    assert u.tell() == 1
    assert u.read_bytes(2) == b"\x02\x03"


def test_read_bytes_unusable_result():
    class Source:
        def read(self, n):
            return "text"

    u = Unpacker(Source())
    with pytest.raises(TypeError):
        u.read_bytes(2)
    assert u.tell() == 0


def test_tell_counts_everything():
    u = fed("93010203" "c0" "92" "05" "06" "aabbcc")
    assert u.unpack() == [1, 2, 3]
    assert u.tell() == 4
    u.skip()
    assert u.tell() == 5
    assert u.read_array_header() == 2
    assert u.tell() == 6
    assert [u.unpack(), u.unpack()] == [5, 6]
    assert u.read_bytes(2) == b"\xaa\xbb"
    assert u.tell() == 10


@pytest.mark.parametrize("method", ["unpack", "skip", "read_array_header", "read_map_header", "tell"])
def test_methods_without_parameters(method):
    u = fed("90")
    with pytest.raises(TypeError):
        getattr(u, method)(1)
    with pytest.raises(TypeError):
        getattr(u, method)(x=1)


@pytest.mark.parametrize(
    "name, doc",
    [
        pytest.param("feed", "Unpacker.feed(self, next_bytes)\n\nAppend `next_bytes` to internal buffer.", id="feed"),
        pytest.param(
            "read_bytes",
            "Unpacker.read_bytes(self, Py_ssize_t nbytes)\n\nRead a specified number of raw bytes from the stream",
            id="read_bytes",
        ),
        pytest.param(
            "unpack",
            "Unpacker.unpack(self)\n\nUnpack one object\n\nRaises `OutOfData` when there are no more bytes to unpack.",
            id="unpack",
        ),
        pytest.param(
            "skip",
            "Unpacker.skip(self)\n\nRead and ignore one object, returning None\n\n"
            "Raises `OutOfData` when there are no more bytes to unpack.",
            id="skip",
        ),
        pytest.param(
            "read_array_header",
            "Unpacker.read_array_header(self)\n\nassuming the next object is an array, return its size n, such that\n"
            "the next n unpack() calls will iterate over its contents.\n\n"
            "Raises `OutOfData` when there are no more bytes to unpack.",
            id="read_array_header",
        ),
        pytest.param(
            "read_map_header",
            "Unpacker.read_map_header(self)\n\nassuming the next object is a map, return its size n, such that the\n"
            "next n * 2 unpack() calls will iterate over its key-value pairs.\n\n"
            "Raises `OutOfData` when there are no more bytes to unpack.",
            id="read_map_header",
        ),
        pytest.param(
            "tell",
            "Unpacker.tell(self)\n\nReturns the current position of the Unpacker in bytes, i.e., the\n"
            "number of bytes that were read from the input, also the starting\nposition of the next object.",
            id="tell",
        ),
    ],
)
def test_docstrings(name, doc):
    assert getattr(Unpacker, name).__doc__ == doc
