"""unpackb: one complete value from a bytes-like object, and what it raises."""

import array
import re

import pytest

import quelm
from quelm import _cquelm
from quelm._cquelm import default_read_extended_type, unpackb
from quelm.exceptions import ExtraData, FormatError, StackError
from quelm.ext import ExtType

import _encoding as enc

INCOMPLETE = "Unpack failed: incomplete input"


def h(s: str) -> bytes:
    return bytes.fromhex(s)


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param("00", 0, id="tiny-0"),
        pytest.param("7f", 127, id="tiny-127"),
        pytest.param("e0", -32, id="neg-tiny-32"),
        pytest.param("ff", -1, id="neg-tiny-1"),
        pytest.param("c0", None, id="nil"),
        pytest.param("c2", False, id="false"),
        pytest.param("c3", True, id="true"),
        pytest.param("cc ff", 255, id="uint8"),
        pytest.param("cd 01 2c", 300, id="uint16"),
        pytest.param("ce ff ff ff ff", 2**32 - 1, id="uint32"),
        pytest.param("cf ff ff ff ff ff ff ff ff", 2**64 - 1, id="uint64-max"),
        pytest.param("d0 ff", -1, id="int8"),
        pytest.param("d0 df", -33, id="int8-33"),
        pytest.param("d1 80 00", -32768, id="int16"),
        pytest.param("d2 80 00 00 00", -(2**31), id="int32"),
        pytest.param("d3 80 00 00 00 00 00 00 00", -(2**63), id="int64-min"),
        pytest.param("cb 3f f8 00 00 00 00 00 00", 1.5, id="float64"),
        pytest.param("ca 3f c0 00 00", 1.5, id="float32"),
        pytest.param("ca 3d cc cc cd", 0.10000000149011612, id="float32-widened"),
        pytest.param("a3 61 62 63", "abc", id="fixstr"),
        pytest.param("a0", "", id="fixstr-empty"),
        pytest.param("d9 00", "", id="str8-empty"),
        pytest.param("da 00 00", "", id="str16-empty"),
        pytest.param("db 00 00 00 00", "", id="str32-empty"),
        pytest.param("d9 02 c3 a9", "\u00e9", id="str8-utf8"),
        pytest.param("c4 00", b"", id="bin8-empty"),
        pytest.param("c5 00 02 01 02", b"\x01\x02", id="bin16"),
        pytest.param("c6 00 00 00 01 ff", b"\xff", id="bin32"),
        pytest.param("90", [], id="empty-array"),
        pytest.param("80", {}, id="empty-map"),
        pytest.param("92 01 02", [1, 2], id="array"),
        pytest.param("81 a1 61 01", {"a": 1}, id="map"),
        pytest.param("dc 00 01 01", [1], id="array16-nonminimal"),
        pytest.param("dd 00 00 00 01 01", [1], id="array32-nonminimal"),
        pytest.param("de 00 01 a1 61 c0", {"a": None}, id="map16-nonminimal"),
        pytest.param("df 00 00 00 01 a1 61 c0", {"a": None}, id="map32-nonminimal"),
        pytest.param("cf 00 00 00 00 00 00 00 05", 5, id="uint64-nonminimal"),
        pytest.param("d3 00 00 00 00 00 00 00 05", 5, id="int64-positive"),
        pytest.param("c7 00 05", ExtType(5, b""), id="ext8-empty"),
        pytest.param("c7 03 05 aa bb cc", ExtType(5, h("aabbcc")), id="ext8"),
        pytest.param("d4 80 01", ExtType(-128, b"\x01"), id="fixext1-negative-code"),
        pytest.param("d5 fe 01 02", ExtType(-2, b"\x01\x02"), id="fixext2"),
        pytest.param("d8 01" + "00" * 16, ExtType(1, bytes(16)), id="fixext16"),
        pytest.param("c8 00 01 07 aa", ExtType(7, b"\xaa"), id="ext16"),
        pytest.param("c9 00 00 00 01 07 aa", ExtType(7, b"\xaa"), id="ext32"),
        pytest.param("92 91 90 80", [[[]], {}], id="nested"),
    ],
)
def test_decodes(payload, expected):
    got = unpackb(h(payload))
    assert got == expected
    assert type(got) is type(expected)


