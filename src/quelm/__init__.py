"""quelm: a fast, hardened encoder and decoder for the Quelm binary format.

The functions follow the conventions of :mod:`json` and :mod:`pickle`:

>>> import quelm
>>> quelm.packb({"a": 1})
b'\\x81\\xa1a\\x01'
>>> quelm.unpackb(b'\\x81\\xa1a\\x01')
{'a': 1}
"""

from __future__ import annotations

from typing import IO, Any, Dict, List, Optional, cast

from quelm._cquelm import Packer, Unpacker, default_read_extended_type, packb, unpackb
from quelm._cquelm import Decoder
from quelm._wire import read_one_value
from quelm.exceptions import (
    BufferFull,
    ExtraData,
    FormatError,
    OutOfData,
    StackError,
    UnpackException,
)
from quelm.exceptions import ValidationError
from quelm.ext import ExtType, Timestamp

__version__ = "0.1.0"

__all__ = [
    "packb",
    "unpackb",
    "pack",
    "unpack",
    "dumps",
    "loads",
    "dump",
    "load",
    "Packer",
    "Unpacker",
    "default_read_extended_type",
    "ExtType",
    "Timestamp",
    "UnpackException",
    "BufferFull",
    "OutOfData",
    "FormatError",
    "StackError",
    "ExtraData",
    "Decoder",
    "ValidationError",
    "__version__",
]

# Block size in which unpack reads a seekable stream ahead.
_READ_AHEAD = 4096
# The Unpacker's max_buffer_size by default, and what 0 stands for.
_MAX_BUFFER_DEFAULT = 100 * 1024 * 1024
_MAX_BUFFER_ZERO = 2**31 - 1


def pack(obj: Any, stream: IO[bytes], **options: Any) -> None:
    """Write the Quelm encoding of *obj* to the binary file object *stream*.

    *options* are those of :func:`packb`.
    """
    stream.write(packb(obj, **options))


def unpack(stream: IO[bytes], **options: Any) -> Any:
    """Read exactly one Quelm value from the binary file object *stream*.

    The stream is left just after the value, so repeated calls read the
    values of a stream one by one. *options* are those of :class:`Unpacker`.
    Raises :class:`OutOfData` when the stream ends before a complete value
    (an empty stream included).

    A seekable stream is read ahead in blocks and then positioned back; any
    other stream (a pipe, a socket) is never read past the end of the value:
    one with a ``peek`` method (a buffered reader, such as ``sys.stdin.buffer``)
    is decoded natively from what its buffer holds, any other is read item
    by item. When decoding fails, a seekable stream is positioned back at the
    start of the value.
    """
    seekable = getattr(stream, "seekable", None)
    if seekable is not None and seekable():
        # Whatever is read past the value is read again by the next call, so
        # read ahead in small blocks unless told otherwise.
        if "read_size" not in options:
            limit = options.get("max_buffer_size") or _READ_AHEAD
            options["read_size"] = min(_READ_AHEAD, limit)
        start = stream.tell()
        unpacker = Unpacker(stream, **options)
        try:
            value = unpacker.unpack()
        except BaseException:
            # Nothing of a value that failed is consumed: a retry (once more
            # bytes arrive, say) starts at its beginning again.
            stream.seek(start)
            raise
        stream.seek(start + unpacker.tell())
        return value
    limit = options.get("max_buffer_size", _MAX_BUFFER_DEFAULT) or _MAX_BUFFER_ZERO
    peek = getattr(stream, "peek", None)
    if peek is not None:
        return _unpack_peeking(stream, peek, limit, options)
    return _unpack_exactly(stream, limit, options)


def _unpack_exactly(stream: IO[bytes], limit: int, options: Dict[str, Any]) -> Any:
    """One value from *stream* through the item reader, which reads exactly
    the value's bytes (or up to the fault that ends it) before decoding."""
    unpacker = Unpacker(None, **options)
    unpacker.feed(read_one_value(stream, limit))
    return unpacker.unpack()


class _Replay:
    """A stream that serves *taken* (bytes already read from *stream*) again
    before reading on from *stream*."""

    def __init__(self, taken: bytes, stream: IO[bytes]) -> None:
        self._taken = memoryview(taken)
        self._stream = stream

    def read(self, n: int = -1) -> bytes:
        if self._taken:
            size = len(self._taken) if n < 0 else min(n, len(self._taken))
            data = bytes(self._taken[:size])
            self._taken = self._taken[size:]
            return data
        return self._stream.read(n)


# The exceptions that say where the input itself is at fault or ends: the
# item reader gives the exact account of those (its own message, and the
# stream left at the fault).
_INPUT_FAULTS = (OutOfData, FormatError, StackError, BufferFull)


def _unpack_peeking(stream: IO[bytes], peek: Any, limit: int, options: Dict[str, Any]) -> Any:
    """One value from a buffered stream that cannot seek, decoded natively
    from the bytes its buffer holds.

    Each round looks at what the buffer holds (``peek``), lets the decoder
    resume on it, and then takes from the stream exactly the bytes the value
    used: all of them while the value goes on, the used part once it is
    complete. Nothing past the value is ever consumed. If the value cannot
    be completed this way (the stream ends, the input is at fault, it would
    exceed *limit*, a hook fails, the stream misbehaves), the bytes taken so
    far are replayed into the item reader, so the outcome and the stream's
    final position are those of :func:`_unpack_exactly`.
    """
    unpacker = Unpacker(None, **options)
    taken: List[bytes] = []
    consumed = 0
    failure: Optional[BaseException] = None
    while True:
        # Its own bytes, whatever a subclass's len() says.
        data = memoryview(peek(1))
        room = limit - consumed
        if len(data) == 0 or room <= 0:
            break
        if len(data) > room:
            data = data[:room]
        try:
            unpacker.feed(data)
            value = unpacker.unpack()
        except OutOfData:
            want = len(data)
        except _INPUT_FAULTS:
            break
        except Exception as error:  # a hook's or a limit's; decided below
            failure = error
            break
        else:
            want = unpacker.tell() - consumed
            got = stream.read(want)
            if len(got) == want:
                return value
            taken.append(got)
            break
        got = stream.read(want)
        taken.append(got)
        consumed += len(got)
        if len(got) != want:
            break
    # The item reader only calls read().
    replayed = _Replay(b"".join(taken), stream)
    replay = cast(IO[bytes], replayed)
    if failure is None:
        value = _unpack_exactly(replay, limit, options)
        left = len(replayed._taken)
        if left:
            # The stream's read() returned more than asked for: those bytes
            # are past the value and cannot be put back.
            raise UnpackException(f"the stream returned {left} byte{'s' * (left != 1)} "
                                  "more than asked for, past the end of the value")
        return value
    # The decoder failed inside a well-formed value; decoding the whole value
    # again would fail at the same point. Take the rest of the value first,
    # as the item reader does, then report the first failure.
    read_one_value(replay, limit)
    raise failure


dumps = packb
loads = unpackb
dump = pack
load = unpack
