"""The Unpacker's input buffer: feed, compaction and growth up to
max_buffer_size, BufferFull, and refills from a file_like."""

from __future__ import annotations

import array
import ctypes
import pytest

from quelm import BufferFull, OutOfData, Unpacker

FEED_WITH_SOURCE = "unpacker.feed() is not be able to use with `file_like`."


@pytest.mark.parametrize(
    "chunk",
    [
        pytest.param(b"\x92\x01\x02", id="bytes"),
        pytest.param(bytearray(b"\x92\x01\x02"), id="bytearray"),
        pytest.param(memoryview(b"\x92\x01\x02"), id="memoryview"),
        pytest.param(array.array("B", [0x92, 1, 2]), id="array-B"),
        pytest.param(array.array("b", [-0x6E, 1, 2]), id="array-b"),
        pytest.param(memoryview(b"\x92x\x01y\x02z")[::2], id="strided"),
        pytest.param((ctypes.c_ubyte * 3)(0x92, 1, 2), id="ctypes"),
    ],
)
def test_feed_accepts_any_one_byte_buffer(chunk):
    u = Unpacker()
    assert u.feed(chunk) is None
    assert u.unpack() == [1, 2]


def test_feed_two_dimensional_view():
    u = Unpacker()
    u.feed(memoryview(bytes([0x92, 1, 2, 0xC0])).cast("B", (2, 2)))
    assert list(u) == [[1, 2], None]


@pytest.mark.parametrize(
    "chunk, exc, message",
    [
        pytest.param(array.array("i", [1]), BufferError, "cannot unpack from multi-byte object", id="int-array"),
        pytest.param("\x01", TypeError, None, id="str"),
        pytest.param(1, TypeError, None, id="int"),
    ],
)
def test_feed_refuses(chunk, exc, message):
    u = Unpacker()
    with pytest.raises(exc) as info:
        u.feed(chunk)
    if message is not None:
        assert str(info.value) == message
    u.feed(b"\x01")
    assert u.unpack() == 1


def test_feed_arguments():
    u = Unpacker()
    u.feed(next_bytes=b"\x01")
    assert u.unpack() == 1
    with pytest.raises(TypeError):
        u.feed()
    with pytest.raises(TypeError):
        u.feed(b"\x01", b"\x02")
    with pytest.raises(TypeError):
        u.feed(data=b"\x01")


def test_feed_empty_changes_nothing():
    u = Unpacker(read_size=1, max_buffer_size=1)
    u.feed(b"\x01")
    assert u.feed(b"") is None
    assert u.unpack() == 1
    assert u.tell() == 1


def test_compaction_and_growth():
    # read_size 4, bound 10: 3 bytes fit; after 2 are consumed, 3 more are
    # placed after compaction; 5 more grow the block to the bound; 2 more
    # would exceed it.
    u = Unpacker(read_size=4, max_buffer_size=10)
    u.feed(b"abc")
    assert u.read_bytes(2) == b"ab"
    u.feed(b"def")
    u.feed(b"ghijk")
    with pytest.raises(BufferFull):
        u.feed(b"lm")
    assert u.read_bytes(100) == b"cdefghijk"
    assert u.tell() == 11


def test_buffer_full_keeps_bytes_and_state():
    u = Unpacker(read_size=2, max_buffer_size=4)
    u.feed(bytes.fromhex("93"))
    with pytest.raises(OutOfData):
        u.unpack()
    u.feed(bytes.fromhex("0102"))
    with pytest.raises(BufferFull) as info:
        u.feed(bytes.fromhex("030405"))
    assert info.value.args == ()
    u.feed(bytes.fromhex("03"))
    assert u.unpack() == [1, 2, 3]


def test_bounded_stream_through_small_buffer():
    # Values flow through a buffer much smaller than the whole stream.
    u = Unpacker(read_size=3, max_buffer_size=6)
    out = []
    for i in range(200):
        u.feed(bytes([0xCD, 0, i]))
        out.extend(u)
    assert out == list(range(200))
    assert u.tell() == 600