def test_long_payloads():
    s = "x" * 70000
    assert unpackb(enc.encode(s)) == s
    b = bytes(range(256)) * 300
    assert unpackb(enc.encode(b)) == b
    lst = list(range(70000))
    assert unpackb(enc.encode(lst)) == lst
    d = {str(i): i for i in range(70000)}
    assert unpackb(enc.encode(d)) == d


VALID = [
    pytest.param(enc.encode([1, "ab", b"c", {"k": [None, True]}]), id="mixed"),
    pytest.param(h("cb 3f f8 00 00 00 00 00 00"), id="float64"),
    pytest.param(h("c9 00 00 00 02 07 aa bb"), id="ext32"),
    pytest.param(h("c7 0c ff 00 00 00 00 ff ff ff ff ff ff ff ff"), id="timestamp12"),
    pytest.param(h("df 00 00 00 01 da 00 01 61 db 00 00 00 01 62"), id="map32-str16"),
    pytest.param(h("dd 00 00 00 02 c6 00 00 00 01 61 c4 00"), id="array32-bin"),
]


@pytest.mark.parametrize("payload", VALID)
def test_incomplete_at_every_cut(payload):
    # Limits lifted, so that short prefixes are not refused by the limits
    # derived from their length instead.
    lifted = {f"max_{k}_len": 2**32 for k in ("str", "bin", "array", "map", "ext")}
    unpackb(payload)
    for cut in range(len(payload)):
        with pytest.raises(ValueError) as info:
            unpackb(payload[:cut], **lifted)
        assert type(info.value) is ValueError
        assert info.value.args == (INCOMPLETE,)


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param("c1", id="top"),
        pytest.param("91 c1", id="array-item"),
        pytest.param("81 c1 01", id="map-key"),
        pytest.param("81 a1 61 c1", id="map-value"),
        pytest.param("92 01 91 c1", id="nested-item"),
    ],
)
def test_invalid_byte(payload):
    with pytest.raises(FormatError) as info:
        unpackb(h(payload))
    assert info.value.args == ()


def nested(depth: int, leaf: bytes = b"\x01") -> bytes:
    return b"\x91" * depth + leaf


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param(nested(1025), id="short-1025"),
        pytest.param(nested(1024, b"\x90"), id="empty-array-1025th"),
        pytest.param(nested(1024, b"\x80"), id="empty-map-1025th"),
        pytest.param(b"\xdc\x00\x01" * 1025 + b"\x01", id="array16-1025"),
        pytest.param(b"\x81\x01" * 1025 + b"\x01", id="map-value-1025"),
    ],
)
def test_too_deep(payload):
    with pytest.raises(StackError) as info:
        unpackb(payload, strict_map_key=False)
    assert info.value.args == ()


def test_depth_1024_decodes():
    v = unpackb(nested(1024))
    for _ in range(1024):
        assert type(v) is list and len(v) == 1
        v = v[0]
    assert v == 1
    v = unpackb(b"\x81\x01" * 1024 + b"\x01", strict_map_key=False)
    for _ in range(1024):
        v = v[1]
    assert v == 1


@pytest.mark.parametrize(
    "payload, value, extra",
    [
        pytest.param("01 02", 1, b"\x02", id="two-ints"),
        pytest.param("90 90 90", [], b"\x90\x90", id="arrays"),
        pytest.param("81 a1 61 01 c1", {"a": 1}, b"\xc1", id="invalid-after"),
    ],
)
def test_extra_data(payload, value, extra):
    with pytest.raises(ExtraData) as info:
        unpackb(h(payload))
    assert info.value.args == (value, extra)
    assert type(info.value.args[1]) is bytes
    assert info.value.unpacked == value and info.value.extra == extra


def test_exceptions_looked_up_by_name(monkeypatch):
    class MyFormatError(ValueError):
        pass

    monkeypatch.setattr(_cquelm, "FormatError", MyFormatError)
    with pytest.raises(MyFormatError):
        unpackb(b"\xc1")
    monkeypatch.delattr(_cquelm, "StackError")
    with pytest.raises(NameError, match="name 'StackError' is not defined"):
        unpackb(nested(1025))


