"""One value from a stream that cannot seek, never reading past its end.

:func:`quelm.unpack` comes here for pipes, sockets and other streams that
cannot be positioned back: a byte read past the value would be lost to the
next reader. A stream with ``peek`` (a buffered reader) is decoded natively
from what it shows; any other is read item by item (:func:`unpack_exactly`).
"""

from __future__ import annotations

import io
import os
import stat
import sys
import threading
from typing import IO, Any, Callable, Dict, Optional, Tuple, Union, cast

from quelm import _cquelm
from quelm._cquelm import Unpacker
from quelm._wire import read_one_value
from quelm.exceptions import BufferFull, FormatError, OutOfData, StackError, UnpackException

__all__ = ["unpack_exactly", "unpack_peeking"]

# How much one look into a pipe asks for: it gives what it holds (64 KiB
# unless its owner made it larger), in a bytes object of that size.
_LOOK_SIZE = 1024 * 1024
# A socket's look reads what it has received into one buffer of this size.
_SOCKET_LOOK_SIZE = 256 * 1024
# fcntl's names for them arrived in Python 3.10; the values are Linux's.
_F_SETPIPE_SZ = 1031
_F_GETPIPE_SZ = 1032


class _Taken:
    """The bytes taken from the stream so far, kept for a replay should the
    value fail. They are copied into one buffer that the thread keeps for
    its next value (up to _KEEP_AT_MOST bytes), since a megabyte-sized value
    kept in fresh memory on every call costs a page fault per 4 KiB, more
    than the copy."""

    _KEEP_AT_MOST = 8 << 20
    _kept = threading.local()

    def __init__(self) -> None:
        buffer = getattr(self._kept, "buffer", None)
        self._kept.buffer = None
        self._buffer = buffer if buffer is not None else bytearray()
        self._length = 0

    def add(self, data: bytes) -> None:
        start, end = self._length, self._length + len(data)
        if end <= len(self._buffer):
            self._buffer[start:end] = data  # the same size: no reallocation
        else:
            del self._buffer[start:]
            self._buffer += data
        self._length = end

    def release(self) -> bytes:
        """The bytes taken; the buffer goes back to the thread."""
        data = bytes(memoryview(self._buffer)[:self._length])
        self.done()
        return data

    def done(self) -> None:
        if len(self._buffer) <= self._KEEP_AT_MOST:
            self._kept.buffer = self._buffer


def unpack_exactly(stream: IO[bytes], limit: int, options: Dict[str, Any]) -> Any:
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


class _Buffered:
    """Looks at a stream through its ``peek`` and takes through ``read``."""

    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes]) -> None:
        self._stream = stream
        self._peek = peek

    def look(self) -> memoryview:
        """The bytes the stream shows next, without taking them."""
        # Its own bytes, whatever a subclass's len() says.
        return memoryview(self._peek(1))

    def take(self, n: int) -> bytes:
        return self._stream.read(n)

    def close(self) -> None:
        pass


class _BelowBuffer(_Buffered):
    """An ``io.BufferedReader`` over a pipe or a stream socket.

    Its ``peek`` shows no more than its buffer, a few KiB, and each round of
    looking, decoding and reading so little costs a system call and, on a
    pipe, a wake-up of the writer. Once the value has used the whole buffer,
    this looks at the bytes the pipe or socket itself holds (without taking
    them: ``tee`` into a private pipe, or ``MSG_PEEK``) and takes exactly the
    value's share from the raw stream, whose position is the buffered
    reader's while its buffer is empty.
    """

    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any) -> None:
        super().__init__(stream, peek)
        self._raw = raw
        # Bytes the last look showed of the buffer; -1 once it is empty.
        self._looked = 0

    def look(self) -> memoryview:
        if self._looked >= 0:
            data = super().look()
            self._looked = len(data)
            return data
        return memoryview(self._below())

    def _below(self) -> Union[bytes, memoryview]:
        raise NotImplementedError

    def take(self, n: int) -> bytes:
        if self._looked >= 0:
            data = self._stream.read(n)
            if n == self._looked:
                self._looked = -1  # all the buffer held: it is empty now
            return data
        parts = []
        while n > 0:
            part = self._raw.read(n)
            if not part:
                break
            parts.append(part)
            n -= len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)


class _PipeBelow(_BelowBuffer):
    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any,
                 fd: int) -> None:
        super().__init__(stream, peek, raw)
        self._fd = fd
        self._private: Optional[Tuple[int, int]] = None

    def _below(self) -> Union[bytes, memoryview]:
        if self._private is None:
            try:
                self._private = os.pipe()
            except OSError:
                # No descriptor to spare: the buffered reader's own peek
                # shows the rest, a buffer at a time, and nothing is lost.
                self._looked = 0
                return self.look()
            _match_capacity(self._private[1], self._fd)
        read_end, write_end = self._private
        return _cquelm._peek_pipe(self._fd, read_end, write_end, _LOOK_SIZE)

    def close(self) -> None:
        if self._private is not None:
            for end in self._private:
                os.close(end)
            self._private = None


