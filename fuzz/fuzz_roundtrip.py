#!/usr/bin/env python3
"""Round trip: whatever unpackb accepts, the Packer must re-encode so that it
decodes to the same value, and re-encoding that value must give the same
bytes again."""

import sys

import atheris

with atheris.instrument_imports():
    from _common import q, same, shape

EXPECTED = (ValueError, TypeError, OverflowError)


def TestOneInput(data):
    if not data:
        return
    use_list = bool(data[0] & 1)
    payload = data[1:]
    try:
        first = q.unpackb(payload, use_list=use_list, strict_map_key=False)
    except EXPECTED:
        return
    shape(first)
    packed = q.Packer().pack(first)
    second = q.unpackb(packed, use_list=use_list, strict_map_key=False)
    if not same(first, second):
        raise AssertionError("round trip changed %r into %r" % (first, second))
    again = q.Packer().pack(second)
    if again != packed:
        raise AssertionError("re-encoding is not stable: %r then %r" % (packed, again))


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