class TestInput:
    def test_bytes_like(self):
        data = enc.encode([1, 2, 3])
        for obj in (data, bytearray(data), memoryview(data), array.array("B", data)):
            assert unpackb(obj) == [1, 2, 3]

    def test_multibyte_items_refused(self):
        with pytest.raises(BufferError, match=re.escape("cannot unpack from multi-byte object")):
            unpackb(array.array("i", [1, 2]))
        with pytest.raises(BufferError, match=re.escape("cannot unpack from multi-byte object")):
            unpackb(memoryview(b"\x01\x00\x00\x00").cast("I"))

    def test_non_contiguous_view(self):
        raw = bytes([0x93, 0xFF, 0x01, 0xFF, 0x02, 0xFF, 0x03, 0xFF])
        assert unpackb(memoryview(raw)[::2]) == [1, 2, 3]

    def test_contiguous_2d_view(self):
        data = enc.encode([1, 2, 3])
        assert unpackb(memoryview(data).cast("B", (2, 2))) == [1, 2, 3]

    @pytest.mark.parametrize("obj", ["\x01", 1, None, [1]], ids=["str", "int", "none", "list"])
    def test_no_buffer(self, obj):
        with pytest.raises(TypeError):
            unpackb(obj)

    def test_bytearray_cannot_resize_while_hook_runs(self):
        data = bytearray(enc.encode([[1], 2]))

        def hook(lst):
            with pytest.raises(BufferError):
                data.extend(b"\x00")
            return lst

        assert unpackb(data, list_hook=hook) == [[1], 2]
        data.extend(b"\x00")  # released afterwards


