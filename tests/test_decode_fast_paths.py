"""Whole items inside containers: simple items (numbers, nil, booleans, short
str) that follow one another inside an array or a dict are completed in a
tight loop rather than one by one; map keys come from a cache. Whatever path
an item takes, the value, the failure and its message must be the same."""

import struct
import sys

import pytest
from hypothesis import given, strategies as st

from quelm import StackError
from quelm._cquelm import Unpacker, unpackb

import _encoding as enc


def array(*items: bytes) -> bytes:
    return enc.array_header(len(items)) + b"".join(items)


def mapping(*pairs: tuple) -> bytes:
    return enc.map_header(len(pairs)) + b"".join(k + v for k, v in pairs)


def s(text: str) -> bytes:
    raw = text.encode("utf-8")
    return enc.str_header(len(raw)) + raw


BOUNDARY_INTS = [0, 127, 128, 255, 256, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
                 2**64 - 1, -1, -32, -33, -128, -129, -(2**31), -(2**31) - 1, -(2**63)]


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param(array(*map(enc.sint, BOUNDARY_INTS)), BOUNDARY_INTS, id="int-boundaries"),
        pytest.param(array(b"\xca" + struct.pack(">f", 1.5), b"\xcb" + struct.pack(">d", -0.25)),
                     [1.5, -0.25], id="float32-float64"),
        pytest.param(array(b"\xc0", b"\xc2", b"\xc3", b"\xa0", b"\xd9\x00", s("é")),
                     [None, False, True, "", "", "é"], id="nil-bools-empty-and-wide-str"),
        pytest.param(array(enc.uint(1), array(enc.uint(2)), enc.uint(3), b"\xc4\x01x"),
                     [1, [2], 3, b"x"], id="simple-around-container-and-bin"),
        pytest.param(array(enc.uint(1), b"\xd9\x02ab", b"\xd9\x00", enc.uint(2)),
                     [1, "ab", "", 2], id="str8-inside"),
        pytest.param(mapping((s("a"), enc.uint(1)), (s("b"), array(enc.uint(2))), (s("c"), b"\xc0")),
                     {"a": 1, "b": [2], "c": None}, id="dict-value-container-midway"),
        pytest.param(mapping((s("k"), s("v")), (enc.uint(5), s("w"))), None,
                     id="dict-int-key-lax"),
        pytest.param(mapping((s("a"), enc.uint(1)), (s("a"), enc.uint(2))), {"a": 2},
                     id="dict-repeated-key-last-wins"),
        pytest.param(array(mapping((s("x"), enc.uint(1))), mapping((s("x"), enc.uint(2)))),
                     [{"x": 1}, {"x": 2}], id="dicts-in-array"),
    ],
)
def test_values(payload, expected):
    if expected is None:
        assert unpackb(payload, strict_map_key=False) == {"k": "v", 5: "w"}
    else:
        assert unpackb(payload) == expected


def test_tuples_filled_in_place():
    payload = array(enc.uint(1), s("two"), array(enc.uint(3), enc.uint(4)), b"\xc3")
    assert unpackb(payload, use_list=False) == (1, "two", (3, 4), True)


