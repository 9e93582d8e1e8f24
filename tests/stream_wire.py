"""A small, independent encoder used as the oracle of the streaming tests.

It writes the canonical (shortest) encoding of None, bool, int, float, str,
bytes, list/tuple and dict, so that the Unpacker's results can be checked
against values the tests chose, without depending on the Packer.
"""

from __future__ import annotations

import struct


def _header(n: int, short_base: int | None, short_max: int, codes: tuple[int, ...]) -> bytes:
    if short_base is not None and n <= short_max:
        return bytes([short_base | n])
    for code, fmt in zip(codes, (">B", ">H", ">I")):
        if code is not None and n < 1 << (8 * struct.calcsize(fmt)):
            return bytes([code]) + struct.pack(fmt, n)
    raise ValueError("too long")


def encode(value: object) -> bytes:
    if value is None:
        return b"\xc0"
    if value is True:
        return b"\xc3"
    if value is False:
        return b"\xc2"
    if isinstance(value, int):
        if 0 <= value < 0x80:
            return bytes([value])
        if -32 <= value < 0:
            return struct.pack(">b", value)
        if value >= 0:
            for code, fmt in ((0xCC, ">B"), (0xCD, ">H"), (0xCE, ">I"), (0xCF, ">Q")):
                if value < 1 << (8 * struct.calcsize(fmt)):
                    return bytes([code]) + struct.pack(fmt, value)
        for code, fmt in ((0xD0, ">b"), (0xD1, ">h"), (0xD2, ">i"), (0xD3, ">q")):
            bits = 8 * struct.calcsize(fmt)
            if -(1 << (bits - 1)) <= value:
                return bytes([code]) + struct.pack(fmt, value)
        raise OverflowError(value)
    if isinstance(value, float):
        return b"\xcb" + struct.pack(">d", value)
    if isinstance(value, str):
        data = value.encode("utf-8")
        return _header(len(data), 0xA0, 31, (0xD9, 0xDA, 0xDB)) + data
    if isinstance(value, bytes):
        return _header(len(value), None, -1, (0xC4, 0xC5, 0xC6)) + value
    if isinstance(value, (list, tuple)):
        return _header(len(value), 0x90, 15, (None, 0xDC, 0xDD)) + b"".join(
            encode(v) for v in value
        )
    if isinstance(value, dict):
        return _header(len(value), 0x80, 15, (None, 0xDE, 0xDF)) + b"".join(
            encode(k) + encode(v) for k, v in value.items()
        )
    raise TypeError(type(value))
