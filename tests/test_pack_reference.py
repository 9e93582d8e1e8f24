"""Packer output against a small, independent encoder written from the
format's choice rules, on generated values."""

import struct

from hypothesis import given, settings
from hypothesis import strategies as st

from quelm import Packer


def ref_int(v):
    if 0 <= v <= 0x7F or -32 <= v < 0:
        return struct.pack(">b" if v < 0 else ">B", v)
    if v < 0:
        for first, fmt, low in ((0xD0, ">b", -128), (0xD1, ">h", -(2**15)),
                                (0xD2, ">i", -(2**31)), (0xD3, ">q", -(2**63))):
            if v >= low:
                return bytes([first]) + struct.pack(fmt, v)
    for first, fmt, high in ((0xCC, ">B", 0xFF), (0xCD, ">H", 0xFFFF),
                             (0xCE, ">I", 0xFFFFFFFF), (0xCF, ">Q", 2**64 - 1)):
        if v <= high:
            return bytes([first]) + struct.pack(fmt, v)
    raise OverflowError


def ref_length(n, forms):
    for first, fmt, high in forms:
        if first is not None and n <= high:
            return bytes([first]) + struct.pack(fmt, n)
    raise ValueError


def ref_str_header(n, use_bin_type):
    if n <= 31:
        return bytes([0xA0 | n])
    return ref_length(n, ((0xD9 if use_bin_type else None, ">B", 0xFF),
                          (0xDA, ">H", 0xFFFF), (0xDB, ">I", 2**32 - 1)))


def ref_pack(value, use_bin_type=True, use_single_float=False):
    def enc(v):
        if v is None:
            return b"\xc0"
        if v is True or v is False:
            return b"\xc3" if v else b"\xc2"
        if isinstance(v, int):
            return ref_int(v)
        if isinstance(v, float):
            if use_single_float:
                return b"\xca" + struct.pack(">f", v)
            return b"\xcb" + struct.pack(">d", v)
        if isinstance(v, str):
            data = v.encode("utf-8")
            return ref_str_header(len(data), use_bin_type) + data
        if isinstance(v, bytes):
            if not use_bin_type:
                return ref_str_header(len(v), False) + v
            return ref_length(len(v), ((0xC4, ">B", 0xFF), (0xC5, ">H", 0xFFFF),
                                       (0xC6, ">I", 2**32 - 1))) + v
        if isinstance(v, (list, tuple)):
            n = len(v)
            head = bytes([0x90 | n]) if n <= 15 else ref_length(
                n, ((0xDC, ">H", 0xFFFF), (0xDD, ">I", 2**32 - 1)))
            return head + b"".join(enc(x) for x in v)
        if isinstance(v, dict):
            n = len(v)
            head = bytes([0x80 | n]) if n <= 15 else ref_length(
                n, ((0xDE, ">H", 0xFFFF), (0xDF, ">I", 2**32 - 1)))
            return head + b"".join(enc(k) + enc(x) for k, x in v.items())
        raise TypeError(type(v))

    return enc(value)


scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary()
)
values = st.recursive(
    scalars,
    lambda children: st.lists(children) | st.tuples(children, children)
    | st.dictionaries(st.text() | st.integers(-(2**63), 2**63 - 1), children),
    max_leaves=40,
)


@given(values, st.booleans())
def test_matches_reference(value, use_bin_type):
    assert Packer(use_bin_type=use_bin_type).pack(value) == ref_pack(value, use_bin_type)


@settings(max_examples=50)
@given(st.lists(values, max_size=3))
def test_accumulated_output_is_the_concatenation(items):
    p = Packer(autoreset=False, buf_size=0)
    for item in items:
        p.pack(item)
    assert p.bytes() == b"".join(ref_pack(item) for item in items)


@given(st.floats(width=32, allow_nan=False))
def test_single_float_matches_reference(value):
    assert Packer(use_single_float=True).pack(value) == ref_pack(value, use_single_float=True)


@settings(max_examples=25)
@given(st.lists(st.sampled_from([0, 15, 16, 255, 256, 65535, 65536]), max_size=2),
       st.sampled_from([31, 32, 255, 256, 65535, 65536]))
def test_long_containers(sizes, text_length):
    value = [[0] * n for n in sizes] + ["y" * text_length, {i: None for i in range(17)}]
    assert Packer().pack(value) == ref_pack(value)
