"""Streams after a failure and hostile sources: a failed value never comes
back in pieces, no byte a source returned is lost, and reads are judged by
their bytes."""

from __future__ import annotations

import io
import os
import signal

import pytest

import quelm
from quelm import OutOfData, Unpacker, packb


def interrupt(code, data):
    # As if the user pressed Ctrl-C while the hook ran.
    os.kill(os.getpid(), signal.SIGINT)
    for _ in range(1000):
        pass
    raise AssertionError("no KeyboardInterrupt")


def refuse(_):
    raise KeyError("refused")


# Each payload is one value that fails part way; the value 7 follows it.
FAILING = [
    pytest.param({"max_str_len": 3}, packb(["abcdef", "x"]), ValueError, id="str-limit"),
    pytest.param({"max_array_len": 2}, packb([[1, 2, 3], "x"]), ValueError, id="array-limit"),
    pytest.param({"object_hook": refuse}, packb([{"a": [1, 2]}, {"b": 2}]), KeyError, id="hook"),
    pytest.param({"ext_hook": interrupt}, bytes.fromhex("92d40501a178"), KeyboardInterrupt,
                 id="signal-in-hook"),
    pytest.param({}, bytes.fromhex("93a2fffe01a178"), UnicodeDecodeError, id="utf-8"),
    pytest.param({}, bytes.fromhex("92810101a178"), ValueError, id="key"),
    pytest.param({}, bytes.fromhex("92d7ff") + b"\xff" * 8 + b"\x01", ValueError,
                 id="timestamp"),
    # Small maps inside arrays, which are filled in passing.
    pytest.param({"max_map_len": 1}, packb([{"a": 1, "b": 2}]), ValueError, id="map-limit"),
    pytest.param({"max_map_len": 1, "use_list": False}, packb([[{"a": 1, "b": 2}, 3], "x"]),
                 ValueError, id="map-limit-nested"),
    pytest.param({"object_hook": refuse}, packb([{"a": 1}, {"b": 2}]), KeyError,
                 id="hook-small-map"),
    pytest.param({}, bytes.fromhex("9281a2fffe01a178"), UnicodeDecodeError, id="utf-8-key"),
    pytest.param({}, bytes.fromhex("92 82 a161 a2fffe a162 02 a178"), UnicodeDecodeError,
                 id="utf-8-value"),
    pytest.param({"max_str_len": 1}, packb([{"ab": 1}, "x"]), ValueError, id="key-limit"),
]


@pytest.mark.parametrize("chunk", [1, 1000], ids=["bytewise", "whole"])
@pytest.mark.parametrize("options, payload, error", FAILING)
def test_failed_value_is_consumed_whole(options, payload, error, chunk):
    u = Unpacker(**options)
    data = payload + packb(7)
    outcomes = []
    for i in range(0, len(data), chunk):
        u.feed(data[i:i + chunk])
        for _ in range(3):  # bounded: a failure that repeats must not hang the test
            try:
                outcomes.append(u.unpack())
            except OutOfData:
                break
            except BaseException as e:  # KeyboardInterrupt included
                outcomes.append(type(e))
    assert outcomes == [error, 7]
    assert u.tell() == len(data)


@pytest.mark.parametrize(
    "cut, options, error",
    [pytest.param(1, {}, OutOfData, id="truncated"),
     pytest.param(0, {"object_hook": refuse}, KeyError, id="hook")],
)
def test_unpack_seeks_back_on_failure(cut, options, error):
    full = packb({"a": [1, 2, 3]})
    stream = io.BytesIO(full[:len(full) - cut])
    with pytest.raises(error):
        quelm.unpack(stream, **options)
    assert stream.tell() == 0
    stream.seek(0, io.SEEK_END)
    stream.write(full[len(full) - cut:])
    stream.seek(0)
    assert quelm.unpack(stream) == {"a": [1, 2, 3]}
    assert stream.tell() == len(full)


class Pipe:
    """A pipe-like source that is false while it holds nothing."""

    def __init__(self):
        self.data = b""

    def __len__(self):
        return len(self.data)

    def read(self, n):
        block, self.data = self.data[:n], self.data[n:]
        return block


