"""Exact bytes of every encoder form, through Packer.pack."""

import re
import struct

import pytest

from quelm import ExtType, Packer, Timestamp


def packed(value, **options):
    return Packer(**options).pack(value).hex(" ")


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(0, "00", id="zero"),
        pytest.param(127, "7f", id="fixint-max"),
        pytest.param(128, "cc 80", id="uint8-min"),
        pytest.param(200, "cc c8", id="uint8"),
        pytest.param(255, "cc ff", id="uint8-max"),
        pytest.param(256, "cd 01 00", id="uint16-min"),
        pytest.param(300, "cd 01 2c", id="uint16"),
        pytest.param(65535, "cd ff ff", id="uint16-max"),
        pytest.param(65536, "ce 00 01 00 00", id="uint32-min"),
        pytest.param(2**32 - 1, "ce ff ff ff ff", id="uint32-max"),
        pytest.param(2**32, "cf 00 00 00 01 00 00 00 00", id="uint64-min"),
        pytest.param(2**60 - 1, "cf 0f ff ff ff ff ff ff ff", id="uint64-two-digits-max"),
        pytest.param(2**60, "cf 10 00 00 00 00 00 00 00", id="uint64-three-digits"),
        pytest.param(2**63, "cf 80 00 00 00 00 00 00 00", id="uint64-above-int64"),
        pytest.param(2**64 - 1, "cf ff ff ff ff ff ff ff ff", id="uint64-max"),
        pytest.param(-1, "ff", id="minus-one"),
        pytest.param(-32, "e0", id="negative-fixint-min"),
        pytest.param(-33, "d0 df", id="int8"),
        pytest.param(-128, "d0 80", id="int8-min"),
        pytest.param(-129, "d1 ff 7f", id="int16"),
        pytest.param(-32768, "d1 80 00", id="int16-min"),
        pytest.param(-32769, "d2 ff ff 7f ff", id="int32"),
        pytest.param(-(2**31), "d2 80 00 00 00", id="int32-min"),
        pytest.param(-(2**31) - 1, "d3 ff ff ff ff 7f ff ff ff", id="int64"),
        pytest.param(-(2**60) + 1, "d3 f0 00 00 00 00 00 00 01", id="int64-two-digits-min"),
        pytest.param(-(2**60), "d3 f0 00 00 00 00 00 00 00", id="int64-three-digits"),
        pytest.param(-(2**63), "d3 80 00 00 00 00 00 00 00", id="int64-min"),
    ],
)
def test_int_forms(value, expected):
    assert packed(value) == expected


@pytest.mark.parametrize("value", [2**64, -(2**63) - 1, 10**30, -(10**30)])
def test_int_out_of_range(value):
    with pytest.raises(OverflowError, match=re.escape("Integer value out of range")):
        Packer().pack(value)


@pytest.mark.parametrize(
    "value, options, expected",
    [
        pytest.param(None, {}, "c0", id="nil"),
        pytest.param(True, {}, "c3", id="true"),
        pytest.param(False, {}, "c2", id="false"),
        pytest.param(1.5, {}, "cb 3f f8 00 00 00 00 00 00", id="float64"),
        pytest.param(1.5, {"use_single_float": True}, "ca 3f c0 00 00", id="float32"),
        pytest.param(float("inf"), {"use_single_float": True}, "ca 7f 80 00 00", id="float32-inf"),
        pytest.param(-0.0, {}, "cb 80 00 00 00 00 00 00 00", id="negative-zero"),
        pytest.param(float("-inf"), {}, "cb ff f0 00 00 00 00 00 00", id="float64-minus-inf"),
    ],
)
def test_scalars(value, options, expected):
    assert packed(value, **options) == expected


def test_float64_nan_keeps_its_bits():
    nan = struct.unpack(">d", bytes.fromhex("7ff8000000000001"))[0]
    assert Packer().pack(nan) == b"\xcb" + bytes.fromhex("7ff8000000000001")


def test_float32_overflow():
    with pytest.raises(OverflowError):
        Packer(use_single_float=True).pack(1e300)


STR_CASES = [
    pytest.param(0, True, "a0", id="empty"),
    pytest.param(31, True, "bf", id="fixstr-max"),
    pytest.param(32, True, "d9 20", id="str8"),
    pytest.param(32, False, "da 00 20", id="str16-without-bin"),
    pytest.param(255, True, "d9 ff", id="str8-max"),
    pytest.param(255, False, "da 00 ff", id="str16-255-without-bin"),
    pytest.param(256, True, "da 01 00", id="str16"),
    pytest.param(256, False, "da 01 00", id="str16-without-bin-too"),
    pytest.param(65535, True, "da ff ff", id="str16-max"),
    pytest.param(65536, True, "db 00 01 00 00", id="str32"),
]


