"""Values round-trip through Packer().pack and unpackb under each relevant
option set, and through hand-built encodings independent of the Packer."""

import datetime
import math
import struct

import pytest
from hypothesis import given, strategies as st

from quelm._cquelm import Packer, unpackb
from quelm.ext import ExtType, Timestamp

import _encoding as enc

UTC = datetime.timezone.utc

SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**64 - 1),
    st.floats(allow_nan=False),
    st.text(max_size=40),
    st.binary(max_size=40),
)
KEYS = st.one_of(st.text(max_size=10), st.binary(max_size=10))


def tree(leaves, keys=KEYS):
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.lists(children, max_size=6),
            st.dictionaries(keys, children, max_size=6),
        ),
        max_leaves=30,
    )


def tuplify(v):
    if isinstance(v, list):
        return tuple(tuplify(x) for x in v)
    if isinstance(v, dict):
        return {k: tuplify(x) for k, x in v.items()}
    return v


def as_raw(v):
    """What raw=True yields: every str (keys too) as its UTF-8 bytes."""
    if isinstance(v, str):
        return v.encode("utf-8", "surrogatepass")
    if isinstance(v, list):
        return [as_raw(x) for x in v]
    if isinstance(v, dict):
        return {as_raw(k): as_raw(x) for k, x in v.items()}
    return v


@given(tree(SCALARS))
def test_packer_default(value):
    assert unpackb(Packer().pack(value)) == value


@given(tree(SCALARS))
def test_packer_use_list_false(value):
    assert unpackb(Packer().pack(value), use_list=False) == tuplify(value)


@given(tree(SCALARS.filter(lambda v: not isinstance(v, (str, bytes))), st.text(max_size=10)))
def test_no_bin_type_without_strings(value):
    assert unpackb(Packer(use_bin_type=False).pack(value)) == value


@given(st.dictionaries(st.binary(max_size=5), st.binary(max_size=300), max_size=5))
def test_no_bin_type_bytes_come_back_raw(value):
    assert unpackb(Packer(use_bin_type=False).pack(value), raw=True) == value


@given(tree(st.one_of(st.text(max_size=20), st.integers(0, 5)), st.text(max_size=10)))
def test_raw(value):
    assert unpackb(Packer().pack(value), raw=True) == as_raw(value)


@given(st.floats(width=32, allow_nan=False))
def test_single_float_exact(f):
    got = unpackb(Packer(use_single_float=True).pack(f))
    assert got == f and math.copysign(1, got) == math.copysign(1, f)


@given(st.floats(allow_nan=True))
def test_double_bits(f):
    got = unpackb(Packer().pack(f))
    assert struct.pack(">d", got) == struct.pack(">d", f)


@given(st.integers(-(2**63), 2**63 - 1), st.integers(0, 999_999_999))
def test_timestamp_modes(seconds, nanoseconds):
    packed = Packer().pack(Timestamp(seconds, nanoseconds))
    assert packed == enc.timestamp(seconds, nanoseconds)
    assert unpackb(packed) == Timestamp(seconds, nanoseconds)
    assert unpackb(packed, timestamp=2) == seconds * 10**9 + nanoseconds
    assert unpackb(packed, timestamp=1) == nanoseconds / 1e9 + seconds


@given(st.datetimes(timezones=st.just(UTC)))
def test_datetime(dt):
    packed = Packer(datetime=True).pack(dt)
    assert unpackb(packed, timestamp=3) == dt
    assert unpackb(packed).to_datetime() == dt


@given(st.integers(-128, 127).filter(lambda c: c != -1), st.binary(max_size=300))
def test_ext(code, data):
    assert unpackb(Packer().pack(ExtType(code, data))) == ExtType(code, data)


@given(tree(SCALARS))
def test_hand_encoding_matches_packer(value):
    assert unpackb(enc.encode(value)) == value
    assert Packer().pack(value) == enc.encode(value)


@pytest.mark.parametrize(
    "value",
    [
        pytest.param([[]] * 16, id="array16"),
        pytest.param({str(i): i for i in range(16)}, id="map16"),
        pytest.param(list(range(70000)), id="array32"),
        pytest.param({i: None for i in range(70000)}, id="map32-int-keys"),
        pytest.param("\u00e9" * 40000, id="str32"),
        pytest.param(b"\x00" * 70000, id="bin32"),
        pytest.param(ExtType(3, b"\x01" * 70000), id="ext32"),
    ],
)
def test_width_boundaries(value):
    assert unpackb(Packer().pack(value), strict_map_key=False) == value