@pytest.mark.parametrize("n", range(0, 70))
def test_ascii_and_non_ascii_text_of_every_short_length(n):
    text = "".join(chr(0x61 + i % 26) for i in range(n))
    assert unpackb(array(s(text), s(text))) == [text, text]
    if n:
        # One non-ASCII character at the start, the middle and the end.
        for at in {0, n // 2, n - 1}:
            wide = text[:at] + "ü" + text[at + 1:]
            assert unpackb(array(s(wide), enc.uint(0))) == [wide, 0]


def nested_arrays(depth: int, inner: bytes) -> bytes:
    return b"\x91" * depth + inner


def failing_hook(d):
    raise KeyError("hook says no")


@pytest.mark.parametrize(
    "payload, kwargs, error, message",
    [
        pytest.param(array(s("ok"), enc.str_header(2) + b"\xff\xfe", s("ok")), {},
                     UnicodeDecodeError, None, id="bad-utf8-in-array"),
        pytest.param(mapping((s("a"), enc.str_header(1) + b"\xff"), (s("b"), enc.uint(1))), {},
                     UnicodeDecodeError, None, id="bad-utf8-as-dict-value"),
        pytest.param(mapping((s("a"), enc.uint(1)), (enc.str_header(1) + b"\xff", enc.uint(1))),
                     {}, UnicodeDecodeError, None, id="bad-utf8-as-dict-key"),
        pytest.param(array(s("abc"), s("abcde"), s("a")), {"max_str_len": 4}, ValueError,
                     "5 exceeds max_str_len(4)", id="str-limit-in-array"),
        pytest.param(mapping((s("abc"), enc.uint(1)), (s("abcde"), enc.uint(1))),
                     {"max_str_len": 4}, ValueError, "5 exceeds max_str_len(4)",
                     id="str-limit-on-key"),
        pytest.param(mapping((s("a"), enc.uint(1)), (enc.uint(2), enc.uint(3))), {},
                     ValueError, "int is not allowed for map key when strict_map_key=True",
                     id="strict-key-after-str-keys"),
        pytest.param(enc.array_header(5) + enc.uint(1) + enc.uint(2) + enc.uint(3),
                     {"max_array_len": 5},
                     ValueError, "Unpack failed: incomplete input", id="array-cut-short"),
        pytest.param(enc.map_header(2) + s("a") + enc.uint(1) + s("b"), {}, ValueError,
                     "Unpack failed: incomplete input", id="dict-cut-after-key"),
        pytest.param(array(enc.uint(1), s("abc"))[:-1], {}, ValueError,
                     "Unpack failed: incomplete input", id="str-cut-inside-array"),
        pytest.param(array(enc.uint(1), b"\xcb" + struct.pack(">d", 1.0))[:-2], {}, ValueError,
                     "Unpack failed: incomplete input", id="float-cut-inside-array"),
        pytest.param(nested_arrays(1024, mapping((s("a"), enc.uint(1)))), {}, StackError, None,
                     id="map-past-the-depth-limit"),
        pytest.param(array(mapping((s("a"), enc.uint(1)), (s("b"), enc.uint(2)),
                                   (s("c"), enc.uint(3)))),
                     {"max_map_len": 2}, ValueError, "3 exceeds max_map_len(2)", id="map-limit"),
        pytest.param(array(mapping((s("a"), enc.uint(1)), (s("abcde"), enc.uint(2)))),
                     {"max_str_len": 4}, ValueError, "5 exceeds max_str_len(4)", id="key-limit"),
        pytest.param(array(mapping((s("a"), enc.str_header(1) + b"\xff"))), {},
                     UnicodeDecodeError, None, id="bad-utf8-value"),
        pytest.param(array(mapping((s("a"), enc.uint(1))), mapping((s("a"), enc.uint(2)))),
                     {"object_hook": failing_hook}, KeyError, "'hook says no'",
                     id="failing-hook"),
        pytest.param(array(mapping((s("a"), enc.uint(1)), (s("b"), enc.uint(2))))[:-1], {},
                     ValueError, "Unpack failed: incomplete input", id="map-cut-short"),
    ],
)
def test_failures_inside_containers(payload, kwargs, error, message):
    with pytest.raises(error) as info:
        unpackb(payload, **kwargs)
    if message is not None:
        assert type(info.value) is error and str(info.value) == message


def test_unicode_errors_apply_inside_arrays():
    payload = array(s("ok"), enc.str_header(2) + b"a\xff", s("ok"))
    assert unpackb(payload, unicode_errors="replace") == ["ok", "a\ufffd", "ok"]


def test_hooks_see_filled_containers():
    seen = []

    def object_hook(d):
        seen.append(("dict", dict(d)))
        return tuple(sorted(d))

    def list_hook(items):
        seen.append(("list", list(items)))
        return len(items)

    payload = array(mapping((s("b"), enc.uint(2)), (s("a"), s("x"))), enc.uint(7))
    assert unpackb(payload, object_hook=object_hook, list_hook=list_hook) == 2
    assert seen == [("dict", {"b": 2, "a": "x"}), ("list", [("a", "b"), 7])]


def test_pairs_hook_keeps_order_and_duplicates():
    payload = mapping((s("a"), enc.uint(1)), (s("a"), enc.uint(2)), (s("b"), b"\xc0"))
    assert unpackb(payload, object_pairs_hook=list) == [("a", 1), ("a", 2), ("b", None)]


def differing_inside(length: int) -> list:
    """Strings of one length that differ only in their middle character."""
    return ["x" * (length // 2) + c + "x" * (length - length // 2 - 1) for c in "abcdefgh"]


@pytest.mark.parametrize("length", [4, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33])
def test_keys_differing_only_inside_stay_distinct(length):
    # Keys of equal length that share their first and last bytes fall into
    # the same cache slot; they must still come back as themselves.
    keys = differing_inside(length)
    payload = mapping(*[(s(k), enc.uint(i)) for i, k in enumerate(keys)])
    for _ in range(2):  # cold cache, then warm
        assert unpackb(payload) == {k: i for i, k in enumerate(keys)}


def test_cached_keys_are_interned_and_equal_to_fresh_ones():
    payload = mapping((s("interned_key"), enc.uint(1)))
    first = next(iter(unpackb(payload)))
    second = next(iter(unpackb(payload)))
    assert first == "interned_key" and first is second
    assert first is sys.intern("interned_key")




@pytest.mark.parametrize("length", [2, 3, 4, 7, 8, 9, 15, 16, 17])
def test_short_values_differing_only_inside_stay_distinct(length):
    # Short str values are shared through a cache found by their bytes;
    # values of one slot must still come back as themselves, next to
    # non-ASCII text of the same byte length and to raw bytes.
    values = differing_inside(length)
    other = "é" * (length // 2) + "y" * (length % 2)
    payload = array(*map(s, values + [other] + values))
    for _ in range(2):  # cold cache, then warm
        assert unpackb(payload) == values + [other] + values
        assert unpackb(payload, raw=True) == [v.encode() for v in values + [other] + values]


def test_repeated_short_values_after_many_distinct_ones():
    # A run of values that never repeat pauses the cache; values decoded
    # while it pauses, and after it resumes, are the same.
    distinct = ["v%07d" % i for i in range(5000)]
    repeated = ["status", "pending", "shipped"] * 1000
    payload = array(*map(s, distinct + repeated))
    for _ in range(2):
        value = unpackb(payload)
        assert value == distinct + repeated
        assert value[-1] is value[-4]


TEXT_SAMPLES = ["café", "naïve", "日本語", "Ωmega", "żółw", "€uro", "\x80\xff", "\u0100x", "\u07ff\u0800",
                "a\uffff", "\ud7ff\ue000", "😀 emoji", "x" * 30 + "é" * 17, "é" * 32]


@pytest.mark.parametrize("text", TEXT_SAMPLES)
def test_non_ascii_text_as_item_key_and_value(text):
    payload = array(s(text), mapping((s(text), s(text))))
    value = unpackb(payload)
    assert value == [text, {text: text}]
    assert all(type(x) is str for x in (value[0], *value[1], *value[1].values()))


@pytest.mark.parametrize(
    "raw",
    [
        pytest.param(b"\xc0\x80", id="overlong-2"),
        pytest.param(b"\xc1\xbf", id="overlong-2-c1"),
        pytest.param(b"\xe0\x80\x80", id="overlong-3"),
        pytest.param(b"\xe0\x9f\xbf", id="overlong-3-top"),
        pytest.param(b"\xed\xa0\x80", id="surrogate-high"),
        pytest.param(b"\xed\xbf\xbf", id="surrogate-low"),
        pytest.param(b"a\xc3", id="cut-2"),
        pytest.param(b"a\xe2\x82", id="cut-3"),
        pytest.param(b"\xc3a", id="bad-continuation"),
        pytest.param(b"\xe2\x82a", id="bad-continuation-3"),
        pytest.param(b"\x80abc", id="lone-continuation"),
        pytest.param(b"\xf4\x90\x80\x80", id="above-max"),
        pytest.param(b"\xf8\x88\x80\x80\x80", id="five-byte"),
    ],
)
@pytest.mark.parametrize("errors", [None, "replace", "surrogateescape", "ignore"])
def test_malformed_text_handled_as_the_codec_does(raw, errors):
    payload = array(enc.str_header(len(raw)) + raw, s("é"))
    if errors is None:
        with pytest.raises(UnicodeDecodeError) as info:
            unpackb(payload)
        with pytest.raises(UnicodeDecodeError) as expected:
            raw.decode("utf-8")
        assert str(info.value) == str(expected.value)
    else:
        assert unpackb(payload, unicode_errors=errors) == [raw.decode("utf-8", errors), "é"]


# Short byte runs made mostly of UTF-8 pieces, so that well-formed and
# malformed text are both common.
PIECES = st.sampled_from([b"a", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80",
                          b"\xc3", b"\x80", b"\xe2\x82", b"\xc0\x80", b"\xff", b"\xdf\xbf"])
RUNS = st.lists(PIECES, max_size=24).map(b"".join).filter(lambda b: len(b) <= 70)


@given(RUNS)
def test_text_decodes_as_the_codec_does(raw):
    payload = array(enc.str_header(len(raw)) + raw)
    try:
        expected = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        with pytest.raises(UnicodeDecodeError) as info:
            unpackb(payload)
        assert str(info.value) == str(e)
    else:
        assert unpackb(payload) == [expected]
    assert unpackb(payload, unicode_errors="surrogateescape") == [
        raw.decode("utf-8", "surrogateescape")]


# Every integer form with the extremes it can carry (and small values in
# wide forms): read with and without eight bytes after the item, as an
# array item and a dict value.
INT_FORMS = [(0xCC, ">B", [0, 1, 255]), (0xCD, ">H", [0, 5, 65535]),
             (0xCE, ">I", [0, 7, 2**32 - 1]), (0xCF, ">Q", [0, 9, 2**63 - 1, 2**63, 2**64 - 1]),
             (0xD0, ">b", [-128, -1, 0, 127]), (0xD1, ">h", [-32768, -1, 3, 32767]),
             (0xD2, ">i", [-(2**31), -1, 2**31 - 1]), (0xD3, ">q", [-(2**63), -1, 0, 2**63 - 1])]


@pytest.mark.parametrize("tail", [0, 1, 7, 8, 9])
@pytest.mark.parametrize("first, layout, values", INT_FORMS, ids=[hex(f[0]) for f in INT_FORMS])
def test_every_int_form_with_and_without_room_after_it(first, layout, values, tail):
    items = [bytes([first]) + struct.pack(layout, v) for v in values]
    fixints = [0, 127, -32, -1]
    padding = [enc.sint(v) for v in fixints] + [b"\xc0"] * tail
    assert unpackb(array(*items, *padding)) == values + fixints + [None] * tail
    pairs = [(s("k%d" % i), item) for i, item in enumerate(items)]
    assert unpackb(mapping(*pairs)) == {"k%d" % i: v for i, v in enumerate(values)}


# Each integer form with the range it can carry, tiny ints included.
INT_RANGES = [(b"", ">B", 0, 127), (b"", ">b", -32, -1)] + [
    (bytes([first]), layout, -(2 ** (8 * struct.calcsize(layout) - 1)) if layout.islower() else 0,
     2 ** (8 * struct.calcsize(layout) - layout.islower()) - 1) for first, layout, _ in INT_FORMS]
INT_ITEMS = st.one_of(
    st.sampled_from(INT_RANGES).flatmap(lambda f: st.integers(f[2], f[3]).map(
        lambda v: (f[0] + struct.pack(f[1], v), v))),
    st.sampled_from([(b"\xc0", None), (s("x"), "x"), (b"\xcb" + struct.pack(">d", 0.5), 0.5)]))


@given(st.lists(INT_ITEMS, max_size=40), st.integers(0, 9), st.sampled_from([1, 3, 1000]))
def test_runs_of_ints_in_any_form_and_order(items, tail, chunk):
    # Runs of integers in random forms, broken by other items and ending at
    # any distance from the end of the input, whole and fed in pieces.
    payload = array(array(*(raw for raw, _ in items)), *[b"\xc0"] * tail)
    expected = [[v for _, v in items]] + [None] * tail
    assert unpackb(payload) == expected
    u = Unpacker()
    for i in range(0, len(payload), chunk):
        u.feed(payload[i : i + chunk])
    assert list(u) == [expected]


# Keys that differ from one another in one byte anywhere, in their length, or
# in being ASCII: maps decoded one after another see them at the same
# positions, so each may meet a different key last seen at its position.
POSITION_KEYS = ["a", "b", "id", "ie", "je", "name", "namf", "abcdefg", "abcdefh", "bbcdefg",
                 "abcdefgh", "é", "aé", "a\x00"]
POSITION_VALUES = st.one_of(st.integers(0, 70000), st.lists(st.integers(0, 3), max_size=2))


def encode_value(v) -> bytes:
    return array(*map(enc.uint, v)) if isinstance(v, list) else enc.uint(v)


@given(st.lists(st.lists(st.tuples(st.sampled_from(POSITION_KEYS), POSITION_VALUES), max_size=20),
                min_size=1, max_size=6),
       st.sampled_from([{}, {"raw": True}, {"max_str_len": 3}, {"unicode_errors": "replace"}]))
def test_keys_of_successive_maps_by_position(records, kwargs):
    payload = array(*[mapping(*[(s(k), encode_value(v)) for k, v in r]) for r in records])
    too_long = [len(k.encode()) for r in records for k, _ in r
                if len(k.encode()) > kwargs.get("max_str_len", 99)]
    if too_long:
        with pytest.raises(ValueError) as info:
            unpackb(payload, **kwargs)
        assert str(info.value) == f"{too_long[0]} exceeds max_str_len(3)"
        return
    raw = kwargs.get("raw", False)
    expected = [{(k.encode() if raw else k): v for k, v in r} for r in records]
    result = unpackb(payload, **kwargs)
    assert result == expected
    assert all(type(k) is (bytes if raw else str) for d in result for k in d)
    if not raw:
        assert all(k is sys.intern(k) for d in result for k in d)
    with pytest.raises(ValueError, match="incomplete input"):
        unpackb(payload[:-1], **kwargs)


# Small maps inside arrays are opened and filled in passing; wherever one
# stops (a value that is not simple, a failure, a hook) the outcome is the
# machine's.
@pytest.mark.parametrize(
    "payload, kwargs, expected",
    [
        pytest.param(array(mapping((s("a"), enc.uint(1)), (s("b"), array(enc.uint(2)))),
                           mapping((s("a"), enc.uint(3)))),
                     {}, [{"a": 1, "b": [2]}, {"a": 3}], id="map-left-open-for-a-list"),
        pytest.param(array(mapping((s("a"), mapping((s("b"), enc.uint(2))))), enc.uint(4)),
                     {}, [{"a": {"b": 2}}, 4], id="map-left-open-for-a-map"),
        pytest.param(array(mapping((enc.uint(1), s("x")), (s("k"), enc.uint(2)))),
                     {"strict_map_key": False}, [{1: "x", "k": 2}], id="int-key-first"),
        pytest.param(array(mapping((s("b"), enc.uint(2)), (s("a"), enc.uint(1)))),
                     {"object_hook": sorted}, [["a", "b"]], id="object-hook"),
        pytest.param(array(mapping((s("a"), enc.uint(1)))), {"use_list": False},
                     ({"a": 1},), id="tuple-of-maps"),
        pytest.param(nested_arrays(1023, mapping((s("a"), enc.uint(1)))), {},
                     None, id="map-at-the-deepest-level"),
    ],
)
def test_maps_inside_arrays(payload, kwargs, expected):
    def unwrapped(value):
        # The deepest case, unwrapped level by level: comparing it whole
        # would recurse too deep for the interpreter.
        if expected is None:
            for _ in range(1023):
                (value,) = value
        return value

    want = {"a": 1} if expected is None else expected
    assert unwrapped(unpackb(payload, **kwargs)) == want
    u = Unpacker(**kwargs)
    out = []
    for i in range(len(payload)):
        u.feed(payload[i : i + 1])
        out.extend(u)
    assert len(out) == 1 and unwrapped(out[0]) == want


@pytest.mark.parametrize("n", range(1, 20))
def test_non_ascii_byte_anywhere_in_short_text(n):
    # The ASCII check reads short text in overlapping words: a byte above
    # 0x7f at any position must still send the text to the UTF-8 decoder.
    for at in range(n):
        raw = b"a" * at + b"\xc3\xbc" + b"a" * (n - at - 1)
        payload = array(enc.str_header(len(raw)) + raw, enc.uint(0))
        assert unpackb(payload) == [raw.decode(), 0]


@pytest.mark.parametrize("chunk", [1, 5, 64, 4096])
@pytest.mark.parametrize("kwargs", [{}, {"use_list": False}])
def test_arrays_resumed_past_their_presized_room(chunk, kwargs):
    # An array pre-sized from a first part of the input takes the rest of
    # its items (numbers, small maps, maps left open) by appending.
    value = [{"id": i, "name": "n%d" % i, "ok": i % 2 == 0} if i % 3 else i for i in range(3000)]
    value[7] = {"id": [1, 2], "name": "x"}
    payload = enc.encode(value)
    u = Unpacker(**kwargs)
    out = []
    for i in range(0, len(payload), chunk):
        u.feed(payload[i : i + chunk])
        out.extend(u)
    assert out == [unpackb(payload, **kwargs)]
    assert out[0] == (value if kwargs.get("use_list", True) else tuple(
        {k: tuple(v) if isinstance(v, list) else v for k, v in x.items()}
        if isinstance(x, dict) else x for x in value))



# Keys cached by bytes or by position serve every option set: a key an error
# handler made of invalid bytes never reaches a later call.
@pytest.mark.parametrize("payload", [b"\x92\x81\xa3\xffab\x01\xa7padding", b"\x81\xa3\xffab\x01"])
def test_keys_made_by_a_handler_are_not_kept(payload):
    seen = [unpackb(payload, unicode_errors=errors) for errors in ("backslashreplace", "ignore")]
    with pytest.raises(UnicodeDecodeError):
        unpackb(payload)
    assert [unpackb(payload, unicode_errors=e) for e in ("backslashreplace", "ignore")] == seen
    assert "\\\\xffab" in repr(seen[0]) and "'ab'" in repr(seen[1])
