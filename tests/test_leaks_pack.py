"""No reference leaks in the Packer: every packing path, success and each
failure kind, the default hook, the streaming methods, views and the
constructor, run many times, leave the number of live allocations and of
tracked objects unchanged (`pytest --leak-loops N` for longer hunts)."""

import datetime

import pytest

from quelm import ExtType, Packer, Timestamp, packb

from _leaks import assert_no_growth, loops

UTC = datetime.timezone.utc


class Unsupported:
    pass


class BigInt(int):
    pass


class ListSub(list):
    def __iter__(self):
        return iter([1])  # one item short of what len() says


class DictSub(dict):
    def items(self):
        return [(1, 2), (3, 4)]  # more pairs than len() says


class Mapping(dict):
    pass


class BadIndex:
    def __index__(self):
        raise ArithmeticError


def deep(n):
    value = []
    for _ in range(n):
        value = [value]
    return value


TOO_DEEP = deep(1100)
DOC = {"a": [1, 2.5, "x" * 40, b"y", None, True], "b": {"c": [[], {}], "é": (1, 2)}}

CALLS = [
    pytest.param(lambda p: p.pack(DOC), id="success"),
    pytest.param(lambda p: Packer(use_single_float=True, use_bin_type=False).pack(DOC),
                 id="options"),
    pytest.param(lambda p: Packer(strict_types=True).pack(DOC), id="strict-types-fail"),
    pytest.param(lambda p: Packer(strict_types=True, default=list).pack((1, 2)),
                 id="strict-types-default"),
    pytest.param(lambda p: p.pack([1, Unsupported()]), id="unsupported"),
    pytest.param(lambda p: p.pack([2**64]), id="int-overflow"),
    pytest.param(lambda p: p.pack([BigInt(2**63), BigInt(-5), BigInt(2**70)]), id="int-subclass"),
    pytest.param(lambda p: p.pack(TOO_DEEP), id="recursion-limit"),
    pytest.param(lambda p: p.pack(["\ud800"]), id="unencodable-str"),
    pytest.param(lambda p: Packer(unicode_errors="replace").pack(["\ud800"]), id="errors"),
    pytest.param(lambda p: Packer(unicode_errors=bytearray(b"nosuch")).pack(["\ud800"]),
                 id="unknown-errors"),
    pytest.param(lambda p: Packer(default=repr).pack([Unsupported(), 2**64]), id="default"),
    pytest.param(lambda p: Packer(default=lambda o: Unsupported()).pack([Unsupported()]),
                 id="default-unsupported"),
    pytest.param(lambda p: Packer(default=lambda o: 1 / 0).pack({"k": Unsupported()}),
                 id="default-raises"),
    pytest.param(lambda p: p.pack(ListSub([1, 2])), id="sequence-count"),
    pytest.param(lambda p: p.pack(DictSub(a=1)), id="mapping-count"),
    pytest.param(lambda p: p.pack(Mapping(a=[1], b={2: 3})), id="mapping"),
    pytest.param(lambda p: p.pack([ExtType(5, b"x" * 20), ExtType(-3, bytearray(b"ab"))]),
                 id="ext"),
    pytest.param(lambda p: p.pack([Timestamp(2**40, 7), Timestamp(-1, 0)]), id="timestamp"),
    pytest.param(lambda p: p.pack(memoryview(b"abc")), id="memoryview"),
    pytest.param(lambda p: p.pack(memoryview(b"abcd")[::2]), id="memoryview-non-contiguous"),
    pytest.param(lambda p: Packer(datetime=True).pack(datetime.datetime(2020, 1, 2, tzinfo=UTC)),
                 id="datetime"),
    pytest.param(lambda p: Packer(datetime=True).pack(datetime.datetime(2020, 1, 2)),
                 id="datetime-naive"),
    pytest.param(lambda p: p.pack(b"\x00" * (1 << 20)), id="direct-bytes"),
    pytest.param(lambda p: Packer(autoreset=False).pack(DOC), id="no-autoreset"),
    pytest.param(lambda p: p.pack_array_header(70000), id="array-header"),
    pytest.param(lambda p: p.pack_array_header(-1), id="array-header-negative"),
    pytest.param(lambda p: p.pack_map_header(2**32), id="map-header-too-large"),
    pytest.param(lambda p: p.pack_map_header(BadIndex()), id="map-header-bad-size"),
    pytest.param(lambda p: p.pack_map_pairs([("a", 1), ("b", [2])]), id="pairs"),
    pytest.param(lambda p: p.pack_map_pairs({"a": 1}.items()), id="pairs-iterated"),
    pytest.param(lambda p: p.pack_map_pairs([("a", 1, 2)]), id="pairs-too-many"),
    pytest.param(lambda p: p.pack_map_pairs([("a", Unsupported())]), id="pairs-value-fails"),
    pytest.param(lambda p: p.pack_ext_type(3, b"xyz"), id="ext-type"),
    pytest.param(lambda p: p.pack_ext_type(300, b"xyz"), id="ext-type-code"),
    pytest.param(lambda p: p.pack_ext_type(3, 5), id="ext-type-data"),
    pytest.param(lambda p: p.pack(), id="missing-argument"),
    pytest.param(lambda p: p.pack(1, obj=2), id="repeated-argument"),
    pytest.param(lambda p: Packer(default=5), id="bad-default"),
    pytest.param(lambda p: Packer(buf_size=-1), id="bad-buf-size"),
    pytest.param(lambda p: Packer(unicode_errors="\u00e9"), id="bad-unicode-errors"),
    pytest.param(lambda p: p.__reduce__(), id="pickling"),
    pytest.param(lambda p: packb(DOC), id="packb"),
    pytest.param(lambda p: packb([Unsupported()]), id="packb-fails"),
    pytest.param(lambda p: packb(DOC, use_bin_type=False, autoreset=False), id="packb-options"),
    pytest.param(lambda p: packb(DOC, use_bin_type=True), id="packb-reused-with-options"),
    pytest.param(lambda p: packb([Unsupported()], default=lambda o: packb(DOC)),
                 id="packb-reentrant"),
]


def exported(p):
    with p.getbuffer() as view, memoryview(p) as other:
        bytes(view)
        bytes(other)
        p.pack(1)  # refused while the views live


def reinitialised(p):
    p.__init__(default=str, unicode_errors="replace")
    p.pack([Unsupported(), "\ud800"])
    p.__init__()


CALLS += [
    pytest.param(exported, id="views"),
    pytest.param(lambda p: (p.pack_array_header(1), p.bytes(), p.reset()), id="bytes-reset"),
    pytest.param(reinitialised, id="reinit"),
]


@pytest.mark.parametrize("call", CALLS)
def test_no_growth(call, request):
    p = Packer(autoreset=False)

    def run():
        try:
            call(p)
        except Exception:
            pass
        p.reset()

    assert_no_growth(run, loops(request.config))


def test_packb_dropping_its_grown_buffer(request):
    # Each call grows the cached Packer past what packb keeps and drops it;
    # the megabytes moved per call make a tenth of the loops enough.
    assert_no_growth(lambda: packb([b"x" * (600 << 10)]), max(200, loops(request.config) // 10))
