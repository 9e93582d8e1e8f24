"""Which Python value gets which encoding, in which order, and the limits."""

import builtins
import datetime
import re
from collections import OrderedDict

import pytest

from quelm import ExtType, Packer, Timestamp

UTC = datetime.timezone.utc


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


class MyDict(dict):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyExt(ExtType):
    pass


SUBCLASS_CASES = [
    pytest.param(MyInt(300), "cd 01 2c", id="int"),
    pytest.param(MyFloat(1.5), "cb 3f f8 00 00 00 00 00 00", id="float"),
    pytest.param(MyBytes(b"ab"), "c4 02 61 62", id="bytes"),
    pytest.param(MyStr("ab"), "a2 61 62", id="str"),
    pytest.param(MyDict(a=1), "81 a1 61 01", id="dict"),
    pytest.param(OrderedDict(a=1), "81 a1 61 01", id="ordereddict"),
    pytest.param(MyList([1, 2]), "92 01 02", id="list"),
    pytest.param(MyTuple((1, 2)), "92 01 02", id="tuple"),
    pytest.param(MyExt(3, b"x"), "d4 03 78", id="ext"),
]


@pytest.mark.parametrize("value, expected", SUBCLASS_CASES)
def test_subclasses_pack_like_their_base(value, expected):
    assert Packer().pack(value).hex(" ") == expected


@pytest.mark.parametrize("value, expected", SUBCLASS_CASES)
def test_strict_types_refuses_subclasses(value, expected):
    name = re.escape(type(value).__name__)
    with pytest.raises(TypeError, match="can not serialize '([a-z]+\\.)?%s' object" % name):
        Packer(strict_types=True).pack(value)
    # ...and hands them to default instead.
    assert Packer(strict_types=True, default=lambda o: None).pack(value) == b"\xc0"


def test_strict_types_tuple():
    with pytest.raises(TypeError, match=re.escape("can not serialize 'tuple' object")):
        Packer(strict_types=True).pack((1, 2))
    assert Packer(strict_types=True, default=list).pack((1, 2)) == b"\x92\x01\x02"
    # Exact builtin types still pack in strict mode.
    strict = Packer(strict_types=True)
    assert strict.pack([1, {"a": b"b"}, 1.5, ExtType(1, b"")]).hex(" ") == (
        "94 01 81 a1 61 c4 01 62 cb 3f f8 00 00 00 00 00 00 c7 00 01")


def test_bool_is_not_an_int():
    assert Packer().pack([True, False, 1, 0]) == b"\x94\xc3\xc2\x01\x00"


def test_exttype_that_is_a_tuple_is_an_extension():
    value = ExtType(1, b"ab")
    assert isinstance(value, tuple)
    assert Packer().pack(value) == b"\xd5\x01ab"


def test_ext_code_is_cut_to_a_signed_byte():
    class Wide(ExtType):
        @property
        def code(self):
            return 200

    assert Packer().pack(Wide(0, b"a")) == b"\xd4\xc8a"


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(bytearray(b"ab"), "d5 07 61 62", id="bytearray"),
        pytest.param("ab", "d5 07 61 62", id="ascii-str"),
    ],
)
def test_ext_data_forms(data, expected):
    class Loose(ExtType):
        def __new__(cls, code, data):
            self = tuple.__new__(cls, (code, data))
            return self

    assert Packer().pack(Loose(7, data)).hex(" ") == expected


@pytest.mark.parametrize(
    "data, error",
    [
        pytest.param("é", UnicodeEncodeError, id="non-ascii"),
        pytest.param(memoryview(b"a"), TypeError, id="memoryview"),
        pytest.param(5, TypeError, id="int"),
    ],
)
def test_ext_data_refused(data, error):
    value = tuple.__new__(ExtType, (7, data))
    with pytest.raises(error):
        Packer().pack(value)


