"""The Packer under hostile use: another thread calling in while a hook has
released the interpreter lock, memory running out at the last step, and
extension type -1 reserved for valid timestamps."""

from __future__ import annotations

import threading
import time

import pytest

from quelm import ExtType, Packer, Timestamp, Unpacker, packb, unpackb
from quelm.cli import main

FOREIGN = "Packer cannot be called from another thread while packing is in progress"


class Slow:
    pass


def test_call_from_another_thread_is_refused():
    started = threading.Event()

    def default(obj):
        started.set()
        time.sleep(0.2)  # releases the interpreter lock
        return [1, 2]

    packer = Packer(default=default)
    out = {}

    def first():
        out["first"] = packer.pack({"slow": Slow()})

    thread = threading.Thread(target=first)
    thread.start()
    assert started.wait(5)
    for call in (lambda: packer.pack("x"), lambda: packer.pack_array_header(1),
                 lambda: packer.pack_ext_type(1, b"a"), lambda: packer.pack_map_pairs([]),
                 packer.reset):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) in (FOREIGN, "Packer cannot be reset while packing is in progress")
    thread.join()
    assert out["first"] == packb({"slow": [1, 2]})
    assert packer.pack("x") == packb("x")


def test_unpacker_refuses_another_thread_during_a_hook():
    started = threading.Event()

    def hook(obj):
        started.set()
        time.sleep(0.2)
        return obj

    u = Unpacker(object_hook=hook)
    u.feed(packb([{"a": 1}, 2]) + packb(3))
    out = {}
    thread = threading.Thread(target=lambda: out.setdefault("first", u.unpack()))
    thread.start()
    assert started.wait(5)
    for call in (u.unpack, lambda: u.feed(b"\x01"), lambda: u.read_bytes(1)):
        with pytest.raises(RuntimeError):
            call()
    thread.join()
    assert out["first"] == [{"a": 1}, 2]
    assert list(u) == [3]


def test_failed_finish_under_autoreset_empties_the_buffer():
    testcapi = pytest.importorskip("_testcapi")
    packer = Packer()
    big = "x" * 100
    failed = 0
    for allowed in range(4):
        testcapi.set_nomemory(allowed, 0)
        try:
            packer.pack(big)
        except MemoryError:
            failed += 1
        finally:
            testcapi.remove_mem_hooks()
        # Whatever failed, nothing of it comes back with the next value.
        assert packer.pack(7) == b"\x07"
    assert failed


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(b"\x01\x02", id="2-bytes"),
        pytest.param(b"abc", id="3-bytes"),
        pytest.param(b"", id="empty"),
        pytest.param(b"\xff" * 8, id="64-bit-nanoseconds-too-large"),
        pytest.param(b"\x3b\x9a\xca\x00" + bytes(8), id="96-bit-nanoseconds-too-large"),
    ],
)
def test_invalid_timestamp_ext_refused(data, tmp_path, capsys):
    with pytest.raises(ValueError, match="invalid timestamp data"):
        packb(ExtType(-1, data))
    packer = Packer(autoreset=False)
    with pytest.raises(ValueError, match="invalid timestamp data"):
        packer.pack_ext_type(-1, data)
    assert packer.bytes() == b""
    source = tmp_path / "in.json"
    source.write_text('{"$ext": {"code": -1, "data": "%s"}}' % data.hex())
    assert main(["encode", str(source)]) == 1
    assert "invalid timestamp data" in capsys.readouterr().err


@pytest.mark.parametrize("data", [bytes(4), b"\x3b\x9a\xc9\xff" + bytes(4), b"\x3b\x9a\xc9\xff" + bytes(8)])
def test_valid_timestamp_ext_packs(data):
    assert isinstance(unpackb(packb(ExtType(-1, data))), Timestamp)



# Each value nested up to the budget packs on a small-stack thread as on the
# main one, or raises ValueError; the process never crashes.
SMALL_STACK = r"""
import dataclasses, sys, threading, typing, quelm
Node = dataclasses.make_dataclass("Node", [("child", typing.Any)])
class Items(list):  # walked by iteration
    pass
def nest(make, depth, v=0):
    for _ in range(depth):
        v = make(v)
    return v
MAKERS = (lambda v: [v], lambda v: {"k": v}, lambda v: Items([v]), Node)
CASES = [(make, depth) for make in MAKERS for depth in (5, 1000)]
# Built and freed on the main thread: freeing a chain of 1,000 instances
# takes more stack than a small thread has on some interpreters.
VALUES = [nest(*case) for case in CASES]
EXPECTED = [quelm.packb(value, typed=True) for value in VALUES]
def run():
    for value, expected in zip(VALUES, EXPECTED):
        try:
            print(quelm.packb(value, typed=True) == expected)
        except ValueError as e:
            print(e)
threading.stack_size(int(sys.argv[1]))
threading.Thread(target=run).start()
"""


@pytest.mark.parametrize("stack", [128 << 10, 256 << 10])
def test_small_thread_stack_refuses_deep_values(stack):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", SMALL_STACK, str(stack)], capture_output=True,
                          text=True, timeout=60)
    lines = done.stdout.splitlines()
    deep = "recursion limit exceeded: the value nests too deeply for this thread's stack"
    assert done.returncode == 0 and lines[::2] == ["True"] * 4, done
    assert set(lines[1::2]) <= {"True", deep} and lines[-1] == deep
