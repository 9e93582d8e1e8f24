"""pack_array_header, pack_map_header, pack_ext_type and pack_map_pairs."""

import re

import pytest

from quelm import Packer


class HasInt:
    def __int__(self):
        return 2


@pytest.mark.parametrize(
    "size, expected",
    [
        pytest.param(0, "90", id="empty"),
        pytest.param(15, "9f", id="fixarray-max"),
        pytest.param(16, "dc 00 10", id="array16"),
        pytest.param(4294967295, "dd ff ff ff ff", id="array32-max"),
        pytest.param(2.9, "92", id="float-truncated"),
        pytest.param(HasInt(), "92", id="dunder-int"),
        pytest.param(True, "91", id="bool"),
    ],
)
def test_pack_array_header(size, expected):
    assert Packer().pack_array_header(size).hex(" ") == expected


@pytest.mark.parametrize(
    "size, expected",
    [
        pytest.param(3, "83", id="fixmap"),
        pytest.param(16, "de 00 10", id="map16"),
        pytest.param(4294967295, "df ff ff ff ff", id="map32-max"),
    ],
)
def test_pack_map_header(size, expected):
    assert Packer().pack_map_header(size).hex(" ") == expected


@pytest.mark.parametrize(
    "method, size, error, message",
    [
        ("pack_array_header", 2**32, ValueError, "array too large"),
        ("pack_array_header", -1, ValueError, "array size must be non-negative"),
        ("pack_array_header", "3", TypeError, "an integer is required"),
        ("pack_array_header", 2**64, OverflowError, None),
        ("pack_map_header", 2**32, ValueError, "map too learge"),
        ("pack_map_header", -1, ValueError, "map size must be non-negative"),
        ("pack_map_header", [], TypeError, "an integer is required"),
    ],
)
def test_header_errors_leave_buffer(method, size, error, message):
    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises(error) as info:
        getattr(p, method)(size)
    if message is not None:
        assert str(info.value) == message
    assert p.bytes() == b"\x01"


def test_headers_open_containers_for_later_packs():
    p = Packer(autoreset=False)
    p.pack_map_header(1)
    p.pack("a")
    p.pack_array_header(2)
    p.pack(1)
    p.pack(2)
    assert p.bytes().hex(" ") == "81 a1 61 92 01 02"


@pytest.mark.parametrize(
    "code, data, expected",
    [
        pytest.param(5, b"abcd", "d6 05 61 62 63 64", id="fixext4"),
        pytest.param(-2, b"", "c7 00 fe", id="empty-negative-code"),
        pytest.param(127, bytearray(b"a"), "d4 7f 61", id="bytearray"),
        pytest.param(-128, "ab", "d5 80 61 62", id="ascii-str"),
        pytest.param(HasInt(), b"abc", "c7 03 02 61 62 63", id="dunder-int-code"),
        pytest.param(1.9, b"a", "d4 01 61", id="float-code"),
    ],
)
def test_pack_ext_type(code, data, expected):
    assert Packer().pack_ext_type(code, data).hex(" ") == expected
    assert Packer().pack_ext_type(data=data, typecode=code).hex(" ") == expected


@pytest.mark.parametrize(
    "code, data, error, message",
    [
        pytest.param(128, b"a", OverflowError, "value too large to convert to char", id="128"),
        pytest.param(-129, b"a", OverflowError, "value too large to convert to char", id="-129"),
        pytest.param("1", b"a", TypeError, "an integer is required", id="str-code"),
        pytest.param(1, memoryview(b"a"), TypeError, None, id="memoryview"),
        pytest.param(1, [1], TypeError, None, id="list"),
        pytest.param(1, 5, TypeError, None, id="int"),
        pytest.param(1, "é", UnicodeEncodeError, None, id="non-ascii"),
    ],
)
def test_pack_ext_type_errors_leave_buffer(code, data, error, message):
    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises(error) as info:
        p.pack_ext_type(code, data)
    if message is not None:
        assert str(info.value) == message
    assert p.bytes() == b"\x01"


def test_pack_ext_type_uses_exposed_bytes_not_len():
    class Liar(bytes):
        def __len__(self):
            return 1000

    class Short(bytes):
        def __len__(self):
            return 1

    assert Packer().pack_ext_type(3, Liar(b"ab")) == b"\xd5\x03ab"
    assert Packer().pack_ext_type(3, Short(b"abc")) == b"\xc7\x03\x03abc"


