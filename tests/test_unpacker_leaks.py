"""No reference leaks on any reading path of the Unpacker, success or
failure: each scenario runs many times while the memory the interpreter's
allocator holds and the reference counts of the objects involved are
watched. QUELM_LEAK_LOOPS raises the number of rounds for a hunt."""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import pytest

from quelm import ExtType, OutOfData, Packer, Timestamp, Unpacker

ROUNDS = int(os.environ.get("QUELM_LEAK_LOOPS", "1000"))
# Caches and free lists settle within the warm-up; what they still move
# afterwards stays within this many bytes.
NOISE = 8192


class Boom(Exception):
    pass


def raising_hook(*_):
    raise Boom


def identity(*args):
    return args[0] if len(args) == 1 else args


class Source:
    def __init__(self, *parts):
        self.parts = list(parts)

    def read(self, n):
        part = self.parts.pop(0) if self.parts else b""
        if isinstance(part, type) and issubclass(part, BaseException):
            raise part
        return part


DATA = Packer().pack([1, "two", b"three", {"four": [4.0, None, True]}, ExtType(5, b"x"), Timestamp(1, 2)])


def attempt(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception:  # noqa: BLE001 - the failure paths are the point
        return None


def s_unpack():
    u = Unpacker(object_hook=identity, list_hook=identity, ext_hook=identity)
    u.feed(DATA)
    u.unpack()


def s_resume():
    u = Unpacker()
    u.feed(DATA[:7])
    attempt(u.unpack)
    u.feed(DATA[7:])
    u.unpack()


def s_abandon_partial():
    u = Unpacker()
    u.feed(DATA[:-3])
    attempt(u.unpack)


def s_reinit_partial():
    u = Unpacker()
    u.feed(DATA[:-3])
    attempt(u.unpack)
    u.__init__(object_hook=identity)


def s_format_error():
    u = Unpacker()
    u.feed(bytes.fromhex("82a16101a162c1"))
    attempt(u.unpack)


def s_stack_error():
    u = Unpacker()
    u.feed(b"\x91" * 1025 + b"\x01")
    attempt(u.unpack)


def s_hook_raises():
    u = Unpacker(object_hook=raising_hook)
    u.feed(bytes.fromhex("9281a16101"))
    attempt(u.unpack)


def s_ext_hook_raises():
    u = Unpacker(ext_hook=raising_hook)
    u.feed(bytes.fromhex("92a161d40561"))
    attempt(u.unpack)


def s_limit():
    u = Unpacker(max_str_len=1)
    u.feed(bytes.fromhex("92a161a26262"))
    attempt(u.unpack)


def s_skip_and_headers():
    u = Unpacker()
    u.feed(DATA + bytes.fromhex("9201028101020304"))
    u.skip()
    u.read_array_header()
    u.unpack()
    u.unpack()
    attempt(u.read_array_header)
    u.read_map_header()
    list(u)


def s_header_cut():
    u = Unpacker()
    u.feed(b"\xdd\x00")
    attempt(u.read_array_header)
    attempt(u.unpack)


def s_read_bytes():
    u = Unpacker(Source(b"\x01\x02", b"rest", Boom, "text"), read_size=2)
    u.unpack()
    u.read_bytes(5)
    attempt(u.read_bytes, 3)
    attempt(u.read_bytes, 3)
    attempt(u.read_bytes, -1)


def s_file_like():
    u = Unpacker(Source(DATA[:3], DATA[3:9], Boom, DATA[9:], None), read_size=4)
    attempt(u.unpack)
    u.unpack()
    list(u)
    u.feed(b"\x01")
    list(u)


def s_file_like_bad_result():
    u = Unpacker(Source(bytearray(b"\x01")))
    attempt(u.unpack)


def s_buffer_full():
    u = Unpacker(read_size=2, max_buffer_size=4)
    u.feed(b"\xa5ab")
    attempt(u.unpack)
    attempt(u.feed, b"cde")
    u2 = Unpacker(Source(b"\xa5abcdef"), read_size=2, max_buffer_size=2)
    attempt(u2.unpack)


def s_init_failures():
    u = Unpacker(object_hook=identity, unicode_errors="replace")
    for kwargs in (
        {"object_hook": 1},
        {"unicode_errors": 1},
        {"read_size": -1},
        {"read_size": 3, "max_buffer_size": 2},
        {"file_like": object()},
        {"timestamp": 7},
        {"max_str_len": "x"},
    ):
        attempt(u.__init__, **kwargs)
        attempt(u.unpack)
    attempt(Unpacker, bogus=1)


def s_pickle():
    attempt(Unpacker().__reduce__)
    attempt(Unpacker().__setstate__, 1)


def s_new_without_init():
    u = Unpacker.__new__(Unpacker)
    attempt(u.feed, b"\x01")
    attempt(u.unpack)


def s_reentry():
    holder = {}

    def hook(d):
        for op in (lambda: holder["u"].unpack(), lambda: holder["u"].feed(b"\x01"), lambda: holder["u"].__init__()):
            attempt(op)
        return d

    u = Unpacker(object_hook=hook)
    holder["u"] = u
    u.feed(bytes.fromhex("81a16101"))
    u.unpack()
    holder.clear()


SCENARIOS = {name[2:]: fn for name, fn in list(globals().items()) if name.startswith("s_")}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_leak(name):
    scenario = SCENARIOS[name]
    watched = [identity, raising_hook, Boom, DATA, Source, Source.read]
    for _ in range(20):
        scenario()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    growth = []
    tracemalloc.start()
    try:
        for _ in range(200):
            scenario()
        # Interpreter caches can take a few windows to settle; a leak grows
        # in every window, so one quiet window clears the scenario.
        while len(growth) < 4 and (not growth or growth[-1] >= NOISE):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(ROUNDS):
                scenario()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    # A single leaked object per round would hold at least 16 bytes a round.
    assert growth[-1] < NOISE, f"bytes held per window of {ROUNDS} rounds: {growth}"


class Holder:
    """Refers back to the Unpacker that decoded it, closing a cycle."""

    unpacker = None

    def __hash__(self):
        return 1


# Each leaves a half-decoded value holding a Holder in a different place:
# a list slot, a tuple slot, a pairs list, a dict value, a pending map key.
HALF_DECODED = {
    "list": ({}, "93c70001c0"),
    "tuple": ({"use_list": False}, "93c70001c0"),
    "pairs": ({"object_pairs_hook": identity}, "82a161c70001a162"),
    "dict": ({}, "82a161c70001a162"),
    "key": ({"strict_map_key": False}, "82c70001"),
}


@pytest.mark.parametrize("options, stream", HALF_DECODED.values(), ids=HALF_DECODED.keys())
def test_cycle_through_a_half_decoded_value_is_collected(options, stream):
    import weakref

    made = []

    def ext_hook(code, data):
        holder = Holder()
        made.append(weakref.ref(holder))
        return holder

    u = Unpacker(ext_hook=ext_hook, **options)
    u.feed(bytes.fromhex(stream))
    with pytest.raises(OutOfData):
        u.unpack()
    # The one Holder built so far sits inside the unfinished value; the
    # stream is then abandoned with the cycle closed.
    [watch] = made
    watch().unpacker = u
    del u
    gc.collect()
    assert watch() is None


def test_collection_from_a_hook_leaves_the_value_whole():
    # A collection while a call runs must neither free nor miscount the
    # half-built value.
    def hook(code, data):
        gc.collect()
        return Holder()

    u = Unpacker(ext_hook=hook, strict_map_key=False)
    u.feed(bytes.fromhex("9392c70001c70001" "81c70001c70001" "c0"))
    value = u.unpack()
    assert [type(v) for v in value[0]] == [Holder, Holder]
    assert len(value[1]) == 1 and value[2] is None
