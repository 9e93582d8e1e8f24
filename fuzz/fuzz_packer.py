#!/usr/bin/env python3
"""Fuzzes the Packer from the other side: the input is a little program that
builds a Python value (ints at every width boundary, floats, str, bytes,
bytearray, memoryview, nested lists, tuples and dicts, ExtType, Timestamp,
aware datetimes, values only the default hook takes) and chooses the
Packer's options. The packed bytes must decode to the value as the options
transform it, and a Packer without autoreset must hold the same bytes."""

import datetime
import struct
import sys

import atheris

with atheris.instrument_imports():
    from _common import q, same

UTC = datetime.timezone.utc
INT_EDGES = [0, 1, 127, 128, 255, 256, 65535, 65536, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1]


class Opaque:
    """A value only the default hook can take."""

    def __init__(self, n):
        self.n = n


KEY_KINDS = [0, 1, 2, 4, 5]


def build(fdp, depth, kind=None):
    if kind is None:
        kind = fdp.ConsumeIntInRange(0, 15 if depth < 8 else 10)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        edge = INT_EDGES[fdp.ConsumeIntInRange(0, len(INT_EDGES) - 1)]
        edge += fdp.ConsumeIntInRange(-2, 2)
        return -edge if fdp.ConsumeBool() and edge <= 2**63 else edge
    if kind == 3:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind == 4:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 70000 if depth == 0 else 40))
    if kind == 5:
        n = fdp.ConsumeIntInRange(0, 70000 if depth == 0 else 40)
        return fdp.ConsumeBytes(n) + b"\x00" * (n // 2)
    if kind == 6:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300)))
    if kind == 7:
        return memoryview(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300)))
    if kind == 8:
        # Code -1 is the timestamp's: packed as given, decoded as a timestamp.
        code = fdp.ConsumeIntInRange(-128, 126)
        code += code == -1
        return q.ExtType(code, fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300)))
    if kind == 9:
        wide = fdp.ConsumeBool()
        seconds = fdp.ConsumeIntInRange(-(2**63) if wide else 0, 2**63 - 1 if wide else 2**34 + 5)
        return q.Timestamp(seconds, fdp.ConsumeIntInRange(0, 999999999))
    if kind == 10:
        return Opaque(fdp.ConsumeIntInRange(0, 3))
    if kind == 11:
        year = fdp.ConsumeIntInRange(1, 9999)
        microsecond = fdp.ConsumeIntInRange(0, 999999)
        return datetime.datetime(year, 1, 1, microsecond=microsecond, tzinfo=UTC)
    n = fdp.ConsumeIntInRange(0, 20)
    if kind == 12:
        return [build(fdp, depth + 1) for _ in range(n)]
    if kind == 13:
        return tuple(build(fdp, depth + 1) for _ in range(n))
    d = {}
    for _ in range(n):
        key = build(fdp, depth + 1, KEY_KINDS[fdp.ConsumeIntInRange(0, len(KEY_KINDS) - 1)])
        d[key] = build(fdp, depth + 1)
    return d


def default(obj):
    if type(obj) is int:
        raise OverflowError  # beyond 64 bits
    if isinstance(obj, Opaque):
        return ["opaque", obj.n]
    raise TypeError("unexpected %r" % (obj,))


def expected(value, single_float):
    """The value as decoding with use_list and raw=False gives it back."""
    t = type(value)
    if value is None or t is bool or t is str:
        return value
    if t is int:
        return value
    if t is float:
        if single_float:
            return struct.unpack(">f", struct.pack(">f", value))[0]
        return value
    if t in (bytes, bytearray, memoryview):
        return bytes(value)
    if t is q.ExtType:
        return value
    if t is q.Timestamp:
        return value
    if t is datetime.datetime:
        return q.Timestamp.from_datetime(value)
    if t is Opaque:
        return ["opaque", value.n]
    if t in (list, tuple):
        return [expected(v, single_float) for v in value]
    return {expected(k, single_float): expected(v, single_float) for k, v in value.items()}


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    single_float = fdp.ConsumeBool()
    value = build(fdp, 0)
    packer = q.Packer(default=default, use_single_float=single_float, datetime=True,
                      buf_size=fdp.ConsumeIntInRange(0, 64))
    keeper = q.Packer(default=default, use_single_float=single_float, datetime=True,
                      autoreset=False, buf_size=1)
    try:
        packed = packer.pack(value)
    except (OverflowError, ValueError):
        return  # ints beyond 64 bits, floats beyond binary32
    keeper.pack(value)
    if keeper.bytes() != packed:
        raise AssertionError("autoreset=False holds other bytes")
    want = expected(value, single_float)
    got = q.unpackb(packed, strict_map_key=False)
    if not same(got, want):
        raise AssertionError("%r packed as %r decoded to %r" % (value, packed, got))


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
