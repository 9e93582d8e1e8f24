"""Python code run from inside a decoding call (hooks, file_like.read,
finalisers of released partial values) calling back into the same
Unpacker: every guarded operation is refused, tell() is allowed, and the
buffer under the running call never moves."""

from __future__ import annotations

import gc
import re

import pytest

from quelm import ExtType, OutOfData, Unpacker

RECURSIVE = "Unpacker cannot be called recursively while unpacking is in progress"
GUARDED = {
    "unpack": (lambda u: u.unpack(), RECURSIVE),
    "skip": (lambda u: u.skip(), RECURSIVE),
    "read_array_header": (lambda u: u.read_array_header(), RECURSIVE),
    "read_map_header": (lambda u: u.read_map_header(), RECURSIVE),
    "next": (lambda u: next(u), RECURSIVE),
    "read_bytes": (
        lambda u: u.read_bytes(1),
        "Unpacker.read_bytes() cannot be called while unpacking is in progress",
    ),
    "feed": (lambda u: u.feed(b"\x01"), "Unpacker.feed() cannot be called while unpacking is in progress"),
    "init": (lambda u: u.__init__(), "Unpacker.__init__() cannot be called while unpacking is in progress"),
}

# How each hook is installed, what wakes it, and what the whole stream
# decodes to when the hook returns its argument (after the hook's effect).
HOOKS = {
    "object_hook": ("object_hook", "81a16101", {"a": 1}),
    "object_pairs_hook": ("object_pairs_hook", "81a16101", [("a", 1)]),
    "list_hook": ("list_hook", "9101", [1]),
    "ext_hook": ("ext_hook", "d40561", (5, b"a")),
}


def attempt(u, op, seen):
    call, message = GUARDED[op]
    try:
        call(u)
    except RuntimeError as e:
        seen.append(str(e))
    else:
        seen.append("not refused")


@pytest.mark.parametrize("op", GUARDED)
@pytest.mark.parametrize("hook", HOOKS)
def test_hook_reentry_refused(hook, op):
    name, payload, expected = HOOKS[hook]
    seen = []
    holder = {}

    def reenter(*args):
        attempt(holder["u"], op, seen)
        seen.append(holder["u"].tell())
        return args if len(args) > 1 else args[0]

    u = Unpacker(**{name: reenter})
    holder["u"] = u
    data = bytes.fromhex("05" + payload + "06")
    u.feed(data)
    assert u.unpack() == 5
    assert u.unpack() == expected
    assert seen == [GUARDED[op][1], 1]  # tell() is as of the routine's start
    assert u.unpack() == 6
    assert u.tell() == len(data)
    del holder["u"]


@pytest.mark.parametrize("op", GUARDED)
def test_read_reentry_refused(op):
    seen = []
    holder = {}
    parts = [b"\x92\x01", b"\x02"]

    class Source:
        def read(self, n):
            if len(parts) == 1:
                attempt(holder["u"], op, seen)
                seen.append(holder["u"].tell())
            return parts.pop(0) if parts else b""

    u = Unpacker(Source())
    holder["u"] = u
    assert u.unpack() == [1, 2]
    assert seen == [GUARDED[op][1], 2]  # the two bytes already decoded
    del holder["u"]


@pytest.mark.parametrize("op", ["unpack", "feed", "init", "read_bytes"])
def test_refusal_propagates_and_clears(op):
    holder = {}

    def hook(d):
        GUARDED[op][0](holder["u"])
        return d

    u = Unpacker(object_hook=hook)
    holder["u"] = u
    u.feed(bytes.fromhex("92" "81a16101" "07"))
    with pytest.raises(RuntimeError, match=re.escape(GUARDED[op][1])):
        u.unpack()
    # The outer call ended with the refusal and skipped the rest of the
    # value; the object is idle and usable.
    assert u.tell() == 6
    u.feed(b"\x05")
    assert list(u) == [5]
    del holder["u"]


def test_refused_read_failure_keeps_partial_value():
    holder = {}
    parts = [b"\x92\x01", b"\x02"]

    class Source:
        def read(self, n):
            if len(parts) == 1 and "once" not in holder:
                holder["once"] = True
                holder["u"].unpack()
            return parts.pop(0) if parts else b""

    u = Unpacker(Source())
    holder["u"] = u
    with pytest.raises(RuntimeError, match=RECURSIVE):
        u.unpack()
    assert u.unpack() == [1, 2]
    del holder["u"]