@pytest.mark.parametrize(
    "pairs, expected",
    [
        pytest.param([(1, 2)], "81 01 02", id="list-of-tuple"),
        pytest.param([(1, 2), (1, 3)], "82 01 02 01 03", id="duplicate-keys"),
        pytest.param(((1, 2),), "81 01 02", id="tuple"),
        pytest.param([[1, 2]], "81 01 02", id="list-pair"),
        pytest.param({"a": None}.items(), "81 a1 61 c0", id="items-view"),
        pytest.param(["ab"], "81 a1 61 a1 62", id="str-item-iterated"),
        pytest.param([], "80", id="empty"),
    ],
)
def test_pack_map_pairs(pairs, expected):
    assert Packer().pack_map_pairs(pairs).hex(" ") == expected


def test_pack_map_pairs_applies_options():
    p = Packer(use_bin_type=False, default=lambda o: 9)
    assert p.pack_map_pairs([(b"k", object())]) == b"\x81\xa1k\x09"


class Pairs:
    def __init__(self, length, items):
        self.length = length
        self.items = items

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "pairs, error, message",
    [
        pytest.param([(1,)], ValueError, "need more than 1 value to unpack", id="one"),
        pytest.param([()], ValueError, "need more than 0 values to unpack", id="zero"),
        pytest.param([iter([1])], ValueError, "need more than 1 value to unpack", id="iter-one"),
        pytest.param([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)",
                     id="three"),
        pytest.param([iter([1, 2, 3])], ValueError, "too many values to unpack (expected 2)",
                     id="iter-three"),
        pytest.param([5], TypeError, None, id="not-iterable"),
        pytest.param([(1, object())], TypeError, "can not serialize 'object' object",
                     id="unpackable-value"),
        pytest.param(5, TypeError, None, id="no-len"),
        pytest.param(Pairs(2, [(1, 2)]), ValueError, None, id="fewer-than-len"),
        pytest.param(Pairs(1, [(1, 2), (3, 4)]), ValueError, None, id="more-than-len"),
    ],
)
def test_pack_map_pairs_failures_leave_buffer(pairs, error, message):
    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises(error) as info:
        p.pack_map_pairs(pairs)
    if message is not None:
        assert str(info.value) == message
    assert p.bytes() == b"\x01"


def test_failed_pack_map_pairs_does_not_corrupt_next_result():
    p = Packer()
    with pytest.raises(ValueError):
        p.pack_map_pairs([(1,)])
    assert p.pack(3) == b"\x03"


def test_pack_map_pairs_length_mismatch_message():
    with pytest.raises(ValueError, match=re.escape(
            "Pairs object has length 3 but yielded 1 pair")):
        Packer().pack_map_pairs(Pairs(3, [(1, 2)]))


def test_pack_map_pairs_stops_an_endless_iterator():
    import itertools

    with pytest.raises(ValueError):
        Packer().pack_map_pairs(Pairs(2, itertools.repeat((1, 2))))


@pytest.mark.parametrize("method, args", [
    ("pack_array_header", ()), ("pack_array_header", (1, 2)), ("pack_map_header", ()),
    ("pack_ext_type", (1,)), ("pack_map_pairs", ()), ("pack", ()), ("pack", (1, 2)),
])
def test_argument_count(method, args):
    with pytest.raises(TypeError):
        getattr(Packer(), method)(*args)


@pytest.mark.parametrize("method, kwargs", [
    ("pack_array_header", {"n": 1}), ("pack_map_pairs", {"items": []}),
    ("pack", {"value": 1}), ("pack", {"obj": 1, "x": 2}),
])
def test_unknown_keywords(method, kwargs):
    with pytest.raises(TypeError):
        getattr(Packer(), method)(**kwargs)


def test_keywords_accepted():
    p = Packer()
    assert p.pack(obj=1) == b"\x01"
    assert p.pack_array_header(size=1) == b"\x91"
    assert p.pack_map_header(size=1) == b"\x81"
    assert p.pack_map_pairs(pairs=[(1, 2)]) == b"\x81\x01\x02"
    with pytest.raises(TypeError):
        p.pack(1, obj=1)


def test_streaming_without_autoreset_returns_none():
    p = Packer(autoreset=False)
    assert p.pack_array_header(1) is None
    assert p.pack_map_header(0) is None
    assert p.pack_ext_type(1, b"") is None
    assert p.pack_map_pairs([]) is None
    assert p.bytes() == b"\x91\x80\xc7\x00\x01\x80"
