"""Arbitrary bytes never crash the decoder: unpackb returns a value or raises
one of the documented exceptions."""

import pytest
from hypothesis import given, strategies as st

from quelm._cquelm import unpackb
from quelm.ext import ExtType

import _encoding as enc

# What decoding arbitrary bytes may raise: the ValueError family (incomplete
# input, FormatError, StackError, ExtraData, limits, bad timestamps, bad
# UTF-8, refused map keys), OverflowError for timestamps beyond datetime,
# and TypeError for an unhashable key when keys are not restricted.
DOCUMENTED = (ValueError, OverflowError)
OPTION_SETS = [
    {},
    {"timestamp": 1},
    {"timestamp": 2},
    {"timestamp": 3},
    {"raw": True, "use_list": False},
    {"unicode_errors": "replace", "object_pairs_hook": list},
    {"max_str_len": 3, "max_bin_len": 3, "max_array_len": 3, "max_map_len": 3, "max_ext_len": 3},
]


def outcome(data: bytes, **kwargs):
    try:
        return ("value", unpackb(data, **kwargs))
    except DOCUMENTED as e:
        return ("error", type(e))


# Byte strings rich in headers: arbitrary bytes, and concatenations of
# fragments that open containers, strings and extension values.
FRAGMENTS = st.sampled_from(
    [bytes([b]) for b in (0x91, 0x92, 0x81, 0x82, 0xa1, 0xc1, 0xc0, 0x90, 0x80, 0x01, 0xff)]
    + [bytes.fromhex(x) for x in ("dc0002", "de0001", "d9 01".replace(" ", ""), "c403",
                                   "c70cff", "d6ff", "d7ff", "c701ff", "d4ff", "dd00000003",
                                   "db00000001", "c9000000010c", "cb3ff8", "cf00")]
)
INPUTS = st.one_of(
    st.binary(max_size=64),
    st.lists(st.one_of(FRAGMENTS, st.binary(max_size=6)), max_size=24).map(b"".join),
)


@given(INPUTS, st.sampled_from(OPTION_SETS))
def test_arbitrary_bytes(data, kwargs):
    outcome(data, **kwargs)


@given(INPUTS)
def test_arbitrary_bytes_loose_keys(data):
    try:
        unpackb(data, strict_map_key=False)
    except DOCUMENTED:
        pass
    except TypeError as e:
        assert "unhashable" in str(e)


@given(INPUTS)
def test_deterministic(data):
    assert outcome(data) == outcome(data)


@given(INPUTS)
def test_prefix_of_valid_value_is_incomplete(data):
    # Whenever bytes decode to a value, every proper prefix is incomplete.
    lifted = {f"max_{k}_len": 2**32 for k in ("str", "bin", "array", "map", "ext")}
    try:
        unpackb(data, ext_hook=lambda c, d: None, strict_map_key=False, **lifted)
    except (ValueError, OverflowError, TypeError):
        return
    for cut in range(len(data)):
        with pytest.raises(ValueError) as info:
            unpackb(data[:cut], ext_hook=lambda c, d: None, strict_map_key=False, **lifted)
        assert info.value.args == ("Unpack failed: incomplete input",)


@given(st.binary(max_size=32), st.integers(-128, 127).filter(lambda c: c != -1))
def test_ext_values(data, code):
    assert unpackb(enc.ext(code, data)) == ExtType(code, data)
