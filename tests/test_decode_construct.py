"""What decoded items become: limits, hooks, map keys, interning, extension
values and the four timestamp representations."""

import datetime
import gc
import re
import sys
import weakref

import pytest

from quelm._cquelm import unpackb
from quelm.ext import ExtType, Timestamp

import _encoding as enc

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)


def h(s: str) -> bytes:
    return bytes.fromhex(s)


def message(exc_info) -> str:
    assert len(exc_info.value.args) == 1
    return exc_info.value.args[0]


class TestLimits:
    @pytest.mark.parametrize(
        "payload, kwargs, text",
        [
            pytest.param("a4 61 62 63 64", {"max_str_len": 3}, "4 exceeds max_str_len(3)",
                         id="str"),
            pytest.param("a4 61 62 63 64", {"max_str_len": 3, "raw": True},
                         "4 exceeds max_str_len(3)", id="str-raw"),
            pytest.param("c4 02 00 00", {"max_bin_len": 1}, "2 exceeds max_bin_len(1)", id="bin"),
            pytest.param("93 01 02 03", {"max_array_len": 2}, "3 exceeds max_array_len(2)",
                         id="array"),
            pytest.param("82 01 01 02 02", {"max_map_len": 1}, "2 exceeds max_map_len(1)",
                         id="map"),
            pytest.param("c7 05 01 00 00 00 00 00", {"max_ext_len": 4},
                         "6 exceeds max_ext_len(4)", id="ext-reports-length-plus-one"),
            pytest.param("c7 0c ff" + "00" * 12, {"max_ext_len": 4}, "13 exceeds max_ext_len(4)",
                         id="timestamp"),
            pytest.param("90", {"max_array_len": -5}, "0 exceeds max_array_len(-5)",
                         id="negative-refuses-empty-array"),
            pytest.param("80", {"max_map_len": -5}, "0 exceeds max_map_len(-5)",
                         id="negative-refuses-empty-map"),
            pytest.param("a0", {"max_str_len": -2}, "0 exceeds max_str_len(-2)",
                         id="negative-refuses-empty-str"),
            pytest.param("c4 00", {"max_bin_len": -2}, "0 exceeds max_bin_len(-2)",
                         id="negative-refuses-empty-bin"),
            pytest.param("91 92 01 02", {"max_array_len": 1}, "2 exceeds max_array_len(1)",
                         id="inner-array"),
        ],
    )
    def test_exceeded(self, payload, kwargs, text):
        with pytest.raises(ValueError) as info:
            unpackb(h(payload), strict_map_key=False, **kwargs)
        assert type(info.value) is ValueError
        assert message(info) == text

    @pytest.mark.parametrize(
        "payload, kwargs, expected",
        [
            pytest.param("a3 61 62 63", {"max_str_len": 3}, "abc", id="str-at-limit"),
            pytest.param("c4 01 00", {"max_bin_len": 1}, b"\x00", id="bin-at-limit"),
            pytest.param("92 01 02", {"max_array_len": 2}, [1, 2], id="array-at-limit"),
            pytest.param("81 01 02", {"max_map_len": 1}, {1: 2}, id="map-at-limit"),
            pytest.param("d6 05 00 00 00 00", {"max_ext_len": 4}, ExtType(5, bytes(4)),
                         id="ext-at-limit"),
        ],
    )
    def test_at_limit(self, payload, kwargs, expected):
        assert unpackb(h(payload), strict_map_key=False, **kwargs) == expected


