"""The state machine resumed across calls by the streaming Unpacker: a
container pre-sized from the few bytes at hand grows as its items arrive in
later calls, and ends up equal to the one-shot result."""

import tracemalloc

import pytest

from quelm._cquelm import Unpacker, unpackb

import _encoding as enc

pytestmark = pytest.mark.skipif(
    not hasattr(Unpacker, "feed"), reason="the streaming Unpacker is not built in"
)

VALUE = [list(range(i % 7)) for i in range(2000)] + [{"k": [1, 2], "m": {"n": None}}] * 3


@pytest.mark.parametrize(
    "kwargs",
    [
        pytest.param({}, id="lists"),
        pytest.param({"use_list": False}, id="tuples"),
        pytest.param({"object_pairs_hook": list}, id="pairs"),
        pytest.param({"list_hook": tuple, "object_hook": sorted}, id="hooks"),
    ],
)
def test_byte_by_byte_equals_one_shot(kwargs):
    data = enc.encode(VALUE)
    u = Unpacker(**kwargs)
    out = []
    for i in range(len(data)):
        u.feed(data[i : i + 1])
        out.extend(u)
    assert out == [unpackb(data, **kwargs)]


@pytest.mark.parametrize("use_list", [False, True], ids=["tuple", "list"])
@pytest.mark.parametrize(
    "value",
    [
        pytest.param(list(range(1000)), id="flat"),
        # The inner lists open while the outer one waits for its items.
        pytest.param([[0] * 500, list(range(700)), [[1] * 300]], id="nested"),
    ],
)
def test_resumed_array_is_exact(value, use_list):
    # Pre-sized from the first 10 bytes, then grown at once from the rest.
    data = enc.encode(value)
    u = Unpacker(use_list=use_list)
    u.feed(data[:10])
    assert list(u) == []
    u.feed(data[10:])
    (got,) = list(u)
    assert got == unpackb(data, use_list=use_list)
    assert type(got) is (list if use_list else tuple)


@pytest.mark.parametrize(
    "header",
    [
        pytest.param(b"\xdd\x06\x40\x00\x00", id="array"),
        pytest.param(b"\xdf\x03\x20\x00\x00\xa0", id="map"),
    ],
)
@pytest.mark.parametrize(
    "kwargs", [{}, {"use_list": False}, {"object_pairs_hook": list}], ids=["list", "tuple", "pairs"]
)
def test_hostile_headers_bounded(header, kwargs):
    # 100 MiB-item headers are within the Unpacker's own limits; what they
    # reserve must still be bounded by the bytes fed.
    payload = header * 1000
    tracemalloc.start()
    try:
        u = Unpacker(**kwargs)
        u.feed(payload)
        assert list(u) == []
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 * len(payload) + (1 << 20)
