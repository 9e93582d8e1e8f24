"""Property: however a caller splits the Packer's encoding of a stream of values
(one byte at a time, random chunks, a file_like with short reads), the
Unpacker yields the same values at the same tell() offsets; also when the
values are skipped, and when the header readers step into containers."""

from __future__ import annotations

from hypothesis import given
from hypothesis import strategies as st

from quelm import ExtType, OutOfData, Packer, Timestamp, Unpacker

encode = Packer().pack

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=40)
    | st.binary(max_size=40)
    | st.builds(ExtType, st.integers(0, 127), st.binary(max_size=20))
    | st.builds(Timestamp, st.integers(-(2**63), 2**63 - 1), st.integers(0, 999_999_999))
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(max_size=8), inner, max_size=6),
    max_leaves=20,
)
streams = st.lists(values, min_size=1, max_size=8)

METHODS = {"unpack": "unpack", "skip": "skip", "array": "read_array_header", "map": "read_map_header"}


def plan_for(stream, how):
    """The operations to run and, for each, the expected (result, tell)."""
    ops, expected, offset = [], [], 0
    for value in stream:
        data = encode(value)
        if how == "headers" and isinstance(value, (list, dict)):
            items = list(value) if isinstance(value, list) else [x for kv in value.items() for x in kv]
            offset += len(data) - sum(len(encode(x)) for x in items)
            ops.append("array" if isinstance(value, list) else "map")
            expected.append((len(value), offset))
            for item in items:
                offset += len(encode(item))
                ops.append("unpack")
                expected.append((item, offset))
            continue
        offset += len(data)
        ops.append("skip" if how == "skip" else "unpack")
        expected.append((None if how == "skip" else value, offset))
    return ops, expected


def same(seen, expected):
    # repr tells 1 from 1.0 and True, and shows dict order.
    return repr(seen) == repr(expected)


def run(u, ops, feed_next):
    """Runs `ops`, feeding the next chunk whenever one raises OutOfData."""
    seen = []
    for op in ops:
        while True:
            try:
                result = getattr(u, METHODS[op])()
                break
            except OutOfData:
                assert feed_next(), "input exhausted before the plan ended"
        seen.append((result, u.tell()))
    return seen


def chunked(data, cuts):
    points = sorted({c % (len(data) + 1) for c in cuts} | {0, len(data)})
    return [data[a:b] for a, b in zip(points, points[1:])]


def feeder(u, chunks):
    pending = list(chunks)

    def feed_next():
        if not pending:
            return False
        u.feed(pending.pop(0))
        return True

    return feed_next


hows = st.sampled_from(["unpack", "skip", "headers"])


@given(streams, hows, st.integers(1, 16))
def test_one_byte_at_a_time(stream, how, read_size):
    data = b"".join(encode(v) for v in stream)
    ops, expected = plan_for(stream, how)
    u = Unpacker(read_size=read_size, max_buffer_size=len(data) + 16)
    assert same(run(u, ops, feeder(u, [data[i : i + 1] for i in range(len(data))])), expected)
    assert list(u) == []


@given(streams, hows, st.lists(st.integers(0, 10**6), max_size=12), st.integers(1, 64))
def test_random_chunks(stream, how, cuts, read_size):
    data = b"".join(encode(v) for v in stream)
    ops, expected = plan_for(stream, how)
    u = Unpacker(read_size=read_size, max_buffer_size=len(data) + 64)
    assert same(run(u, ops, feeder(u, chunked(data, cuts))), expected)


class ShortReads:
    """A file_like that returns at most the next of `limits` bytes per call."""

    def __init__(self, data, limits):
        self.data, self.limits, self.asked = data, list(limits) or [1], []

    def read(self, n):
        self.asked.append(n)
        limit = self.limits[len(self.asked) % len(self.limits)]
        chunk, self.data = self.data[: min(n, limit)], self.data[min(n, limit) :]
        return chunk


@given(streams, hows, st.lists(st.integers(1, 20), min_size=1, max_size=8), st.integers(1, 32))
def test_file_like_short_reads(stream, how, limits, read_size):
    data = b"".join(encode(v) for v in stream)
    ops, expected = plan_for(stream, how)
    source = ShortReads(data, limits)
    u = Unpacker(source, read_size=read_size, max_buffer_size=len(data) + 32)
    assert same(run(u, ops, lambda: False), expected)
    assert list(u) == []
    assert all(0 < n <= read_size for n in source.asked)


@given(streams, st.lists(st.integers(0, 10**6), max_size=12))
def test_iteration_matches_values(stream, cuts):
    data = b"".join(encode(v) for v in stream)
    u = Unpacker()
    out = []
    for chunk in chunked(data, cuts):
        u.feed(chunk)
        out.extend(u)
    assert same(out, stream)
    assert u.tell() == len(data)