class TestMapKeys:
    def test_strict_refuses_int_after_value(self):
        seen = []

        def hook(lst):
            seen.append(lst)
            return lst

        with pytest.raises(ValueError) as info:
            unpackb(h("81 01 91 02"), list_hook=hook)
        assert message(info) == "int is not allowed for map key when strict_map_key=True"
        assert seen == [[2]]

    @pytest.mark.parametrize(
        "payload, expected",
        [
            pytest.param("81 c4 01 61 01", {b"a": 1}, id="bytes-key"),
            pytest.param("81 a1 61 01", {"a": 1}, id="str-key"),
        ],
    )
    def test_strict_accepts(self, payload, expected):
        assert unpackb(h(payload)) == expected

    def test_not_strict(self):
        assert unpackb(h("81 01 02"), strict_map_key=False) == {1: 2}
        assert unpackb(h("81 c0 c3"), strict_map_key=False) == {None: True}

    def test_unhashable_key(self):
        with pytest.raises(TypeError):
            unpackb(h("81 90 01"), strict_map_key=False)

    def test_tuple_key_with_use_list_false(self):
        assert unpackb(h("81 92 01 02 03"), strict_map_key=False, use_list=False) == {(1, 2): 3}

    def test_str_subclass_key_from_hook(self):
        class Key(str):
            pass

        def hook(code, data):
            return Key(data.decode())

        payload = enc.map_header(1) + enc.ext(1, b"k") + b"\x01"
        with pytest.raises(ValueError) as info:
            unpackb(payload, ext_hook=hook)
        assert message(info) == "Key is not allowed for map key when strict_map_key=True"
        (key,) = unpackb(payload, ext_hook=hook, strict_map_key=False)
        assert type(key) is Key
        assert sys.intern("k") is not key

    def test_key_with_mutating_hash(self):
        # A key whose __hash__ mutates the dict being built must be safe.
        target = []

        class Evil:
            def __hash__(self):
                for obj in gc.get_objects():
                    if type(obj) is dict and obj.get("marker") == 1:
                        obj.clear()
                        target.append(obj)
                return 1

            def __eq__(self, other):
                return self is other

        def hook(code, data):
            return Evil()

        payload = enc.map_header(2) + enc.encode("marker") + b"\x01" + enc.ext(1, b"") + b"\x02"
        result = unpackb(payload, ext_hook=hook, strict_map_key=False)
        assert len(result) in (1, 2)

    def test_str_keys_interned(self):
        payload = enc.encode([{"some_key_" + "x" * 10: 1}, {"some_key_" + "x" * 10: 2}])
        a, b = unpackb(payload)
        (ka,), (kb,) = a.keys(), b.keys()
        assert ka is kb
        assert ka is sys.intern("some_key_" + "x" * 10)

    def test_many_distinct_keys(self):
        # More keys than any cache of decoded keys could hold, twice over,
        # with lengths around every boundary: each comes back exactly.
        keys = [("k%d" % i) * (i % 40 + 1) for i in range(5000)]
        value = {k: i for i, k in enumerate(keys)}
        for _ in range(2):
            got = unpackb(enc.encode(value))
            assert got == value
            assert list(got) == keys

    def test_keys_with_error_handler(self):
        # b"a\xff" decodes to "a" under "ignore"; the plain key b"a" and the
        # two-byte one must not be confused.
        payload = enc.encode([{"a": 1}])
        bad = b"\x81\xa2a\xff\x02"
        assert unpackb(bad, unicode_errors="ignore") == {"a": 2}
        assert unpackb(payload) == [{"a": 1}]
        with pytest.raises(UnicodeDecodeError):
            unpackb(bad)
        assert unpackb(b"\x81\xa2a\xff\x02", unicode_errors="replace") == {"a\ufffd": 2}

    def test_key_limit_applies(self):
        with pytest.raises(ValueError) as info:
            unpackb(b"\x81\xa3abc\x01", max_str_len=2)
        assert message(info) == "3 exceeds max_str_len(2)"
        assert unpackb(b"\x81\xa3abc\x01", raw=True) == {b"abc": 1}

    def test_string_values_not_interned(self):
        a, b = unpackb(enc.encode(["value_" + "y" * 20] * 2))
        assert a == b and a is not b

    def test_duplicate_key_keeps_later(self):
        assert unpackb(h("82 a1 61 01 a1 61 02")) == {"a": 2}
        seen = []
        unpackb(h("82 a1 61 01 a1 61 02"), object_pairs_hook=seen.append)
        assert seen == [[("a", 1), ("a", 2)]]