def test_default_called_once_per_value():
    calls = []

    def default(obj):
        calls.append(obj)
        return object()

    with pytest.raises(TypeError, match=re.escape("can not serialize 'object' object")):
        Packer(default=default).pack({1: {2}})
    assert calls == [{2}]


def test_default_result_is_packed_with_the_same_budget():
    assert Packer(default=sorted).pack({3, 1, 2}) == b"\x93\x01\x02\x03"


def test_int_out_of_range_goes_to_default():
    assert Packer(default=str).pack(2**64).hex(" ") == (
        "b4 " + " ".join("%02x" % c for c in b"18446744073709551616"))
    with pytest.raises(OverflowError, match=re.escape("Integer value out of range")):
        Packer(default=lambda o: o).pack(2**64)


def test_default_exception_propagates():
    def default(obj):
        raise KeyError("nope")

    with pytest.raises(KeyError, match="nope"):
        Packer(default=default).pack(object())


def test_int_subclass_uses_its_comparison():
    class Liar(int):
        def __gt__(self, other):
            return True

    with pytest.raises(OverflowError, match=re.escape("Integer value out of range")):
        Packer().pack(Liar(-5))
    assert Packer(default=int).pack(Liar(-5)) == b"\xfb"

    class Broken(int):
        def __gt__(self, other):
            raise ArithmeticError("compare")

    with pytest.raises(ArithmeticError, match="compare"):
        Packer().pack(Broken(1))


def test_float_subclass_packs_its_stored_value():
    class Other(float):
        def __float__(self):
            raise ArithmeticError("float")

    assert Packer().pack(Other(2.0)) == b"\xcb@\x00\x00\x00\x00\x00\x00\x00"


def test_mapping_subclass_uses_len_and_items():
    class Odd(dict):
        def items(self):
            return iter([("k", 1), ["v", 2]])

        def __len__(self):
            return 2

    assert Packer().pack(Odd()).hex(" ") == "82 a1 6b 01 a1 76 02"


def test_mapping_items_must_be_pairs():
    class Odd(dict):
        def items(self):
            return [(1,)]

        def __len__(self):
            return 1

    with pytest.raises(ValueError, match=re.escape("need more than 1 value to unpack")):
        Packer().pack(Odd())


def test_memoryview_forms():
    assert Packer().pack(memoryview(b"abc")) == b"\xc4\x03abc"
    wide = memoryview(bytes(8)).cast("i")
    assert Packer().pack(wide) == b"\xc4\x08" + bytes(8)
    with pytest.raises(BufferError):
        Packer().pack(memoryview(b"abcdef")[::2])


def test_datetime_packing():
    p = Packer(datetime=True)
    assert p.pack(datetime.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC)).hex(" ") == (
        "d6 ff 00 00 00 01")
    assert p.pack(datetime.datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC)).hex(" ") == (
        "c7 0c ff 1d cd 65 00 ff ff ff ff ff ff ff ff")
    plus_one = datetime.timezone(datetime.timedelta(hours=1))
    assert p.pack(datetime.datetime(1970, 1, 1, 1, 0, 1, tzinfo=plus_one)) == bytes.fromhex(
        "d6ff00000001")
    with pytest.raises(ValueError, match=re.escape(
            "can not serialize 'datetime.datetime' object where tzinfo=None")):
        p.pack(datetime.datetime(2000, 1, 1))
    assert Packer(datetime=True, default=lambda d: 0).pack(datetime.datetime(2000, 1, 1)) == (
        b"\x00")


def test_datetime_option_off():
    aware = datetime.datetime(2000, 1, 1, tzinfo=UTC)
    with pytest.raises(TypeError, match=re.escape(
            "can not serialize 'datetime.datetime' object")):
        Packer().pack(aware)
    assert Packer(default=lambda d: 7).pack(aware) == b"\x07"


