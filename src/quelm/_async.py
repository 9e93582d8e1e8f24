"""Decoding the values of an asyncio stream as its bytes arrive.

:class:`AsyncUnpacker` is an :class:`~quelm.Unpacker` fed by hand from an
object with ``async def read(n)``. The native decoder keeps a value that
is cut off by the bytes at hand and resumes it on the next feed, so the
only point where a call waits, and so where it can be cancelled, is the
read: bytes once read are always fed before anything else can happen.
"""

from __future__ import annotations

import operator
from typing import Any, Awaitable, Callable, Optional, Protocol, TypeVar

from quelm._cquelm import Unpacker
from quelm.exceptions import BufferFull, OutOfData

__all__ = ["AsyncUnpacker", "AsyncReadable"]

# The Unpacker's max_buffer_size by default, what 0 stands for, and the
# most it reads at once unless told.
_MAX_BUFFER_DEFAULT = 100 * 1024 * 1024
_MAX_BUFFER_ZERO = 2**31 - 1
_READ_SIZE_DEFAULT = 1024 * 1024

_T = TypeVar("_T")


class AsyncReadable(Protocol):
    """What :class:`AsyncUnpacker` reads from: an :class:`asyncio.StreamReader`,
    or anything whose ``read(n)`` is awaited for at most *n* bytes, with
    empty bytes (or None) at the end of the stream."""

    def read(self, n: int, /) -> Awaitable[bytes]: ...


class AsyncUnpacker:
    """AsyncUnpacker(reader, **options)

    Decodes the Quelm values read from *reader* (an
    :class:`asyncio.StreamReader`, or any object with ``async def read(n)``):
    ``async for value in AsyncUnpacker(reader)`` yields them until the
    stream ends, ``await unpacker.unpack()`` returns the next one.

    *options* are those of :class:`~quelm.Unpacker` (but ``file_like``),
    with the same meaning, limits and exceptions. *reader* is asked for at
    most ``read_size`` bytes at a time (0: ``min(max_buffer_size, 1 MiB)``),
    and never for more than ``max_buffer_size`` leaves room for: a value
    that does not fit raises :class:`~quelm.BufferFull`. Bytes that a reader
    returns beyond what it was asked for are kept, and fed as room frees up.

    When the stream ends between two values, iterating stops and
    :meth:`unpack` raises ``OutOfData("No more data to unpack.")``; when it
    ends inside a value, both raise :class:`~quelm.OutOfData` saying how
    many bytes of that value are left over.

    A call cancelled while it waits for the stream (a task's ``cancel()``,
    :func:`asyncio.wait_for`) loses nothing and returns nothing of the value
    in progress: the bytes read so far stay in the AsyncUnpacker, and the
    next call of the same method resumes that value where it stopped (a
    call of another method raises ValueError, as the Unpacker does for a
    value left incomplete). This holds for readers whose ``read`` is itself
    safe to cancel, as :class:`asyncio.StreamReader`'s is. One call runs at
    a time: a second one started while the first waits raises RuntimeError.
    """

    def __init__(self, reader: AsyncReadable, **options: Any) -> None:
        read = getattr(reader, "read", None)
        if not callable(read):
            raise TypeError("`reader.read` must be a callable.")
        # Checks and converts every option, with the Unpacker's messages.
        self._unpacker = Unpacker(None, **options)
        limit = operator.index(options.get("max_buffer_size", _MAX_BUFFER_DEFAULT))
        self._limit = limit or _MAX_BUFFER_ZERO
        read_size = operator.index(options.get("read_size", 0))
        self._read_size = read_size or min(self._limit, _READ_SIZE_DEFAULT)
        self._read: Callable[[int], Awaitable[Any]] = read
        # Bytes fed to the Unpacker; those it has not consumed are
        # ``_received - tell()``.
        self._received = 0
        # tell() where the last value ended (or failed): what the stream
        # sent since then is left over if it ends inside the next value.
        self._start = 0
        # Bytes read past what there was room for, fed first as room frees.
        self._surplus: Optional[memoryview] = None
        self._busy = False

    def __aiter__(self) -> AsyncUnpacker:
        return self

    def __anext__(self) -> Awaitable[Any]:
        """The next value; StopAsyncIteration once the stream has ended
        between two values."""
        return self._run(self._unpacker.unpack, True)

    async def unpack(self) -> Any:
        """Unpack one object.

        Raises :class:`~quelm.OutOfData` when the stream ends first.
        """
        return await self._run(self._unpacker.unpack, False)

    async def skip(self) -> None:
        """Read and ignore one object, returning None.

        Raises :class:`~quelm.OutOfData` when the stream ends first.
        """
        await self._run(self._unpacker.skip, False)

    async def read_array_header(self) -> int:
        """Assuming the next object is an array, return its size n, such
        that the next n unpack() calls will iterate over its contents.

        Raises :class:`~quelm.OutOfData` when the stream ends first.
        """
        return await self._run(self._unpacker.read_array_header, False)

    async def read_map_header(self) -> int:
        """Assuming the next object is a map, return its size n, such that
        the next n * 2 unpack() calls will iterate over its key-value pairs.

        Raises :class:`~quelm.OutOfData` when the stream ends first.
        """
        return await self._run(self._unpacker.read_map_header, False)

    def tell(self) -> int:
        """The number of bytes of the stream consumed so far: the position
        of the next value once the last call has completed one."""
        return self._unpacker.tell()

    async def _run(self, routine: Callable[[], _T], iterating: bool) -> _T:
        """Runs *routine* of the Unpacker, feeding it until it completes or
        fails; StopAsyncIteration when *iterating* and the stream ends
        between two values."""
        if self._busy:
            raise RuntimeError("AsyncUnpacker cannot be called while another call "
                               "on it is in progress")
        self._busy = True
        try:
            while True:
                try:
                    result = routine()
                except BaseException as error:
                    if not _wants_bytes(error):
                        self._start = self._unpacker.tell()
                        raise
                else:
                    self._start = self._unpacker.tell()
                    return result
                if not await self._refill():
                    raise self._end(iterating)
        finally:
            self._busy = False

    async def _refill(self) -> bool:
        """Feeds the Unpacker as many bytes as there is room for, from the
        surplus or else from one read. False at the end of the stream."""
        room = self._limit - (self._received - self._unpacker.tell())
        if room <= 0:
            raise BufferFull()
        data = self._surplus
        if data is None:
            got = await self._read(min(self._read_size, room))
            if got is None:
                return False
            data = memoryview(got).cast("B")
            if not data:
                return False
        if len(data) > room:
            data, self._surplus = data[:room], data[room:]
        else:
            self._surplus = None
        self._unpacker.feed(data)
        self._received += len(data)
        return True

    def _end(self, iterating: bool) -> Exception:
        """The exception for the end of the stream at this point."""
        try:
            # Refused exactly while a value (or the rest of a failed one)
            # is in progress.
            self._unpacker.read_bytes(0)
        except ValueError:
            left = self._received - self._start
            return OutOfData("No more data to unpack: the input ended inside a value, "
                             f"{left} bytes left over.")
        if iterating:
            return StopAsyncIteration()
        return OutOfData("No more data to unpack.")


def _wants_bytes(error: BaseException) -> bool:
    """Whether *error* is the Unpacker's own report that the bytes at hand
    end before the value does: raised by the native call itself, so with no
    frame below its caller's. An OutOfData raised by a hook comes through
    the hook's frame, and ends its value like any other failure."""
    trace = error.__traceback__
    return isinstance(error, OutOfData) and trace is not None and trace.tb_next is None
