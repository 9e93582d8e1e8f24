"""A small pure-Python encoder for decoder tests: builds encodings by hand,
independently of the Packer, choosing the smallest form of each item (or a
forced wider form where a test asks for one)."""

from __future__ import annotations

import struct


def uint(v: int) -> bytes:
    if v < 0x80:
        return bytes([v])
    if v < 0x100:
        return b"\xcc" + struct.pack(">B", v)
    if v < 0x10000:
        return b"\xcd" + struct.pack(">H", v)
    if v < 0x100000000:
        return b"\xce" + struct.pack(">I", v)
    return b"\xcf" + struct.pack(">Q", v)


def sint(v: int) -> bytes:
    if v >= 0:
        return uint(v)
    if v >= -32:
        return struct.pack(">b", v)
    if v >= -128:
        return b"\xd0" + struct.pack(">b", v)
    if v >= -32768:
        return b"\xd1" + struct.pack(">h", v)
    if v >= -(2**31):
        return b"\xd2" + struct.pack(">i", v)
    return b"\xd3" + struct.pack(">q", v)


def str_header(n: int) -> bytes:
    if n < 32:
        return bytes([0xA0 | n])
    if n < 0x100:
        return b"\xd9" + bytes([n])
    if n < 0x10000:
        return b"\xda" + struct.pack(">H", n)
    return b"\xdb" + struct.pack(">I", n)


def bin_header(n: int) -> bytes:
    if n < 0x100:
        return b"\xc4" + bytes([n])
    if n < 0x10000:
        return b"\xc5" + struct.pack(">H", n)
    return b"\xc6" + struct.pack(">I", n)


def array_header(n: int) -> bytes:
    if n < 16:
        return bytes([0x90 | n])
    if n < 0x10000:
        return b"\xdc" + struct.pack(">H", n)
    return b"\xdd" + struct.pack(">I", n)


def map_header(n: int) -> bytes:
    if n < 16:
        return bytes([0x80 | n])
    if n < 0x10000:
        return b"\xde" + struct.pack(">H", n)
    return b"\xdf" + struct.pack(">I", n)


def ext(code: int, data: bytes) -> bytes:
    n = len(data)
    c = struct.pack(">b", code)
    fixed = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}
    if n in fixed:
        return bytes([fixed[n]]) + c + data
    if n < 0x100:
        return b"\xc7" + bytes([n]) + c + data
    if n < 0x10000:
        return b"\xc8" + struct.pack(">H", n) + c + data
    return b"\xc9" + struct.pack(">I", n) + c + data


def timestamp(seconds: int, nanoseconds: int = 0) -> bytes:
    if seconds >> 34 == 0:
        w = (nanoseconds << 34) | seconds
        if w >> 32 == 0:
            return b"\xd6\xff" + struct.pack(">I", w)
        return b"\xd7\xff" + struct.pack(">Q", w)
    return b"\xc7\x0c\xff" + struct.pack(">Iq", nanoseconds, seconds)


def encode(obj, *, single_float: bool = False) -> bytes:
    """Encodes None, bool, int, float, str, bytes, list/tuple and dict."""
    if obj is None:
        return b"\xc0"
    if obj is True:
        return b"\xc3"
    if obj is False:
        return b"\xc2"
    if isinstance(obj, int):
        return sint(obj)
    if isinstance(obj, float):
        if single_float:
            return b"\xca" + struct.pack(">f", obj)
        return b"\xcb" + struct.pack(">d", obj)
    if isinstance(obj, str):
        data = obj.encode("utf-8", "surrogatepass")
        return str_header(len(data)) + data
    if isinstance(obj, (bytes, bytearray)):
        return bin_header(len(obj)) + bytes(obj)
    if isinstance(obj, (list, tuple)):
        return array_header(len(obj)) + b"".join(encode(x, single_float=single_float) for x in obj)
    if isinstance(obj, dict):
        return map_header(len(obj)) + b"".join(
            encode(k, single_float=single_float) + encode(v, single_float=single_float)
            for k, v in obj.items()
        )
    raise TypeError(type(obj))