def test_datetime_subclass_and_date_are_not_timestamps():
    class MyDatetime(datetime.datetime):
        pass

    with pytest.raises(TypeError, match=re.escape("can not serialize 'MyDatetime' object")):
        Packer(datetime=True).pack(MyDatetime(2000, 1, 1, tzinfo=UTC))
    with pytest.raises(TypeError, match=re.escape("can not serialize 'datetime.date' object")):
        Packer(datetime=True).pack(datetime.date(2000, 1, 1))


def test_datetime_with_failing_offset():
    class BadZone(datetime.tzinfo):
        def utcoffset(self, dt):
            raise ArithmeticError("offset")

    with pytest.raises(ArithmeticError, match="offset"):
        Packer(datetime=True).pack(datetime.datetime(2000, 1, 1, tzinfo=BadZone()))


def forged_timestamp(seconds, nanoseconds):
    ts = object.__new__(Timestamp)
    object.__setattr__(ts, "seconds", seconds)
    object.__setattr__(ts, "nanoseconds", nanoseconds)
    return ts


@pytest.mark.parametrize(
    "seconds, nanoseconds, error, message",
    [
        pytest.param(0, 10**9, ValueError,
                     "nanoseconds must be a non-negative integer not greater than 999999999.",
                     id="ns-one-second"),
        pytest.param(0, 2**32 + 5, ValueError,
                     "nanoseconds must be a non-negative integer not greater than 999999999.",
                     id="ns-above-32-bits"),
        pytest.param(0, -1, OverflowError, "can't convert negative value to unsigned long",
                     id="ns-negative"),
        pytest.param(0, 2**64, OverflowError, None, id="ns-huge"),
        pytest.param(2**63, 0, OverflowError, None, id="seconds-too-large"),
        pytest.param(0, "1", TypeError, None, id="ns-str"),
    ],
)
def test_forged_timestamps_refused(seconds, nanoseconds, error, message):
    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises(error) as info:
        p.pack(forged_timestamp(seconds, nanoseconds))
    if message is not None:
        assert str(info.value) == message
    assert p.bytes() == b"\x01"


def test_timestamp_subclass_is_not_a_timestamp():
    class MyTimestamp(Timestamp):
        __slots__ = ()

    with pytest.raises(TypeError, match=re.escape("can not serialize 'MyTimestamp' object")):
        Packer().pack(MyTimestamp(1, 0))


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def test_nesting_budget():
    assert Packer().pack(nested(1025)) == b"\x91" * 1024 + b"\x90"
    p = Packer(autoreset=False)
    with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
        p.pack(nested(1026))
    assert p.bytes() == b""


def test_nesting_budget_through_dicts_and_default():
    value = {}
    for _ in range(1024):
        value = {0: value}
    assert len(Packer().pack(value)) == 1024 * 2 + 1
    with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
        Packer().pack({0: value})
    # The hook's result takes the place of the value, at the same depth.
    deep = object()
    for _ in range(1024):
        deep = [deep]
    assert Packer(default=lambda o: []).pack(deep) == b"\x91" * 1024 + b"\x90"
    with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
        Packer(default=lambda o: [[]]).pack(deep)


@pytest.mark.parametrize(
    "value, name",
    [
        pytest.param(object(), "object", id="object"),
        pytest.param({1}, "set", id="set"),
        pytest.param(1j, "complex", id="complex"),
        pytest.param(Packer, "type", id="type"),
    ],
)
def test_unsupported(value, name):
    with pytest.raises(TypeError, match=re.escape("can not serialize '%s' object" % name)):
        Packer().pack(value)


@pytest.mark.skipif(not hasattr(builtins, "frozendict"), reason="no frozendict here")
def test_frozendict_is_a_map():
    frozendict = builtins.frozendict
    assert Packer().pack(frozendict({"a": 1})).hex(" ") == "81 a1 61 01"
    assert Packer(strict_types=True).pack(frozendict({"a": 1})).hex(" ") == "81 a1 61 01"