@pytest.mark.parametrize("length, use_bin_type, header", STR_CASES)
def test_str_headers(length, use_bin_type, header):
    out = Packer(use_bin_type=use_bin_type).pack("x" * length)
    head = bytes.fromhex(header)
    assert out == head + b"x" * length


def test_str_is_utf8():
    assert packed("é€") == "a5 c3 a9 e2 82 ac"


BIN_CASES = [
    pytest.param(0, True, "c4 00", id="bin8-empty"),
    pytest.param(0, False, "a0", id="empty-as-str"),
    pytest.param(3, True, "c4 03", id="bin8"),
    pytest.param(255, True, "c4 ff", id="bin8-max"),
    pytest.param(256, True, "c5 01 00", id="bin16"),
    pytest.param(65536, True, "c6 00 01 00 00", id="bin32"),
    pytest.param(40, False, "da 00 28", id="str16-without-bin"),
]


@pytest.mark.parametrize("length, use_bin_type, header", BIN_CASES)
@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_bin_headers(length, use_bin_type, header, kind):
    data = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
    out = Packer(use_bin_type=use_bin_type).pack(kind(data))
    assert out == bytes.fromhex(header) + data


@pytest.mark.parametrize(
    "count, header",
    [
        pytest.param(0, "90", id="empty"),
        pytest.param(15, "9f", id="fixarray-max"),
        pytest.param(16, "dc 00 10", id="array16"),
        pytest.param(65535, "dc ff ff", id="array16-max"),
        pytest.param(65536, "dd 00 01 00 00", id="array32"),
    ],
)
def test_array_headers(count, header):
    assert Packer().pack([None] * count) == bytes.fromhex(header) + b"\xc0" * count


@pytest.mark.parametrize(
    "count, header",
    [
        pytest.param(0, "80", id="empty"),
        pytest.param(15, "8f", id="fixmap-max"),
        pytest.param(16, "de 00 10", id="map16"),
        pytest.param(65536, "df 00 01 00 00", id="map32"),
    ],
)
def test_map_headers(count, header):
    out = Packer().pack({i: None for i in range(count)})
    assert out.startswith(bytes.fromhex(header))
    body = Packer(autoreset=False)
    for i in range(count):
        body.pack(i)
        body.pack(None)
    assert out == bytes.fromhex(header) + body.bytes()


@pytest.mark.parametrize(
    "code, length, header",
    [
        pytest.param(5, 0, "c7 00 05", id="ext8-empty"),
        pytest.param(5, 1, "d4 05", id="fixext1"),
        pytest.param(5, 2, "d5 05", id="fixext2"),
        pytest.param(5, 3, "c7 03 05", id="ext8"),
        pytest.param(5, 4, "d6 05", id="fixext4"),
        pytest.param(5, 8, "d7 05", id="fixext8"),
        pytest.param(5, 16, "d8 05", id="fixext16"),
        pytest.param(5, 17, "c7 11 05", id="ext8-17"),
        pytest.param(-128, 255, "c7 ff 80", id="ext8-max"),
        pytest.param(127, 256, "c8 01 00 7f", id="ext16"),
        pytest.param(-2, 65536, "c9 00 01 00 00 fe", id="ext32"),
    ],
)
def test_ext_headers(code, length, header):
    data = b"z" * length
    expected = bytes.fromhex(header) + data
    assert Packer().pack(ExtType(code, data)) == expected
    assert Packer().pack_ext_type(code, data) == expected


@pytest.mark.parametrize(
    "seconds, nanoseconds, expected",
    [
        pytest.param(0, 0, "d6 ff 00 00 00 00", id="zero"),
        pytest.param(1, 0, "d6 ff 00 00 00 01", id="one"),
        pytest.param(2**32 - 1, 0, "d6 ff ff ff ff ff", id="ts32-max"),
        pytest.param(2**32, 0, "d7 ff 00 00 00 01 00 00 00 00", id="ts64-seconds"),
        pytest.param(1, 1, "d7 ff 00 00 00 04 00 00 00 01", id="ts64-nanoseconds"),
        pytest.param(2**34 - 1, 999999999, "d7 ff ee 6b 27 ff ff ff ff ff", id="ts64-max"),
        pytest.param(
            2**34, 0, "c7 0c ff 00 00 00 00 00 00 00 04 00 00 00 00", id="ts96-seconds"
        ),
        pytest.param(
            -1, 0, "c7 0c ff 00 00 00 00 ff ff ff ff ff ff ff ff", id="ts96-minus-one"
        ),
        pytest.param(
            -1, 500000000, "c7 0c ff 1d cd 65 00 ff ff ff ff ff ff ff ff", id="ts96-half"
        ),
        pytest.param(
            -(2**63), 0, "c7 0c ff 00 00 00 00 80 00 00 00 00 00 00 00", id="ts96-min"
        ),
    ],
)
def test_timestamps(seconds, nanoseconds, expected):
    assert packed(Timestamp(seconds, nanoseconds)) == expected


