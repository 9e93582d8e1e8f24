"""Memory bound of the streaming decoder: a header that declares far more
items than the bytes at hand does not make the Unpacker allocate for them,
across feeds, and the value still completes when the items arrive."""

from __future__ import annotations

import tracemalloc

import pytest

from quelm import BufferFull, OutOfData, Unpacker

MIB = 1 << 20


def traced_peak(action):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        action()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def raises_out_of_data(u, method="unpack"):
    with pytest.raises(OutOfData):
        getattr(u, method)()


@pytest.mark.parametrize(
    "header",
    [
        pytest.param("dd05f5e100", id="array-100M"),
        pytest.param("df02faf080", id="map-50M"),
        pytest.param("dd05f5e100" "dd05f5e100" "df02faf080", id="nested"),
        pytest.param("dbffffffff", id="str-4G"),
        pytest.param("c9ffffffff05", id="ext-4G"),
    ],
)
def test_huge_header_alone_is_cheap(header):
    u = Unpacker(read_size=64)

    def step():
        u.feed(bytes.fromhex(header))
        raises_out_of_data(u)

    assert traced_peak(step) < MIB // 4


def test_huge_array_grows_with_the_items_at_hand():
    u = Unpacker(read_size=64)
    u.feed(bytes.fromhex("dd05f5e100"))
    raises_out_of_data(u)

    def step():
        for _ in range(10):
            u.feed(b"\x01" * 1000)
            raises_out_of_data(u)

    # 10,000 items held: a list of that many slots, far below 100M slots.
    assert traced_peak(step) < MIB
    assert u.tell() == 5 + 10_000


def test_hundred_million_items_complete_across_feeds():
    # Building 100M objects would take gigabytes; skipping them holds none,
    # and walks the same header, frames and buffer across 100 feeds.
    u = Unpacker(read_size=64)
    u.feed(bytes.fromhex("dd05f5e100"))
    raises_out_of_data(u, "skip")
    chunk = b"\x01" * 1_000_000
    for _ in range(99):
        u.feed(chunk)
        raises_out_of_data(u, "skip")
    u.feed(chunk + b"\x07")
    assert u.skip() is None
    assert u.tell() == 5 + 100_000_000
    assert u.unpack() == 7


def test_declared_array_completes_across_feeds():
    n = 300_000
    u = Unpacker(read_size=64)
    u.feed(b"\xdd" + n.to_bytes(4, "big"))
    raises_out_of_data(u)
    for start in range(0, n, 7_919):
        count = min(7_919, n - start)
        u.feed(bytes(i % 128 for i in range(start, start + count)))
        if start + count < n:
            raises_out_of_data(u)
    value = u.unpack()
    assert len(value) == n
    assert value == [i % 128 for i in range(n)]


def test_declared_map_completes_across_feeds():
    n = 5_000
    u = Unpacker(read_size=64)
    u.feed(b"\xdf" + n.to_bytes(4, "big"))
    raises_out_of_data(u)
    for i in range(n):
        key = str(i).encode()
        u.feed(bytes([0xA0 | len(key)]) + key)
        u.feed(b"\xcd" + i.to_bytes(2, "big"))
    assert u.unpack() == {str(i): i for i in range(n)}


def test_use_list_false_completes_across_feeds():
    u = Unpacker(use_list=False)
    u.feed(b"\xdc\x01\x00")
    raises_out_of_data(u)
    for i in range(256):
        u.feed(bytes([i % 128]))
    assert u.unpack() == tuple(i % 128 for i in range(256))


def test_skip_of_huge_header_holds_nothing():
    u = Unpacker(read_size=64)

    def step():
        u.feed(bytes.fromhex("dd05f5e100"))
        raises_out_of_data(u, "skip")
        for _ in range(20):
            u.feed(b"\x92\x01\x02" * 300)
            raises_out_of_data(u, "skip")

    assert traced_peak(step) < MIB // 4


def test_str_longer_than_buffer_bound_is_refused():
    u = Unpacker(read_size=16, max_buffer_size=64)
    u.feed(bytes.fromhex("db00010000"))
    raises_out_of_data(u)
    u.feed(b"x" * 64)
    with pytest.raises(BufferFull):
        u.feed(b"x")