def test_other_unpacker_usable_from_hook():
    inner = Unpacker()

    def hook(d):
        inner.feed(b"\x92\x03\x04")
        return [d, inner.unpack()]

    u = Unpacker(object_hook=hook)
    u.feed(bytes.fromhex("81a16101"))
    assert u.unpack() == [{"a": 1}, [3, 4]]


class Reenters:
    """An object that calls an operation on the Unpacker when it is freed."""

    def __init__(self, holder, op, seen):
        self.holder, self.op, self.seen = holder, op, seen

    def __del__(self):
        u = self.holder.get("u")
        if u is not None:
            attempt(u, self.op, self.seen)


@pytest.mark.parametrize("op", ["unpack", "feed", "init", "read_bytes"])
def test_finaliser_during_reinit_is_refused(op):
    # __init__ releases the partial value, whose finaliser calls back.
    seen = []
    holder = {}
    u = Unpacker(object_hook=lambda d: Reenters(holder, op, seen))
    holder["u"] = u
    u.feed(bytes.fromhex("9281a16101"))
    with pytest.raises(OutOfData):
        u.unpack()
    u.__init__()
    gc.collect()
    assert seen == [GUARDED[op][1]]
    u.feed(b"\x03")
    assert u.unpack() == 3
    del holder["u"]


@pytest.mark.parametrize("op", ["unpack", "feed", "init"])
def test_finaliser_during_failure_clear_is_refused(op):
    # A failing value is released inside the decoding call: still guarded.
    seen = []
    holder = {}
    u = Unpacker(object_hook=lambda d: Reenters(holder, op, seen))
    holder["u"] = u
    u.feed(bytes.fromhex("92" "81a16101" "c1" "05"))
    with pytest.raises(Exception) as info:
        u.unpack()
    assert type(info.value).__name__ == "FormatError"
    gc.collect()
    assert seen == [GUARDED[op][1]]
    assert u.read_bytes(1) == b"\xc1"
    assert u.unpack() == 5
    del holder["u"]


def test_file_like_truth_test_cannot_reinit():
    seen = []
    holder = {}

    class Source:
        def __bool__(self):
            attempt(holder["u"], "init", seen)
            return True

        def read(self, n):
            return b""

    u = Unpacker()
    holder["u"] = u
    u.__init__(Source())
    assert seen == [GUARDED["init"][1]]
    with pytest.raises(OutOfData):
        u.unpack()
    del holder["u"]


def test_buffer_exporter_cannot_reinit_during_feed():
    # A bytes-like whose export runs Python code (3.12+) cannot free the
    # buffer that feed is about to fill.
    import sys

    if sys.version_info < (3, 12):
        pytest.skip("__buffer__ needs Python 3.12")
    seen = []
    holder = {}

    class Exporter:
        def __buffer__(self, flags):
            attempt(holder["u"], "init", seen)
            return memoryview(b"\x07")

    u = Unpacker()
    holder["u"] = u
    u.feed(Exporter())
    assert seen == [GUARDED["init"][1]]
    assert u.unpack() == 7
    del holder["u"]


def test_read_bytes_source_may_reenter():
    # read_bytes holds no guard while its read runs: the source may use the
    # Unpacker, and read_bytes still returns what both parts gave.
    holder = {}
    parts = [b"\x01\x02"]

    class Source:
        def read(self, n):
            if parts:
                return parts.pop(0)
            holder["u"].__init__(Source())
            return b"tail"

    u = Unpacker(Source(), read_size=2)
    holder["u"] = u
    assert u.unpack() == 1
    assert u.read_bytes(6) == b"\x02tail"
    del holder["u"]


def test_ext_hook_sees_type_and_data():
    u = Unpacker(ext_hook=lambda code, data: ExtType(code + 1, data[::-1]))
    u.feed(bytes.fromhex("d5056162"))
    assert u.unpack() == ExtType(6, b"ba")


@pytest.mark.parametrize("op", ["unpack", "feed", "init", "read_bytes"])
def test_timestamp_constructor_reentry_refused(op, monkeypatch):
    from quelm import Timestamp

    seen = []
    holder = {}
    original = Timestamp.__init__
    expected = Timestamp(1, 0)

    def init(self, *args):
        attempt(holder["u"], op, seen)
        original(self, *args)

    monkeypatch.setattr(Timestamp, "__init__", init)
    u = Unpacker()
    holder["u"] = u
    u.feed(bytes.fromhex("d6ff00000001"))
    assert u.unpack() == expected
    assert seen == [GUARDED[op][1]]
    del holder["u"]
