#!/usr/bin/env python3
"""The stream reader against a hostile source: an Unpacker reads the input
through a read() that returns pieces of random sizes (more than asked, too),
of random types (bytes, a bytes subclass that lies about its length and
truth, and bytearray or memoryview, which are refused), and raises at random
points. Whatever the pieces, it must give the same values and failures, at
the same offsets, as an Unpacker fed the whole input at once, and each
value must be what unpackb makes of its own bytes.

Input: one byte of options, three bytes seeding the source's choices, then
the stream."""

import random
import sys

import atheris

with atheris.instrument_imports():
    from _common import q, same, shape


class SourceError(Exception):
    pass


class Liar(bytes):
    """Claims a length and a truth value its bytes do not have."""

    def __len__(self):
        return 10**9 if not bytes(self) else 0

    def __bool__(self):
        return not bytes(self)


class Source:
    def __init__(self, data, rng):
        self.data = data
        self.at = 0
        self.rng = rng
        self.refused = False  # the last result was of a type read() may not return
        self.plain = False    # exact bytes only (read_bytes takes them as they come)

    def read(self, n):
        rng = self.rng
        if self.plain:
            piece = self.data[self.at:self.at + n]
            self.at += len(piece)
            return piece
        roll = rng.randrange(16)
        if roll == 0:
            raise SourceError
        size = rng.choice((1, 2, 3, n, n, n + rng.randrange(1, 40)))
        piece = self.data[self.at:self.at + size]
        if roll == 1 and piece:
            # Refused and not taken: offered again by the next call.
            self.refused = True
            return bytearray(piece) if rng.randrange(2) else memoryview(piece)
        self.at += len(piece)
        if roll == 2:
            return Liar(piece)
        if not piece and roll == 3:
            return None
        return piece


# What a decoding failure may be: the decoder's documented errors, and the
# hook's own exception.
class HookError(Exception):
    pass


def ext_hook(code, data):
    if code == 7:
        raise HookError
    return (code, bytes(data))


EXPECTED = (ValueError, TypeError, OverflowError, LookupError, HookError)


def outcomes(unpacker, source=None):
    """The values and failures of a stream; each value with its offsets.
    (Where a failure ends depends on the pieces: the rest of a failed value
    is skipped as far as the bytes at hand go, and the rest by the next
    call. Where a value ends does not.)
    Errors whose value has no known end (an invalid byte, nesting too deep)
    repeat until read_bytes steps over a byte, as a caller would."""
    seen = []
    for _ in range(100000):
        try:
            start = unpacker.tell()
            value = unpacker.unpack()
            seen.append(("value", value, start, unpacker.tell()))
            continue
        except q.OutOfData:
            return seen
        except SourceError:
            continue
        except TypeError as error:
            if source is not None and source.refused:
                source.refused = False
                continue
            seen.append(("error", repr(error), start, start))
        except (q.FormatError, q.StackError) as error:
            seen.append(("error", repr(error), start, start))
            if source is not None:
                source.plain = True
            unpacker.read_bytes(1)
            if source is not None:
                source.plain = False
        except EXPECTED as error:
            seen.append(("error", repr(error), start, start))
    raise AssertionError("the stream makes no progress")


def TestOneInput(data):
    if len(data) < 4:
        return
    opts = {
        "use_list": bool(data[0] & 1),
        "raw": bool(data[0] & 2),
        "strict_map_key": bool(data[0] & 4),
        "ext_hook": ext_hook if data[0] & 8 else q.ExtType,
        "read_size": 1 + (data[0] >> 4),
    }
    payload = data[4:]
    rng = random.Random(int.from_bytes(data[1:4], "big"))

    fed = q.Unpacker(**{k: v for k, v in opts.items() if k != "read_size"})
    fed.feed(payload)
    want = outcomes(fed)
    for kind, value, start, end in want:
        if kind != "value":
            continue
        shape(value)
        single = q.unpackb(payload[start:end], **{k: v for k, v in opts.items()
                                                  if k != "read_size"})
        if not same(single, value):
            raise AssertionError("%r from the stream, %r from unpackb" % (value, single))

    source = Source(payload, rng)
    got = outcomes(q.Unpacker(source, **opts), source)
    if len(got) != len(want) or not all(
            g[0] == w[0] and (same(g[1], w[1]) and g[3] == w[3] if g[0] == "value"
                              else g[1] == w[1])
            for g, w in zip(got, want)):
        raise AssertionError("read in pieces: %r\nfed whole: %r" % (got, want))


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
