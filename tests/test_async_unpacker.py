"""AsyncUnpacker over real loopback connections: values cut anywhere, slow
and vanishing peers, cancellation, the buffer bound and the options."""

import asyncio
import contextlib
import random
import threading

import pytest

import quelm
from quelm import AsyncUnpacker, BufferFull, ExtType, OutOfData

VALUES = [0, -1, 2**64 - 1, -(2**63), 1.5, "", "héllo ✓", b"\x00" * 300, [1, [2, [3]]],
          {"k": {"n": None}}, True, ExtType(5, b"abc"), "x" * 20000, list(range(500))]
DATA = b"".join(map(quelm.packb, VALUES))


def run(main):
    """Runs ``main()`` in a fresh loop, within seconds; it must leave no task
    or thread behind."""
    threads = threading.active_count()

    async def checked():
        result = await asyncio.wait_for(main(), 30)
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {asyncio.current_task()}
        return result

    result = asyncio.run(checked())
    assert threading.active_count() == threads
    return result


@contextlib.asynccontextmanager
async def connected(send):
    """A StreamReader connected over loopback to a server that runs
    ``await send(writer)`` and then closes the connection."""
    finished = asyncio.get_running_loop().create_future()

    async def serve(_, writer):
        try:
            await send(writer)
        finally:
            writer.close()
            finished.set_result(None)

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
    try:
        yield reader
    finally:
        writer.close()
        await asyncio.wait_for(finished, 10)
        server.close()
        await server.wait_closed()


def sending(*pieces, pause=0.0):
    async def send(writer):
        for piece in pieces:
            writer.write(piece)
            await writer.drain()
            await asyncio.sleep(pause)
    return send


def received(send, **options):
    async def main():
        async with connected(send) as reader:
            return [value async for value in AsyncUnpacker(reader, **options)]
    return run(main)


@pytest.mark.parametrize("seed", range(6))
def test_values_cut_at_random_points_arrive_whole(seed):
    rng = random.Random(seed)
    cuts = [0, *sorted(rng.sample(range(1, len(DATA)), 60)), len(DATA)]
    pieces = [DATA[a:b] for a, b in zip(cuts, cuts[1:])]
    read_size = rng.choice([0, 1, 5, 4096])
    assert received(sending(*pieces), read_size=read_size, max_buffer_size=30000) == VALUES


def test_a_slow_writer_keeps_the_loop_free():
    value = {"items": list(range(20)), "name": "slow"}
    data = quelm.packb(value)

    async def main():
        async with connected(sending(*(data[i:i + 1] for i in range(len(data))),
                                     pause=0.002)) as reader:
            unpacker = AsyncUnpacker(reader)
            call, ticks = asyncio.ensure_future(unpacker.unpack()), 0
            while not call.done():  # the loop runs on while the call waits
                ticks += 1
                await asyncio.sleep(0.001)
            return call.result(), unpacker.tell(), ticks

    got, position, ticks = run(main)
    assert (got, position) == (value, len(data)) and ticks > 5


@pytest.mark.parametrize("how", ["iterate", "unpack"])
@pytest.mark.parametrize("cut, message", [
    pytest.param(quelm.packb("abcdef")[:4], "4 bytes left over", id="inside-str"),
    pytest.param(b"\xdc\x00", "2 bytes left over", id="inside-array16-header"),
    pytest.param(quelm.packb([1, [2, 3], "x"])[:4], "4 bytes left over", id="inside-nested"),
    pytest.param(quelm.packb({"k": b"v" * 10})[:6], "6 bytes left over", id="inside-map"),
    pytest.param(b"", None, id="between-values"),
])
def test_a_peer_closing(how, cut, message):
    async def main():
        got = []
        async with connected(sending(DATA[:40], DATA[40:] + cut)) as reader:
            unpacker = AsyncUnpacker(reader, read_size=7, max_buffer_size=30000)
            with pytest.raises(OutOfData) as caught:
                if how == "iterate":
                    async for value in unpacker:
                        got.append(value)
                    raise OutOfData("iteration ended")
                while True:
                    got.append(await unpacker.unpack())
            return got, str(caught.value)

    got, text = run(main)
    assert got == VALUES
    if message is not None:
        assert text == "No more data to unpack: the input ended inside a value, " + message + "."
    else:
        assert text == ("iteration ended" if how == "iterate" else "No more data to unpack.")