class _SocketBelow(_BelowBuffer):
    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any,
                 sock: Any, flags: int, timeout: type) -> None:
        super().__init__(stream, peek, raw)
        self._sock = sock
        self._flags = flags
        self._timeout = timeout
        # One buffer for every look: what a look shows is copied into the
        # decoder before the next look overwrites it.
        self._space = memoryview(bytearray(_SOCKET_LOOK_SIZE))

    def _below(self) -> memoryview:
        try:
            return self._space[:self._sock.recv_into(self._space, 0, self._flags)]
        except self._timeout:
            # The value's first bytes (the buffer's share at least) are
            # taken; its rest must never be read as values of their own. The
            # socket's file refuses every later read after a timeout of its
            # own: so it does after this one.
            self._raw._timeout_occurred = True
            raise


def _match_capacity(private: int, source: int) -> None:
    """Lets *private* take all that *source* can hold, so that one look sees
    it all (best effort: a user's pipe allowance may refuse)."""
    import fcntl

    try:
        size = fcntl.fcntl(source, _F_GETPIPE_SZ)
        if size > fcntl.fcntl(private, _F_GETPIPE_SZ):
            fcntl.fcntl(private, _F_SETPIPE_SZ, size)
    except OSError:
        pass


def _source(stream: IO[bytes], peek: Callable[[int], bytes]) -> _Buffered:
    """The way to look at *stream*: below the buffer of a standard buffered
    reader over a blocking pipe (where the platform can tee) or a stream
    socket, else through its own ``peek``."""
    # Exact types only: a subclass may buffer or count in ways of its own.
    if type(stream) is not io.BufferedReader:
        return _Buffered(stream, peek)
    raw = stream.raw
    if type(raw) is io.FileIO and hasattr(_cquelm, "_peek_pipe"):
        try:
            fd = raw.fileno()
            if stat.S_ISFIFO(os.fstat(fd).st_mode) and os.get_blocking(fd):
                return _PipeBelow(stream, peek, raw, fd)
        except (OSError, ValueError):
            pass
        return _Buffered(stream, peek)
    socket = sys.modules.get("socket")
    if socket is not None and type(raw) is socket.SocketIO:
        sock: Any = getattr(raw, "_sock", None)
        # With a timeout, only where the file can be made to refuse later
        # reads as after a timeout of its own (see _SocketBelow._below).
        timeout = sock.gettimeout() if type(sock) is socket.socket else 0.0
        if (timeout != 0.0 and sock.type == socket.SOCK_STREAM
                and (timeout is None or hasattr(raw, "_timeout_occurred"))):
            return _SocketBelow(stream, peek, raw, sock, socket.MSG_PEEK, socket.timeout)
    return _Buffered(stream, peek)


# The exceptions that say where the input itself is at fault or ends: the
# item reader gives the exact account of those (its own message, and the
# stream left at the fault).
_INPUT_FAULTS = (OutOfData, FormatError, StackError, BufferFull)


def unpack_peeking(stream: IO[bytes], peek: Any, limit: int, options: Dict[str, Any]) -> Any:
    """One value from a buffered stream that cannot seek, decoded natively
    from the bytes it shows.

    Each round looks at what the stream holds, lets the decoder resume on
    it, and then takes from the stream exactly the bytes the value used: all
    of them while the value goes on, the used part once it is complete.
    Nothing past the value is ever consumed. If the value cannot be
    completed this way (the stream ends, the input is at fault, it would
    exceed *limit*, a hook fails, the stream misbehaves), the bytes taken so
    far are replayed into the item reader, so the outcome and the stream's
    final position are those of :func:`unpack_exactly`.
    """
    source = _source(stream, peek)
    try:
        return _unpack_looking(stream, source, limit, options)
    finally:
        source.close()


def _unpack_looking(stream: IO[bytes], source: _Buffered, limit: int,
                    options: Dict[str, Any]) -> Any:
    unpacker = Unpacker(None, **options)
    taken = _Taken()
    consumed = 0
    failure: Optional[BaseException] = None
    while True:
        room = limit - consumed
        if room <= 0:
            break
        data = source.look()
        if len(data) == 0:
            break
        at_limit = len(data) >= room
        if at_limit:
            data = data[:room]
        try:
            unpacker.feed(data)
            value = unpacker.unpack()
        except OutOfData:
            want = len(data)
            if at_limit or consumed + want + unpacker._bytes_needed() > limit:
                # The value will not fit: the item reader stops before the
                # piece that crosses the limit, so take only the pieces the
                # decoder has finished, and let it tell the rest.
                want = unpacker.tell() - consumed
                at_limit = True
        except _INPUT_FAULTS:
            break
        except Exception as error:  # a hook's or a limit's; decided below
            failure = error
            break
        else:
            want = unpacker.tell() - consumed
            got = source.take(want)
            if len(got) == want:
                taken.done()
                return value
            taken.add(got)
            break
        got = source.take(want)
        taken.add(got)
        consumed += len(got)
        if len(got) != want or at_limit:
            break
    # The item reader only calls read().
    replayed = _Replay(taken.release(), stream)
    replay = cast(IO[bytes], replayed)
    if failure is None:
        value = unpack_exactly(replay, limit, options)
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
