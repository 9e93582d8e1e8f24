"""Memory used by a decoding is bounded by its input: headers that announce
more items than the input could hold reserve nothing beyond what the bytes
at hand can fill."""

import struct
import tracemalloc

import pytest

from quelm._cquelm import unpackb
from quelm.exceptions import StackError

import _encoding as enc

MiB = 1 << 20
LIFTED = {f"max_{k}_len": 2**32 for k in ("str", "bin", "array", "map", "ext")}
INCOMPLETE = "Unpack failed: incomplete input"


def u32(n: int) -> bytes:
    return struct.pack(">I", n)


HUGE = 2**32 - 1

HOSTILE = [
    pytest.param(b"\xdd" + u32(HUGE) + b"\x00" * MiB, {}, id="flat-array-lifted"),
    pytest.param((b"\xdd" + u32(HUGE)) * 1000, {}, id="nested-arrays"),
    pytest.param((b"\xdd" + u32(HUGE)) * 1000, {"use_list": False}, id="nested-tuples"),
    pytest.param((b"\xdf" + u32(HUGE) + b"\xa0") * 1000, {}, id="nested-maps"),
    pytest.param((b"\xdf" + u32(HUGE) + b"\xa0") * 1000, {"object_pairs_hook": list},
                 id="nested-pairs"),
    pytest.param(b"\xdd" + u32(HUGE) + (b"\xdd" + u32(HUGE) + b"\x01" * 200) * 1000, {},
                 id="arrays-with-items"),
    pytest.param(b"\xdf" + u32(HUGE) + b"\xa0\x01" * (MiB // 2), {"object_pairs_hook": list},
                 id="flat-pairs"),
    pytest.param(b"\xdb" + u32(HUGE) + b"a" * MiB, {}, id="str32"),
    pytest.param(b"\xc6" + u32(HUGE) + b"a" * MiB, {}, id="bin32"),
    pytest.param(b"\xc9" + u32(HUGE) + b"\x01" + b"a" * MiB, {}, id="ext32"),
    pytest.param(b"\x91" * 1000 + b"\xdd" + u32(HUGE) + b"\x00" * MiB, {}, id="deep-then-flat"),
]


def peak_of(payload: bytes, kwargs: dict) -> tuple[int, BaseException]:
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        try:
            unpackb(payload, **kwargs)
        except (ValueError, StackError) as e:
            error = e
        else:
            raise AssertionError("hostile input decoded")
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return peak, error


@pytest.mark.parametrize("payload, kwargs", HOSTILE)
@pytest.mark.parametrize("limits", [LIFTED, {}], ids=["lifted", "derived"])
def test_peak_bounded_by_input(payload, kwargs, limits):
    peak, error = peak_of(payload, {**kwargs, **limits})
    assert peak < 64 * len(payload) + MiB, (peak, len(payload))
    if limits:
        assert type(error) is ValueError and error.args == (INCOMPLETE,)


def test_derived_limit_refuses_big_header():
    # With limits derived from the length, the header alone is refused.
    with pytest.raises(ValueError, match=r"^4294967295 exceeds max_array_len\(5\)$"):
        unpackb(b"\xdd" + u32(HUGE))


@pytest.mark.parametrize(
    "value, kwargs",
    [
        pytest.param(list(range(100000)), {}, id="list"),
        pytest.param(list(range(100000)), {"use_list": False}, id="tuple"),
        pytest.param([[i, [i]] for i in range(20000)], {}, id="nested-lists"),
        pytest.param({str(i): [i] for i in range(20000)}, {"object_pairs_hook": list},
                     id="pairs"),
    ],
)
def test_complete_input_exact_size(value, kwargs):
    # Complete input needs no growth: each container is allocated once at
    # its final size, so its footprint equals a list built at that size.
    got = unpackb(enc.encode(value), **kwargs)
    expected = list(value)
    if kwargs.get("use_list") is False:
        expected = tuple(value)
    if "object_pairs_hook" in kwargs:
        expected = list(value.items())
    assert got == expected
    assert got.__sizeof__() == expected.__sizeof__()
    if isinstance(got, list) and got and isinstance(got[0], list):
        assert all(g.__sizeof__() == e.__sizeof__() for g, e in zip(got, expected))