class TestArguments:
    def test_kwdefaults_and_defaults(self):
        assert unpackb.__defaults__ is None
        kw = unpackb.__kwdefaults__
        assert kw == {
            "object_hook": None,
            "list_hook": None,
            "use_list": True,
            "raw": False,
            "timestamp": 0,
            "strict_map_key": True,
            "unicode_errors": None,
            "object_pairs_hook": None,
            "ext_hook": ExtType,
            "max_str_len": -1,
            "max_bin_len": -1,
            "max_array_len": -1,
            "max_map_len": -1,
            "max_ext_len": -1,
        }
        assert list(kw) == list(kw.keys())
        assert kw["ext_hook"] is ExtType

    def test_names_and_doc(self):
        assert unpackb.__name__ == "unpackb"
        assert unpackb.__qualname__ == "unpackb"
        assert unpackb.__module__ == "quelm._cquelm"
        doc = unpackb.__doc__
        assert doc.startswith(
            "unpackb(packed, *, object_hook=None, list_hook=None, bool use_list=True, "
            "bool raw=False, int timestamp=0, bool strict_map_key=True, unicode_errors=None, "
            "object_pairs_hook=None, ext_hook=ExtType, Py_ssize_t max_str_len=-1, "
            "Py_ssize_t max_bin_len=-1, Py_ssize_t max_array_len=-1, "
            "Py_ssize_t max_map_len=-1, Py_ssize_t max_ext_len=-1)\n\n"
            "Unpack packed_bytes to object. Returns an unpacked object.\n\n"
        )
        assert doc.endswith(
            "Raises ``StackError`` when *packed* contains too nested.\n"
            "Other exceptions can be raised during unpacking.\n\n"
            "See :class:`Unpacker` for options.\n\n"
            "*max_xxx_len* options are configured automatically from ``len(packed)``."
        )
        assert quelm.unpackb is unpackb

    def test_pickled_by_reference(self):
        import copy
        import pickle

        assert pickle.loads(pickle.dumps(unpackb)) is unpackb
        assert copy.deepcopy(unpackb) is unpackb

    def test_not_instantiable(self):
        with pytest.raises(TypeError):
            type(unpackb)()

    def test_packed_by_keyword(self):
        assert unpackb(packed=b"\x01") == 1

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            pytest.param((), {}, id="missing"),
            pytest.param((b"\x01", b"\x01"), {}, id="two-positional"),
            pytest.param((b"\x01",), {"packed": b"\x01"}, id="twice"),
            pytest.param((b"\x01",), {"bogus": 1}, id="unknown-keyword"),
            pytest.param((b"\x01",), {"use_list": True, "x": 1}, id="unknown-after-known"),
        ],
    )
    def test_wrong_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            unpackb(*args, **kwargs)

    def test_keyword_by_equal_not_identical_string(self):
        name = "".join(["use_", "list"])
        assert unpackb(b"\x91\x01", **{name: False}) == (1,)

    def test_flags_by_truth_value(self):
        assert unpackb(b"\x91\x01", use_list=0) == (1,)
        assert unpackb(b"\x91\x01", use_list=[]) == (1,)
        assert unpackb(b"\x91\x01", use_list=None) == (1,)
        assert unpackb(b"\xa1a", raw="yes") == b"a"

        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            unpackb(b"\x01", raw=Bad())

    def test_timestamp_conversion(self):
        ts = h("d6 ff 00 00 00 01")
        assert unpackb(ts, timestamp=2.9) == 1000000000
        with pytest.raises(TypeError, match=re.escape("an integer is required")):
            unpackb(ts, timestamp="1")
        with pytest.raises(OverflowError, match=re.escape("value too large to convert to int")):
            unpackb(ts, timestamp=2**40)
        for bad in (4, -1):
            with pytest.raises(ValueError, match=re.escape("timestamp must be 0..3")):
                unpackb(ts, timestamp=bad)

    def test_limit_conversion(self):
        with pytest.raises(TypeError):
            unpackb(b"\x01", max_str_len=1.5)
        with pytest.raises(OverflowError):
            unpackb(b"\x01", max_bin_len=2**64)

    def test_conversion_order(self):
        # use_list, raw, timestamp, strict_map_key, the limits, unicode_errors.
        class Boom:
            def __init__(self, exc):
                self.exc = exc

            def __bool__(self):
                raise self.exc

            def __index__(self):
                raise self.exc

            def __int__(self):
                raise self.exc

        names = ["use_list", "raw", "timestamp", "strict_map_key", "max_str_len",
                 "max_bin_len", "max_array_len", "max_map_len", "max_ext_len"]
        errors = [type(f"E{i}", (Exception,), {}) for i in range(len(names))]
        kwargs = {n: Boom(e) for n, e in zip(reversed(names), reversed(errors))}
        kwargs["unicode_errors"] = 5  # would be a TypeError, converted last
        for n, e in zip(names, errors):
            with pytest.raises(e):
                unpackb(b"\x01", **kwargs)
            del kwargs[n]
        with pytest.raises(TypeError):
            unpackb(b"\x01", **kwargs)

    def test_conversions_before_buffer_and_hooks(self):
        with pytest.raises(OverflowError):
            unpackb("not bytes", object_hook=1, timestamp=2**40)
        with pytest.raises(TypeError, match="mutually exclusive"):
            unpackb(b"\x01", object_hook=dict, object_pairs_hook=dict, timestamp=9)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            pytest.param({"object_hook": 1}, "object_hook must be a callable.", id="object_hook"),
            pytest.param({"object_pairs_hook": 1}, "object_pairs_hook must be a callable.",
                         id="object_pairs_hook"),
            pytest.param({"list_hook": 1}, "list_hook must be a callable.", id="list_hook"),
            pytest.param({"ext_hook": 1}, "ext_hook must be a callable.", id="ext_hook"),
            pytest.param({"object_hook": 1, "object_pairs_hook": 1},
                         "object_pairs_hook and object_hook are mutually exclusive.",
                         id="both"),
        ],
    )
    def test_hook_validation(self, kwargs, message):
        with pytest.raises(TypeError) as info:
            unpackb(b"\x01", **kwargs)
        assert info.value.args == (message,)

    @pytest.mark.parametrize(
        "errors, expected",
        [
            pytest.param("replace", "a\ufffd", id="str"),
            pytest.param(b"ignore", "a", id="bytes"),
            pytest.param(bytearray(b"surrogateescape"), "a\udcff", id="bytearray"),
            pytest.param(None, None, id="none-strict"),
        ],
    )
    def test_unicode_errors(self, errors, expected):
        if expected is None:
            with pytest.raises(UnicodeDecodeError):
                unpackb(b"\xa2a\xff", unicode_errors=errors)
        else:
            assert unpackb(b"\xa2a\xff", unicode_errors=errors) == expected

    def test_unicode_errors_refused(self):
        with pytest.raises(UnicodeEncodeError):
            unpackb(b"\x01", unicode_errors="\u00e9")
        with pytest.raises(TypeError):
            unpackb(b"\x01", unicode_errors=5)
        with pytest.raises(LookupError):
            unpackb(b"\xa1\xff", unicode_errors="no-such-handler")


