"""No reference leaks: every decoding path, success and each failure kind,
run many times leaves the number of live allocations unchanged."""

import pytest

from quelm._cquelm import unpackb

import _encoding as enc
from _leaks import assert_no_growth, loops


class HookError(Exception):
    pass


def raising(*args):
    raise HookError


def ts12(seconds: int, nanoseconds: int = 0) -> bytes:
    return b"\xc7\x0c\xff" + nanoseconds.to_bytes(4, "big") + seconds.to_bytes(8, "big", signed=True)


DOC = enc.encode({"a": [1, 2.5, "x", b"y", None, True], "b": {"c": [[], {}]}})

CASES = [
    pytest.param(DOC, {}, id="success"),
    pytest.param(DOC, {"use_list": False, "raw": True}, id="tuples-raw"),
    pytest.param(DOC, {"object_pairs_hook": list, "list_hook": tuple}, id="hooks"),
    pytest.param(DOC, {"object_hook": dict}, id="object-hook"),
    pytest.param(enc.timestamp(1, 5), {"timestamp": 0}, id="ts0"),
    pytest.param(enc.timestamp(1, 5), {"timestamp": 1}, id="ts1"),
    pytest.param(enc.timestamp(1, 5), {"timestamp": 2}, id="ts2"),
    pytest.param(enc.timestamp(1, 5), {"timestamp": 3}, id="ts3"),
    pytest.param(enc.ext(3, b"abc"), {}, id="ext"),
    pytest.param(DOC + b"\x01", {}, id="extra-data"),
    pytest.param(DOC[:-3], {}, id="incomplete"),
    pytest.param(b"\x92\x81\xa1a\x01\xc1", {}, id="format-error"),
    pytest.param(b"\x91" * 1025, {}, id="stack-error"),
    pytest.param(b"\x92\xa1a\x91\x01", {"list_hook": raising}, id="list-hook-raises"),
    pytest.param(b"\x92\x01\x81\xa1a\x91\x01", {"object_hook": raising}, id="object-hook-raises"),
    pytest.param(b"\x92\x01\x81\xa1a\x01", {"object_pairs_hook": raising}, id="pairs-hook-raises"),
    pytest.param(b"\x92\x81\xa1a\x01" + enc.ext(2, b""), {"ext_hook": raising}, id="ext-hook-raises"),
    pytest.param(b"\x92\x81\xa1a\x01" + enc.ext(2, b""), {"ext_hook": None}, id="no-ext-hook"),
    pytest.param(b"\x92\xa1a\xa3abc", {"max_str_len": 2}, id="str-limit"),
    pytest.param(b"\x92\x01\x93\x01\x02\x03", {"max_array_len": 2}, id="array-limit"),
    pytest.param(b"\x92\x01\x81\x01\x02", {}, id="strict-key"),
    pytest.param(b"\x92\x01\x81\x90\x02", {"strict_map_key": False}, id="unhashable-key"),
    pytest.param(b"\x92\x01\xa1\xff", {}, id="bad-utf8"),
    pytest.param(b"\x92\x01\xd5\xff\x00\x00", {}, id="bad-timestamp"),
    pytest.param(ts12(2**40 * 86400), {"timestamp": 3}, id="ts3-days-overflow"),
    pytest.param(ts12(10**12), {"timestamp": 3}, id="ts3-datetime-range"),
    pytest.param(memoryview(DOC + DOC)[::2], {}, id="non-contiguous-input"),
    pytest.param(b"\x01", {"object_hook": 1}, id="bad-hook"),
    pytest.param(b"\x01", {"timestamp": 7}, id="bad-timestamp-mode"),
    pytest.param(b"\x01", {"unicode_errors": "\u00e9"}, id="bad-unicode-errors"),
    pytest.param(b"\xdd\xff\xff\xff\xff" * 20, {"max_array_len": 2**32}, id="hostile-header"),
    pytest.param(b"\x92\x91\x01\xa1\xff", {"unicode_errors": bytearray(b"replace")},
                 id="bytearray-errors"),
    pytest.param(b"\x92\x91\x01\xa1\xff", {"unicode_errors": b"nosuch"}, id="unknown-errors"),
    pytest.param(DOC[:7], {}, id="incomplete-pending-key"),
    pytest.param(DOC[:-3], {"use_list": False, "object_pairs_hook": tuple}, id="incomplete-open"),
    pytest.param(b"\xdc\x00\x03\x01\x02\x03", {"use_list": False}, id="tuple-from-list"),
    pytest.param(enc.encode([{"k%d" % i: i} for i in range(40)]), {}, id="key-cache"),
    pytest.param(enc.encode({"a": 1, "b": [2]}), {"object_pairs_hook": lambda p: p[0]},
                 id="pairs-hook-result"),
    pytest.param(b"\x82\xa1a\x01\x91\x01\x02", {"object_pairs_hook": dict, "strict_map_key": False},
                 id="pairs-hook-unhashable"),
    pytest.param(enc.encode([[1], [2]]), {"list_hook": lambda l: unpackb(enc.encode(l))},
                 id="reentrant"),
    pytest.param(DOC + DOC, {"object_hook": lambda d: d, "list_hook": list}, id="extra-with-hooks"),
    pytest.param(b"\xd7\xff" + (2**32 - 1 << 32).to_bytes(8, "big"), {}, id="ts-nanoseconds"),
    pytest.param(enc.ext(3, b"abcde"), {"max_ext_len": 4}, id="ext-limit"),
    pytest.param(enc.encode({"a": 1, "b": 2}), {"max_map_len": 1}, id="map-limit"),
    pytest.param(enc.encode([b"abc"]), {"max_bin_len": 2}, id="bin-limit"),
    pytest.param(enc.encode({b"k": [None]}), {"raw": True, "use_list": False}, id="raw-bytes-key"),
]


@pytest.mark.parametrize("payload, kwargs", CASES)
def test_no_growth(payload, kwargs, request):
    def run():
        try:
            unpackb(payload, **kwargs)
        except Exception:
            pass

    assert_no_growth(run, loops(request.config))
