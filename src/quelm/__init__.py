"""quelm: a fast, hardened encoder and decoder for the Quelm binary format.

The functions follow the conventions of :mod:`json` and :mod:`pickle`:

>>> import quelm
>>> quelm.packb({"a": 1})
b'\\x81\\xa1a\\x01'
>>> quelm.unpackb(b'\\x81\\xa1a\\x01')
{'a': 1}
"""

from __future__ import annotations

from typing import IO, Any, Dict, List

from quelm._cquelm import Packer, Unpacker, default_read_extended_type, unpackb
from quelm._wire import read_one_value
from quelm.exceptions import (
    BufferFull,
    ExtraData,
    FormatError,
    OutOfData,
    StackError,
    UnpackException,
)
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
    "__version__",
]

# A Packer allocates its whole buffer up front (256 KiB by default), which
# would dominate the cost of packing a small value. packb therefore reuses
# idle default-option Packers, started with a small buffer that grows as
# needed, kept in this list (at most _IDLE_MAX of them). list.pop and
# list.append are atomic, so a Packer is never shared by two threads, and a
# call that finds the list empty (another thread, or a default hook or an
# items() calling packb while the outer call holds the Packer) makes another.
_idle_packers: List[Packer] = []
_take_idle = _idle_packers.pop
_put_idle = _idle_packers.append
_IDLE_MAX = 4
_SMALL_BUFFER = 256
# A Packer's buffer never shrinks: one that packed a large value is dropped
# rather than kept, so a single big packb does not pin that memory forever.
_KEEP_LIMIT = 1 << 20
# Block size in which unpack reads a seekable stream ahead.
_READ_AHEAD = 4096
# The Unpacker's max_buffer_size by default, and what 0 stands for.
_MAX_BUFFER_DEFAULT = 100 * 1024 * 1024
_MAX_BUFFER_ZERO = 2**31 - 1


def packb(obj: Any, **options: Any) -> bytes:
    """Return the Quelm encoding of *obj* as bytes.

    *options* are those of :class:`Packer` (``default``, ``use_single_float``,
    ``use_bin_type``, ``strict_types``, ``datetime``, ``unicode_errors``).
    Safe to call from a ``default`` hook and from several threads.
    """
    if options:
        return _packb_with(obj, options)
    try:
        packer = _take_idle()
    except IndexError:
        return _packb_spare(obj)
    # autoreset is on, so pack returns bytes. If it raises, this Packer is
    # simply not put back; the next call makes another.
    packed: bytes = packer.pack(obj)  # type: ignore[assignment]
    if len(packed) <= _KEEP_LIMIT:
        _put_idle(packer)
    return packed


def _packb_spare(obj: Any) -> bytes:
    packer = Packer(buf_size=_SMALL_BUFFER)
    packed: bytes = packer.pack(obj)  # type: ignore[assignment]
    if len(packed) <= _KEEP_LIMIT and len(_idle_packers) < _IDLE_MAX:
        _put_idle(packer)
    return packed


def _packb_with(obj: Any, options: Dict[str, Any]) -> bytes:
    options.setdefault("buf_size", _SMALL_BUFFER)
    packer = Packer(**options)
    packed = packer.pack(obj)
    # With autoreset=False the encoding stays in the buffer.
    return packer.bytes() if packed is None else packed


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
    other stream (a pipe, a socket) is read item by item, never past the end
    of the value.
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
            return unpacker.unpack()
        finally:
            stream.seek(start + unpacker.tell())
    unpacker = Unpacker(None, **options)
    limit = options.get("max_buffer_size", _MAX_BUFFER_DEFAULT) or _MAX_BUFFER_ZERO
    unpacker.feed(read_one_value(stream, limit))
    return unpacker.unpack()


dumps = packb
loads = unpackb
dump = pack
load = unpack