class TestDerivedLimits:
    def test_map_header_alone_hits_map_limit(self):
        with pytest.raises(ValueError) as info:
            unpackb(b"\x81")
        assert info.value.args == ("1 exceeds max_map_len(0)",)

    def test_array_header_alone_is_incomplete(self):
        with pytest.raises(ValueError) as info:
            unpackb(b"\x91")
        assert info.value.args == (INCOMPLETE,)

    def test_explicit_minus_one_is_default(self):
        with pytest.raises(ValueError, match=re.escape("1 exceeds max_map_len(0)")):
            unpackb(b"\x81", max_map_len=-1)

    def test_other_negative_passed_through(self):
        with pytest.raises(ValueError, match=re.escape("0 exceeds max_map_len(-2)")):
            unpackb(b"\x80", max_map_len=-2)

    @pytest.mark.parametrize(
        "payload, message",
        [
            pytest.param("dd 00 01 00 00", "65536 exceeds max_array_len(5)", id="array"),
            pytest.param("df 00 01 00 00", "65536 exceeds max_map_len(2)", id="map"),
        ],
    )
    def test_derived_from_length(self, payload, message):
        with pytest.raises(ValueError) as info:
            unpackb(h(payload))
        assert info.value.args == (message,)


    @pytest.mark.parametrize("payload", ["db 00 01 00 00", "c6 00 01 00 00", "c9 00 01 00 00"],
                             ids=["str", "bin", "ext"])
    def test_payload_limits_wait_for_the_payload(self, payload):
        # A payload is checked when it completes; a cut one is incomplete.
        with pytest.raises(ValueError) as info:
            unpackb(h(payload))
        assert info.value.args == (INCOMPLETE,)


class TestDefaultReadExtendedType:
    def test_raises(self):
        with pytest.raises(NotImplementedError) as info:
            default_read_extended_type(5, b"")
        assert info.value.args == ("Cannot decode extended type with typecode=5",)
        with pytest.raises(NotImplementedError, match="typecode=7$"):
            default_read_extended_type(data=b"", typecode=7)

    def test_typecode_formatted_by_percent(self):
        with pytest.raises(TypeError):
            default_read_extended_type("x", b"")

    def test_arguments_required(self):
        with pytest.raises(TypeError):
            default_read_extended_type(5)
        with pytest.raises(TypeError):
            default_read_extended_type(5, b"", 1)
        with pytest.raises(TypeError):
            default_read_extended_type(5, data=b"", other=1)

    def test_metadata(self):
        assert default_read_extended_type.__doc__ == "default_read_extended_type(typecode, data)"
        assert default_read_extended_type.__module__ == "quelm._cquelm"


def test_reentrant_from_hook():
    inner = enc.encode({"x": [1, 2]})

    def hook(code, data):
        return unpackb(data, ext_hook=hook)

    payload = enc.ext(1, enc.ext(1, inner))
    for _ in range(3):
        payload = enc.ext(1, payload)
    assert unpackb(payload, ext_hook=hook) == {"x": [1, 2]}


def test_deep_reentry_does_not_exhaust_the_c_stack():
    payload = enc.encode(1)
    for _ in range(400):
        payload = enc.ext(1, payload)

    def hook(code, data):
        return unpackb(data, ext_hook=hook)

    import sys

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(5000)
    try:
        assert unpackb(payload, ext_hook=hook) == 1
    finally:
        sys.setrecursionlimit(old)
