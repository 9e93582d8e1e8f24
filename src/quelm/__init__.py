"""quelm: a fast, hardened encoder and decoder for the Quelm binary format.

The functions follow the conventions of :mod:`json` and :mod:`pickle`:

>>> import quelm
>>> quelm.packb({"a": 1})
b'\\x81\\xa1a\\x01'
>>> quelm.unpackb(b'\\x81\\xa1a\\x01')
{'a': 1}
"""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Any

from quelm._cquelm import Packer, Unpacker, default_read_extended_type, packb, unpackb
from quelm._cquelm import Decoder
from quelm._unpack_stream import unpack_exactly, unpack_peeking
from quelm._async import AsyncUnpacker
from quelm.exceptions import (
    BufferFull,
    ExtraData,
    FormatError,
    OutOfData,
    StackError,
    UnpackException,
)
from quelm.exceptions import ValidationError
from quelm._record import Name, record
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
    "record",
    "Name",
    "AsyncUnpacker",
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
    is decoded natively from what its buffer holds (and, below the buffer of
    an ``io.BufferedReader`` over a pipe on Linux or a stream socket, from
    what the pipe or socket holds), any other is read item by item. When
    decoding fails, a seekable stream is positioned back at the start of the
    value, and any other is left where the item-by-item reader would stop.
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
        return unpack_peeking(stream, peek, limit, options)
    return unpack_exactly(stream, limit, options)


dumps = packb
loads = unpackb
dump = pack
load = unpack


if not TYPE_CHECKING:

    def __getattr__(name):
        # RQ finds a serializer named on its command line (``rq worker
        # --serializer quelm.rq``) as an attribute of the package before the
        # module: load quelm.rq, which needs nothing beyond quelm, on first
        # use of the name. (Hidden from type checkers, which would otherwise
        # take every unknown name of the package for this.)
        if name == "rq":
            import quelm.rq

            return quelm.rq
        raise AttributeError(f"module 'quelm' has no attribute {name!r}")