def test_a_call_cancelled_mid_value_leaves_no_fragment():
    value = ["abc", list(range(20))]
    data = quelm.packb(value)

    async def main():
        go_on = asyncio.Event()

        async def send(writer):
            await sending(quelm.packb(1) + data[:5])(writer)
            await go_on.wait()
            await sending(data[5:] + quelm.packb("after"))(writer)

        async with connected(send) as reader:
            unpacker = AsyncUnpacker(reader)
            assert await unpacker.unpack() == 1
            call = asyncio.ensure_future(unpacker.unpack())
            while unpacker.tell() < 6:  # the array header and "abc" are in
                await asyncio.sleep(0.001)
            call.cancel()
            with pytest.raises(asyncio.CancelledError):
                await call
            with pytest.raises(ValueError, match="^Cannot switch unpacking methods"):
                await unpacker.skip()
            go_on.set()
            return [await unpacker.unpack()] + [rest async for rest in unpacker]

    assert run(main) == [value, "after"]


@pytest.mark.parametrize("read_size", [0, 16])
def test_a_value_beyond_max_buffer_size_is_refused_unread(read_size):
    asked = []

    class Counting:
        def __init__(self, reader):
            self.reader = reader

        async def read(self, n):
            asked.append(n)
            return await self.reader.read(n)

    async def main():
        async with connected(sending(quelm.packb(b"x" * 1000))) as reader:
            unpacker = AsyncUnpacker(Counting(reader), max_buffer_size=100, read_size=read_size)
            with pytest.raises(BufferFull):
                await unpacker.unpack()
            return unpacker.tell()

    consumed = run(main)
    assert asked and sum(asked) <= 100 + consumed


def test_a_reader_giving_more_than_asked_loses_nothing():
    class Generous:
        def __init__(self, data):
            self.data = data

        async def read(self, n):
            got, self.data = self.data[:50], self.data[50:]
            return got

    values = [b"a" * 10] * 10 + ["end"]
    data = b"".join(map(quelm.packb, values))

    async def main():
        return [v async for v in AsyncUnpacker(Generous(data), max_buffer_size=20)]

    assert run(main) == values


@pytest.mark.parametrize("options, value, expected", [
    pytest.param({"raw": True}, "é", b"\xc3\xa9", id="raw"),
    pytest.param({"use_list": False}, [1, [2]], (1, (2,)), id="use_list"),
    pytest.param({"ext_hook": lambda code, data: (code, data)}, ExtType(3, b"z"), (3, b"z"),
                 id="ext_hook"),
])
def test_options_pass_through(options, value, expected):
    data = quelm.packb(value)
    assert received(sending(data[:1], data[1:]), **options) == [expected]


def test_reading_headers_skipping_and_a_failed_value():
    def hook(obj):  # its OutOfData fails the value; no more bytes could help
        if "fail" in obj:
            raise OutOfData("from the hook")
        return obj

    data = [quelm.packb(v) for v in ([1, 2, 3], {"a": 1}, "skipped", {"fail": 1}, "last")]

    async def main():
        async with connected(sending(*data)) as reader:
            unpacker = AsyncUnpacker(reader, read_size=1, object_hook=hook)
            items = [await unpacker.unpack() for _ in range(await unpacker.read_array_header())]
            pairs = [await unpacker.unpack() for _ in range(2 * await unpacker.read_map_header())]
            await unpacker.skip()
            with pytest.raises(OutOfData, match="^from the hook$"):
                await unpacker.unpack()
            return items, pairs, await unpacker.unpack(), unpacker.tell()

    assert run(main) == ([1, 2, 3], ["a", 1], "last", len(b"".join(data)))


def test_one_call_at_a_time():
    async def main():
        reader = asyncio.StreamReader()
        unpacker = AsyncUnpacker(reader)
        first = asyncio.ensure_future(unpacker.unpack())
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="^AsyncUnpacker cannot be called while another"):
            await unpacker.unpack()
        reader.feed_data(b"\x07")
        return await first

    assert run(main) == 7


@pytest.mark.parametrize("reader, options, error, message", [
    pytest.param(object(), {}, TypeError, "`reader.read` must be a callable.", id="no-read"),
    pytest.param(asyncio.StreamReader, {"read_size": 2000, "max_buffer_size": 1000}, ValueError,
                 "read_size should be less or equal to max_buffer_size", id="read_size"),
])
def test_construction_refuses(reader, options, error, message):
    with pytest.raises(error) as caught:
        AsyncUnpacker(reader, **options)
    assert str(caught.value) == message

