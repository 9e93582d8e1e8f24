"""read_array_header / read_map_header: a header is consumed whole or not
at all, and the items after it are ordinary top-level values."""

from __future__ import annotations

import re

import pytest

from quelm import OutOfData, Unpacker

UNEXPECTED = "Unexpected type header on stream"


@pytest.mark.parametrize(
    "method, payload, count, used",
    [
        pytest.param("read_array_header", "93", 3, 1, id="short-array"),
        pytest.param("read_array_header", "90", 0, 1, id="empty-array"),
        pytest.param("read_array_header", "9f", 15, 1, id="short-array-max"),
        pytest.param("read_array_header", "dc0002", 2, 3, id="array16"),
        pytest.param("read_array_header", "dc0003", 3, 3, id="array16-non-minimal"),
        pytest.param("read_array_header", "dcffff", 65535, 3, id="array16-max"),
        pytest.param("read_array_header", "dd00010000", 65536, 5, id="array32"),
        pytest.param("read_array_header", "ddffffffff", 4294967295, 5, id="array32-max"),
        pytest.param("read_map_header", "81", 1, 1, id="short-map"),
        pytest.param("read_map_header", "80", 0, 1, id="empty-map"),
        pytest.param("read_map_header", "de0010", 16, 3, id="map16"),
        pytest.param("read_map_header", "df00000002", 2, 5, id="map32"),
        pytest.param("read_map_header", "dfffffffff", 4294967295, 5, id="map32-max"),
    ],
)
def test_header_count(method, payload, count, used):
    u = Unpacker(max_array_len=1, max_map_len=1)  # limits do not bound headers
    u.feed(bytes.fromhex(payload) + b"\xc0")
    assert getattr(u, method)() == count
    assert u.tell() == used
    assert u.unpack() is None


@pytest.mark.parametrize(
    "method, payload",
    [
        pytest.param("read_array_header", "81", id="map-for-array"),
        pytest.param("read_map_header", "91", id="array-for-map"),
        pytest.param("read_array_header", "c0", id="nil"),
        pytest.param("read_array_header", "01", id="int"),
        pytest.param("read_array_header", "de0001", id="map16-for-array"),
        pytest.param("read_map_header", "dd00000001", id="array32-for-map"),
        pytest.param("read_map_header", "a0", id="str"),
        pytest.param("read_array_header", "c1", id="invalid-byte"),
    ],
)
def test_wrong_header_consumes_nothing(method, payload):
    u = Unpacker()
    u.feed(bytes.fromhex(payload))
    with pytest.raises(ValueError, match=re.escape(UNEXPECTED)):
        getattr(u, method)()
    assert u.tell() == 0
    # The context is idle again: any method may run, and the byte is there.
    assert u.read_bytes(1) == bytes.fromhex(payload)[:1]


@pytest.mark.parametrize(
    "method, pieces, count",
    [
        pytest.param("read_array_header", ["dc", "00", "02"], 2, id="array16-bytewise"),
        pytest.param("read_array_header", ["dd0001", "0000"], 65536, id="array32-split"),
        pytest.param("read_map_header", ["de00", "05"], 5, id="map16-split"),
        pytest.param("read_map_header", ["df", "000000", "07"], 7, id="map32-split"),
    ],
)
def test_cut_off_header_is_not_consumed(method, pieces, count):
    u = Unpacker()
    for piece in pieces[:-1]:
        u.feed(bytes.fromhex(piece))
        with pytest.raises(OutOfData):
            getattr(u, method)()
        assert u.tell() == 0
    u.feed(bytes.fromhex(pieces[-1]))
    assert getattr(u, method)() == count
    assert u.tell() == len("".join(pieces)) // 2


def test_cut_off_header_locks_the_method():
    u = Unpacker()
    u.feed(b"\xdc")
    with pytest.raises(OutOfData):
        u.read_array_header()
    for other in (u.unpack, u.skip, u.read_map_header, lambda: u.read_bytes(1)):
        with pytest.raises(ValueError, match="Cannot switch unpacking methods while an object is incomplete"):
            other()
    u.feed(b"\x00\x02")
    assert u.read_array_header() == 2


def test_items_follow_as_top_level_values():
    u = Unpacker()
    u.feed(bytes.fromhex("920102") + bytes.fromhex("82a16101a16292c0c0"))
    assert u.read_array_header() == 2
    assert [u.unpack(), u.unpack()] == [1, 2]
    assert u.read_map_header() == 2
    assert u.unpack() == "a"
    assert u.unpack() == 1
    assert u.unpack() == "b"
    assert u.read_array_header() == 2
    u.skip()
    assert u.unpack() is None
    assert u.tell() == 12


def test_empty_unpacker_headers_raise_out_of_data():
    u = Unpacker()
    for method in (u.read_array_header, u.read_map_header):
        with pytest.raises(OutOfData, match=re.escape("No more data to unpack.")):
            method()


def test_header_from_file_like():
    pieces = [b"\xdd", b"\x00\x00", b"\x01\x00", b"\x05"]

    class Source:
        def read(self, n):
            return pieces.pop(0) if pieces else b""

    u = Unpacker(Source(), read_size=1)
    assert u.read_array_header() == 256
    assert u.unpack() == 5