def test_buffer_full_is_looked_up_by_name(monkeypatch):
    import quelm._cquelm as core

    class Mine(Exception):
        pass

    monkeypatch.setattr(core, "BufferFull", Mine)
    u = Unpacker(max_buffer_size=1)
    with pytest.raises(Mine):
        u.feed(b"ab")


class Chunks:
    """A file_like whose read returns the given pieces, one per call."""

    def __init__(self, *pieces):
        self.pieces = list(pieces)
        self.asked = []

    def read(self, n):
        self.asked.append(n)
        return self.pieces.pop(0) if self.pieces else b""


def test_short_reads_are_resumed():
    source = Chunks(b"\x93", b"\x01", b"", b"ignored")
    u = Unpacker(source, read_size=5)
    with pytest.raises(OutOfData):
        u.unpack()
    # The empty result ended the input: the source is dropped and feed works.
    assert source.asked == [5, 5, 5]
    u.feed(b"\x02\x03")
    assert u.unpack() == [1, 2, 3]


@pytest.mark.parametrize("end", [pytest.param(b"", id="empty"), pytest.param(None, id="none"), pytest.param(0, id="zero")])
def test_false_result_ends_input(end):
    source = Chunks(b"\x01", end)
    u = Unpacker(source)
    assert list(u) == [1]
    u.feed(b"\x02")
    assert list(u) == [2]


def test_feed_refused_while_source_active():
    u = Unpacker(Chunks(b"\x01"))
    with pytest.raises(AssertionError) as info:
        u.feed(b"\x01")
    assert str(info.value) == FEED_WITH_SOURCE


@pytest.mark.parametrize(
    "result",
    [pytest.param(bytearray(b"\x01"), id="bytearray"), pytest.param("\x01", id="str"), pytest.param(memoryview(b"\x01"), id="memoryview")],
)
def test_non_bytes_read_refused(result):
    class Source:
        def read(self, n):
            return result

    u = Unpacker(Source())
    with pytest.raises(TypeError):
        u.unpack()
    with pytest.raises(TypeError):
        u.unpack()


def test_bytes_subclass_accepted():
    class B(bytes):
        pass

    u = Unpacker(Chunks(B(b"\x92\x01"), B(b"\x02")))
    assert u.unpack() == [1, 2]


def test_read_error_keeps_partial_value():
    calls = []

    class Flaky:
        def read(self, n):
            calls.append(n)
            if len(calls) == 2:
                raise OSError("disk")
            return [b"\x92\x01", None, b"\x02"][len(calls) - 1]

    u = Unpacker(Flaky())
    with pytest.raises(OSError, match="disk"):
        u.unpack()
    assert u.unpack() == [1, 2]


def test_read_asks_no_more_than_free_space():
    source = Chunks(b"\xa5ab", b"cd", b"e")
    u = Unpacker(source, read_size=3, max_buffer_size=5)
    assert u.unpack() == "abcde"
    assert source.asked == [3, 3, 1]


def test_refill_without_space_raises_buffer_full():
    source = Chunks(b"\xa5a", b"b", b"cde")
    u = Unpacker(source, read_size=2, max_buffer_size=2)
    # 0xa5 needs five payload bytes at once; two is all the buffer holds.
    with pytest.raises(BufferFull):
        u.unpack()
    assert source.asked == [2, 1]


def test_read_returning_more_than_asked():
    # The surplus is kept, past max_buffer_size, rather than dropped.
    u = Unpacker(Chunks(b"\x01\x02\x03"), read_size=1, max_buffer_size=2)
    assert list(u) == [1, 2, 3]


def test_file_like_real_file(tmp_path):
    from _encoding import encode

    values = [1, "two", [3, {"four": b"4"}], None, 2.5] * 50
    path = tmp_path / "stream.bin"
    path.write_bytes(b"".join(encode(v) for v in values))
    with open(path, "rb") as f:
        assert list(Unpacker(f, read_size=7)) == values


def test_growth_from_one_byte():
    u = Unpacker(read_size=1, max_buffer_size=2**20)
    for piece in (b"\xc6\x00\x01", b"\x00\x00", b"x" * 65535, b"y"):
        u.feed(piece)
    assert u.unpack() == b"x" * 65535 + b"y"
    assert u.tell() == 5 + 65536