def test_examples_of_containers():
    assert packed([1, 2]) == "92 01 02"
    assert packed({"a": 1}) == "81 a1 61 01"
    assert packed((1, 2)) == "92 01 02"
    assert packed([[], {}, ""]) == "93 90 80 a0"


def test_small_buffer_grows():
    p = Packer(buf_size=0)
    assert p.pack(1) == b"\x01"
    data = bytes(range(256)) * 1000
    assert p.pack(data) == b"\xc6\x00\x03\xe8\x00" + data
    q = Packer(buf_size=1, autoreset=False)
    for i in range(1000):
        q.pack(i)
    expected = b"".join(Packer().pack(i) for i in range(1000))
    assert q.bytes() == expected


@pytest.mark.parametrize("use_bin_type, header", [(True, "c6 00 20 00 01"), (False, "db 00 20 00 01")])
@pytest.mark.parametrize("autoreset", [True, False])
def test_large_bytes(use_bin_type, header, autoreset):
    data = bytes(range(256)) * 8192 + b"!"
    p = Packer(use_bin_type=use_bin_type, autoreset=autoreset, buf_size=16)
    result = p.pack(data)
    if not autoreset:
        assert result is None
        result = p.bytes()
    assert result[:5] == bytes.fromhex(header)
    assert result[5:] == data
    assert p.pack(1) in (b"\x01", None)
    assert p.bytes() == (b"" if autoreset else result + b"\x01")


@pytest.mark.parametrize("length", range(0, 40))
def test_short_payloads_copied_exactly(length):
    text = "".join(chr(0x61 + (i * 7) % 26) for i in range(length))
    head = bytes([0xA0 | length]) if length < 32 else bytes([0xD9, length])
    assert Packer().pack(text) == head + text.encode()
    data = bytes((i * 37 + 11) % 256 for i in range(length))
    assert Packer().pack(data) == bytes([0xC4, length]) + data
    p = Packer(autoreset=False, buf_size=0)
    for _ in range(3):
        p.pack(text)
    assert p.bytes() == (head + text.encode()) * 3


def test_non_ascii_str_through_cached_utf8():
    text = "ab\u00e9" * 20
    encoded = text.encode()
    assert Packer().pack(text) == bytes([0xD9, len(encoded)]) + encoded


def _str_item(text):
    encoded = text.encode()
    head = bytes([0xA0 | len(encoded)]) if len(encoded) < 32 else bytes([0xD9, len(encoded)])
    return head + encoded


@pytest.mark.parametrize("buf_size", [0, 7, 262144])
def test_short_strs_side_by_side_in_containers(buf_size):
    # Each short text is copied with a fixed-width store past its end: the
    # next item must overwrite what that store left, and nothing before it
    # may be touched.
    texts = ["", "a", "ab", "é", "ü1", "x" * 15, "y" * 16, "z" * 17, "日本", "", "q" * 31]
    texts += ["k%d" % i * (i % 9) for i in range(40)]
    # Non-ASCII texts of 8 to 31 UTF-8 bytes, one with no UTF-8 form cached.
    texts += ["é" * 4, "日本語ab", "é" * 8, "日本語" * 3 + "x", "ü" * 15, "😀" * 7,
              "".join(["ß"] * 12) + "!"]
    body = b"".join(_str_item(t) for t in texts)
    n = len(texts)
    assert Packer(buf_size=buf_size).pack(texts) == b"\xdc" + struct.pack(">H", n) + body
    assert Packer(buf_size=buf_size).pack(tuple(texts)) == b"\xdc" + struct.pack(">H", n) + body
    pairs = {t + "!" * i: t for i, t in enumerate(texts)}
    expected = b"\xde" + struct.pack(">H", n) + b"".join(
        _str_item(k) + _str_item(v) for k, v in pairs.items())
    assert Packer(buf_size=buf_size).pack(pairs) == expected


@pytest.mark.parametrize("leaf", [1, "s", 1.5, None, True, 2**70])
@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}])
def test_leaves_in_containers_keep_the_nesting_budget(leaf, wrap):
    value = wrap(leaf)
    for _ in range(1023):
        value = [value]
    assert Packer(default=str).pack(value)[:1023] == b"\x91" * 1023
    with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
        Packer(default=str).pack([value])