class TestHooks:
    def test_use_list_false_nested(self):
        assert unpackb(h("92 91 01 90"), use_list=False) == ((1,), ())
        assert type(unpackb(h("90"), use_list=False)) is tuple

    def test_list_hook_innermost_first(self):
        calls = []

        def hook(a):
            calls.append(a)
            return ("hooked", len(calls))

        assert unpackb(h("91 90"), list_hook=hook) == ("hooked", 2)
        assert calls == [[], [("hooked", 1)]]

    def test_list_hook_receives_tuples(self):
        calls = []
        unpackb(h("92 91 01 02"), use_list=False, list_hook=lambda a: calls.append(a) or a)
        assert calls == [(1,), ((1,), 2)]

    def test_object_hook(self):
        calls = []
        assert unpackb(h("80"), object_hook=lambda d: calls.append(d) or "x") == "x"
        assert calls == [{}]
        assert unpackb(h("81 a1 61 81 a1 62 01"), object_hook=lambda d: list(d.items())) == [
            ("a", [("b", 1)])
        ]

    def test_object_pairs_hook(self):
        calls = []
        unpackb(h("80"), object_pairs_hook=calls.append)
        unpackb(h("82 a1 61 01 a1 62 02"), object_pairs_hook=calls.append)
        assert calls == [[], [("a", 1), ("b", 2)]]
        assert type(calls[1]) is list and type(calls[1][0]) is tuple

    def test_hooks_run_in_completion_order(self):
        order = []
        unpackb(
            enc.encode({"a": [1, {"b": []}]}),
            list_hook=lambda x: order.append(("list", x)) or x,
            object_hook=lambda x: order.append(("map", x)) or x,
        )
        assert order == [
            ("list", []),
            ("map", {"b": []}),
            ("list", [1, {"b": []}]),
            ("map", {"a": [1, {"b": []}]}),
        ]

    @pytest.mark.parametrize(
        "tail, hook",
        [
            pytest.param("91 02", "list_hook", id="list_hook"),
            pytest.param("81 a1 61 02", "object_hook", id="object_hook"),
            pytest.param("81 a1 61 02", "object_pairs_hook", id="object_pairs_hook"),
            pytest.param("d4 02 00", "ext_hook", id="ext_hook"),
        ],
    )
    def test_hook_exception_propagates_and_nothing_survives(self, tail, hook):
        # [sentinel, <item whose hook raises>]: the same exception object
        # reaches the caller and the half-built outer array, which held the
        # sentinel, is released.
        error = KeyError("boom")
        sentinel = object()
        before = sys.getrefcount(sentinel)

        def ext_hook(code, data):
            if code == 1:
                return sentinel
            raise error

        def failing(obj):
            raise error

        kwargs = {"ext_hook": ext_hook}
        if hook != "ext_hook":
            kwargs[hook] = failing
        payload = enc.array_header(2) + enc.ext(1, b"") + h(tail)
        with pytest.raises(KeyError) as info:
            unpackb(payload, **kwargs)
        assert info.value is error
        del info
        assert sys.getrefcount(sentinel) == before

    def test_partial_container_released_on_failure(self):
        class Tracked:
            pass

        made = []

        def ext_hook(code, data):
            if code == 2:
                raise RuntimeError("stop")
            obj = Tracked()
            made.append(weakref.ref(obj))
            return obj

        payload = enc.array_header(3) + enc.ext(1, b"") + enc.map_header(1) + b"\xa1k" + \
            enc.ext(1, b"") + enc.ext(2, b"")
        with pytest.raises(RuntimeError):
            unpackb(payload, ext_hook=ext_hook)
        assert len(made) == 2
        assert [r() for r in made] == [None, None]

    def test_hook_sees_no_half_built_list(self):
        # While an item is decoded, its enclosing arrays are hidden from the
        # garbage collector, so a hook cannot reach and mutate them.
        found = []

        def hook(code, data):
            for obj in gc.get_objects():
                if type(obj) is list and len(obj) == 3 and obj[:1] == ["marker-entry"]:
                    found.append(obj)
                    obj.clear()
            return code

        payload = enc.array_header(3) + enc.encode("marker-entry") + enc.ext(1, b"") + b"\x05"
        assert unpackb(payload, ext_hook=hook) == ["marker-entry", 1, 5]
        assert found == []
        done = unpackb(enc.encode(["marker-entry", 1, 5]))
        assert any(o is done for o in gc.get_objects())


class TestExtension:
    def test_ext_hook_arguments(self):
        calls = []
        assert unpackb(h("c7 03 05 aa bb cc"), ext_hook=lambda *a: calls.append(a) or "e") == "e"
        assert calls == [(5, h("aabbcc"))]
        assert type(calls[0][1]) is bytes

    @pytest.mark.parametrize("payload", ["d4 05 00", "d6 ff 00 00 00 01", "c7 00 05"])
    def test_no_ext_hook(self, payload):
        with pytest.raises(AssertionError) as info:
            unpackb(h(payload), ext_hook=None)
        assert message(info) == "u->ext_hook cannot be NULL"

    def test_no_ext_hook_checked_before_limit(self):
        with pytest.raises(AssertionError):
            unpackb(h("d4 05 00"), ext_hook=None, max_ext_len=0)

    def test_no_ext_hook_other_values_fine(self):
        assert unpackb(enc.encode([1, "a", {"b": None}]), ext_hook=None) == [1, "a", {"b": None}]

    def test_fixext2_with_code_minus_one_is_bad_timestamp(self):
        with pytest.raises(ValueError) as info:
            unpackb(h("d5 ff 00 00"))
        assert message(info) == "invalid timestamp data (length 2)"
        assert unpackb(h("d5 fe 00 00")) == ExtType(-2, b"\x00\x00")


TS_1 = "d6 ff 00 00 00 01"
TS_MINUS_1 = "c7 0c ff 00 00 00 00 ff ff ff ff ff ff ff ff"


def ts12(seconds: int, nanoseconds: int = 0) -> bytes:
    return b"\xc7\x0c\xff" + nanoseconds.to_bytes(4, "big") + seconds.to_bytes(8, "big", signed=True)


