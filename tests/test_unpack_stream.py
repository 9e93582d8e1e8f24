"""quelm.unpack on real pipes and sockets: it looks below the buffered
reader's buffer and reads ahead as far as the value is sure to go, yet every
outcome, and every byte left in the stream, is that of the item reader."""

from __future__ import annotations

import io
import os
import socket
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quelm
from quelm import _unpack_stream

from test_stream_property import values

# More than a pipe holds, in small records: many rounds of looking and
# reading ahead.
RECORDS = [{"k": i, "s": "x" * (i % 40)} for i in range(6000)]
BIG = quelm.packb(RECORDS)
# The same with invalid UTF-8 in the last str, far into the value.
BAD_TEXT = quelm.packb(RECORDS + ["ABCD"])[:-4] + b"\xff" * 4
# The same with a reserved byte for its last item.
BAD_BYTE = quelm.packb(RECORDS + [None])[:-1] + b"\xc1"
# A header promising 4 GiB, after 100 KB of the value and before 100 KB more.
_ZEROS = quelm.packb([0] * 100_000 + ["LYING"] + [0] * 100_000)
LYING_INSIDE = _ZEROS.replace(b"\xa5LYING", b"\xdb\xff\xff\xff\xff")


def _fail_late(pairs):
    if dict(pairs)["k"] == 5000:
        raise ValueError("record 5000")
    return dict(pairs)


CASES = [
    pytest.param(BIG + b"\x01", {}, id="big-then-more"),
    pytest.param(BIG[:-3], {}, id="big-cut"),
    # The bytes a failing value replays are its own, not those of the value
    # read before it, whose buffer the thread keeps.
    pytest.param(BIG + BIG[:-3], {}, id="big-then-big-cut"),
    pytest.param(BIG + BAD_BYTE, {}, id="big-then-c1"),
    pytest.param(BIG + b"\x01", {"max_buffer_size": 100_000}, id="big-over-limit"),
    pytest.param(BIG + b"\x01", {"object_pairs_hook": _fail_late}, id="big-hook-fails"),
    pytest.param(BAD_TEXT + b"\x01", {}, id="big-bad-utf8"),
    pytest.param(BAD_BYTE + b"\x01", {}, id="big-c1"),
    # Over the limit, the stream stops where the item reader stops: before
    # the piece that crosses it, not where the last look ended.
    pytest.param(b"\xdb\xff\xff\xff\xff" + b"x" * 100_000, {}, id="lying-length"),
    pytest.param(LYING_INSIDE, {}, id="lying-length-inside"),
    pytest.param(bytes.fromhex("01 81a16101 92c3c0".replace(" ", "")), {}, id="small"),
    pytest.param(b"", {}, id="empty"),
]


class _ReadOnly:
    """No peek: quelm.unpack reads it item by item, the reference."""

    def __init__(self, data):
        self.read = io.BytesIO(data).read


def _outcomes(stream, options):
    seen = []
    for _ in range(4):
        try:
            seen.append(("value", quelm.unpack(stream, **options)))
        except Exception as error:  # compared, whatever it is
            seen.append((type(error), str(error)))
    return seen, stream.read()


def _pipe(data, hold=None):
    read_end, write_end = os.pipe()

    def write():
        with open(write_end, "wb") as out:
            out.write(data)
            out.flush()
            if hold is not None:
                hold()

    writer = threading.Thread(target=write)
    writer.start()
    return open(read_end, "rb"), writer


def _socket(data, hold=None):
    ours, theirs = socket.socketpair()

    def write():
        theirs.sendall(data)
        if hold is not None:
            hold()
        theirs.shutdown(socket.SHUT_WR)
        theirs.close()

    writer = threading.Thread(target=write)
    writer.start()
    stream = ours.makefile("rb")
    ours.close()  # the file keeps the socket open
    return stream, writer


SOURCES = {"pipe": _pipe, "socket": _socket}
LOOKS_BELOW = {"pipe": "_PipeBelow" if sys.platform.startswith("linux") else "_Buffered",
               "socket": "_SocketBelow"}


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("data, options", CASES)
def test_matches_the_item_reader(kind, data, options):
    stream, writer = SOURCES[kind](data)
    try:
        source = _unpack_stream._source(stream, stream.peek)
        assert type(source).__name__ == LOOKS_BELOW[kind]
        assert _outcomes(stream, options) == _outcomes(_ReadOnly(data), options)
    finally:
        stream.close()
        writer.join()


@pytest.mark.parametrize("kind", SOURCES)
def test_returns_while_the_writer_waits(kind):
    # A peer that sends one request and waits for the answer: reading past
    # the value would wait for bytes that never come.
    answered = threading.Event()
    waited = []
    stream, writer = SOURCES[kind](BIG, lambda: waited.append(answered.wait(30)))
    try:
        assert quelm.unpack(stream) == RECORDS
        answered.set()
    finally:
        writer.join()
        stream.close()
    assert waited == [True]


@given(values, st.data())
def test_bytes_needed_never_overshoots(value, data):
    # The decoder's lower bound on what the value in progress still needs:
    # reading that much ahead never takes a byte past the value.
    packed = quelm.packb(value)
    cut = data.draw(st.integers(0, len(packed) - 1))
    unpacker = quelm.Unpacker(None)
    unpacker.feed(packed[:cut])
    with pytest.raises(quelm.OutOfData):
        unpacker.unpack()
    needed = unpacker._bytes_needed()
    assert needed <= len(packed) - cut
    assert needed >= 1 or cut == 0



# The private pipe cannot be made: the reader's own peek goes on, losing nothing.
NO_SPARE_FD = r"""
import os, resource, quelm
read_end, write_end = os.pipe()
os.write(write_end, quelm.packb(["x" * 100] * 200) + quelm.packb("next"))
os.close(write_end)
stream = open(read_end, "rb")
limit = max(map(int, os.listdir("/proc/self/fd"))) + 1
resource.setrlimit(resource.RLIMIT_NOFILE, (limit, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
try:
    for _ in range(limit):
        os.open(os.devnull, os.O_RDONLY)  # held until the end
except OSError:  # every descriptor is taken
    pass
with stream:
    print(len(quelm.unpack(stream)), quelm.unpack(stream), stream.read())
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="looks below the buffer on Linux")
def test_pipe_without_a_spare_descriptor_loses_nothing():
    import subprocess

    done = subprocess.run([sys.executable, "-c", NO_SPARE_FD], capture_output=True, text=True,
                          timeout=60)
    assert (done.stdout, done.stderr) == ("200 next b''\n", "")


def test_socket_timeout_mid_value_refuses_the_rest():
    # Once part of the value is taken, no later call reads its rest as values.
    import time

    data = quelm.packb(["y" * 100] * 2000) + quelm.packb("next")
    ours, theirs = socket.socketpair()
    ours.settimeout(0.2)
    writer = threading.Thread(target=lambda: (theirs.sendall(data[:50_000]), time.sleep(0.6),
                                              theirs.sendall(data[50_000:]), theirs.close()))
    writer.start()
    with ours, ours.makefile("rb") as stream:
        with pytest.raises(socket.timeout):
            quelm.unpack(stream)
        writer.join()
        for _ in range(3):
            with pytest.raises(OSError, match="cannot read from timed out object"):
                quelm.unpack(stream)