def test_false_source_with_read_is_read():
    pipe = Pipe()
    u = Unpacker(pipe)
    pipe.data = packb([1, 2])
    assert u.unpack() == [1, 2]
    with pytest.raises(AssertionError):
        u.feed(b"\x01")  # a source is in use, as for any other source


class Falsy(bytes):
    def __bool__(self):
        return False


class Hollow(bytes):
    """Empty, but claims to be large and true."""

    def __len__(self):
        return 10**9

    def __bool__(self):
        return True


class Parts:
    """Returns the given parts (cut to the size asked, unless `whole`), then
    `end` for ever."""

    def __init__(self, parts, end=b"", whole=False):
        self.parts = list(parts)
        self.end = end
        self.whole = whole

    def read(self, n):
        if not self.parts:
            return self.end
        part = self.parts.pop(0)
        if not self.whole and len(bytes(part)) > n:
            self.parts.insert(0, type(part)(bytes(part)[n:]))
            part = type(part)(bytes(part)[:n])
        return part


class Peeking(Parts):
    """Parts, with a peek() that shows the next part (or `end`) unread."""

    def peek(self, n=0):
        return self.parts[0] if self.parts else self.end


@pytest.mark.parametrize(
    "parts, end, whole",
    [
        pytest.param([Falsy(b"\x92\x01"), b"\x02\xc0"], b"", False, id="false-with-data"),
        pytest.param([b"\x92", b"\x01\x02\xc0"], Hollow(), False, id="true-but-empty"),
        pytest.param([b"\x92\x01\x02\xc0"], None, True, id="longer-than-asked"),
    ],
)
@pytest.mark.parametrize("reader", ["Unpacker", "quelm.unpack", "quelm.unpack-peek"])
def test_read_results_judged_by_their_bytes(parts, end, whole, reader):
    if reader == "Unpacker":
        assert list(Unpacker(Parts(parts, end, whole), read_size=1, max_buffer_size=2)) == [
            [1, 2], None]
        return
    source = (Peeking if reader.endswith("peek") else Parts)(parts, end, whole)
    if whole:
        # The bytes past the value cannot be given back to a plain stream:
        # refused rather than dropped.
        with pytest.raises(quelm.UnpackException, match="1 byte more than asked"):
            quelm.unpack(source)
        return
    assert quelm.unpack(source) == [1, 2]
    assert quelm.unpack(source) is None
    with pytest.raises(OutOfData):
        quelm.unpack(source)


def test_cut_off_file_ends_iteration_with_out_of_data():
    data = packb([1, 2]) + packb({"big": "x" * 100})[:-10]
    u = Unpacker(io.BytesIO(data))
    with pytest.raises(OutOfData, match="97 bytes left over"):
        list(u)
    # Fed by hand, more may come: iteration stops quietly.
    u = Unpacker()
    u.feed(data)
    assert list(u) == [[1, 2]]


def test_fortran_ordered_buffer_read_in_logical_order():
    testbuffer = pytest.importorskip("_testbuffer")
    buf = testbuffer.ndarray(list(bytes.fromhex("920102030405")), shape=[2, 3], format="B",
                             flags=testbuffer.ND_FORTRAN)
    logical = bytes(memoryview(buf))
    u = Unpacker()
    u.feed(buf)
    assert list(u) == [[2, 4], 1, 3, 5] == list(quelm.Unpacker(io.BytesIO(logical)))
    with pytest.raises(quelm.ExtraData) as info:
        quelm.unpackb(buf)
    assert info.value.args == ([2, 4], logical[3:])


def test_decode_renders_the_deepest_nesting(tmp_path, capsysbinary):
    from quelm.cli import main

    depth = 1024
    path = tmp_path / "deep.qlm"
    path.write_bytes(b"\x81\x01" * (depth - 1) + b"\x80" + b"\x91" * (depth - 1) + b"\x90")
    assert main(["decode", str(path)]) == 0
    lines = capsysbinary.readouterr().out.decode().splitlines()
    assert lines == ['{"$map": [[1, ' * (depth - 1) + "{}" + "]]}" * (depth - 1),
                     "[" * depth + "]" * depth]