class TestTimestamp:
    @pytest.mark.parametrize(
        "payload, mode, expected",
        [
            pytest.param(TS_1, 0, Timestamp(1, 0), id="mode0"),
            pytest.param(TS_1, 1, 1.0, id="mode1"),
            pytest.param(TS_1, 2, 1000000000, id="mode2"),
            pytest.param(TS_1, 3, datetime.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC), id="mode3"),
            pytest.param(TS_MINUS_1, 0, Timestamp(-1, 0), id="minus1-mode0"),
            pytest.param(TS_MINUS_1, 1, -1.0, id="minus1-mode1"),
            pytest.param(TS_MINUS_1, 2, -1000000000, id="minus1-mode2"),
            pytest.param(TS_MINUS_1, 3, datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC),
                         id="minus1-mode3"),
            pytest.param("c7 04 ff 00 00 00 01", 0, Timestamp(1, 0), id="4-bytes-in-ext8"),
            pytest.param("d7 ff 00 00 00 01 00 00 00 00", 0, Timestamp(2**32, 0), id="2^32"),
            pytest.param("d7 ff 00 00 00 04 00 00 00 01", 0, Timestamp(1, 1), id="1s-1ns"),
            pytest.param("d7 ff 00 00 00 03 ff ff ff ff", 0, Timestamp(2**34 - 1, 0),
                         id="34-bit-seconds"),
            pytest.param("d7 ff ee 6b 27 ff ff ff ff ff", 0, Timestamp(2**34 - 1, 999999999),
                         id="max-8-byte"),
            pytest.param(ts12(0, 1500).hex(), 3, EPOCH + datetime.timedelta(microseconds=1),
                         id="sub-microsecond-dropped"),
            pytest.param(ts12(-1, 500000000).hex(), 1, -0.5, id="fraction-first"),
            pytest.param(ts12(-(2**63), 999999999).hex(), 2, -(2**63) * 10**9 + 999999999,
                         id="mode2-exact"),
            pytest.param(ts12(2**63 - 1).hex(), 0, Timestamp(2**63 - 1, 0), id="max-seconds"),
        ],
    )
    def test_modes(self, payload, mode, expected):
        got = unpackb(h(payload), timestamp=mode)
        assert got == expected
        assert type(got) is type(expected)

    def test_mode3_fresh_epoch_and_utc(self):
        a = unpackb(h(TS_1), timestamp=3)
        assert a.tzinfo is UTC

    @pytest.mark.parametrize(
        "payload, text",
        [
            pytest.param("d7 ff ee 6b 28 00 00 00 00 00", "nanoseconds must be a non-negative "
                         "integer not greater than 999999999.", id="8-byte-ns"),
            pytest.param(ts12(0, 10**9).hex(), "nanoseconds must be a non-negative integer not "
                         "greater than 999999999.", id="12-byte-ns"),
            pytest.param("c7 00 ff", "invalid timestamp data (length 0)", id="length-0"),
            pytest.param("c7 05 ff 00 00 00 00 00", "invalid timestamp data (length 5)",
                         id="length-5"),
            pytest.param("d8 ff" + "00" * 16, "invalid timestamp data (length 16)",
                         id="length-16"),
        ],
    )
    @pytest.mark.parametrize("mode", [0, 1, 2, 3])
    def test_invalid(self, payload, text, mode):
        with pytest.raises(ValueError) as info:
            unpackb(h(payload), timestamp=mode)
        assert message(info) == text

    @pytest.mark.parametrize(
        "seconds, days",
        [
            pytest.param(2**31 * 86400, 2**31, id="upper"),
            pytest.param(-(2**31) * 86400 - 1, -(2**31) - 1, id="lower-edge"),
            pytest.param(2**63 - 1, (2**63 - 1) // 86400, id="max"),
            pytest.param(-(2**63), -(2**63) // 86400, id="min"),
        ],
    )
    def test_mode3_day_overflow(self, seconds, days):
        with pytest.raises(OverflowError) as info:
            unpackb(ts12(seconds), timestamp=3)
        assert message(info) == f"days={days}; too large to convert to C int"

    @pytest.mark.parametrize(
        "seconds",
        [2**31 * 86400 - 1, -(2**31) * 86400, 10**12, -(10**12)],
    )
    def test_mode3_datetime_range(self, seconds):
        # Within the day check, beyond what a datetime can hold.
        with pytest.raises(OverflowError) as info:
            unpackb(ts12(seconds), timestamp=3)
        assert "too large to convert to C int" not in str(info.value)

    @pytest.mark.parametrize(
        "dt",
        [
            datetime.datetime(1, 1, 1, tzinfo=UTC),
            datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
            datetime.datetime(1900, 3, 1, 12, 30, 15, 250000, tzinfo=UTC),
        ],
    )
    def test_mode3_extremes(self, dt):
        delta = dt - EPOCH
        seconds = delta.days * 86400 + delta.seconds
        assert unpackb(ts12(seconds, delta.microseconds * 1000), timestamp=3) == dt
