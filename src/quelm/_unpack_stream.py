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
from typing import IO, Any, Callable, Dict, Optional, Tuple, Type, Union, cast

from quelm import _cquelm
from quelm._cquelm import Unpacker
from quelm._wire import read_one_value
from quelm.exceptions import BufferFull, FormatError, OutOfData, StackError, UnpackException

__all__ = ["unpack_exactly", "unpack_peeking"]

# How much a look into a pipe asks for where the pipes' sizes are unknown:
# a pipe holds 64 KiB unless its owner made it larger.
_PIPE_LOOK_SIZE = 64 * 1024
# A socket's look asks for at most this much of what it has received.
_SOCKET_LOOK_SIZE = 256 * 1024
# fcntl's names for them arrived in Python 3.10; the values are Linux's.
_F_SETPIPE_SZ = 1031
_F_GETPIPE_SZ = 1032


class _Taken:
    """The bytes taken from the stream so far, kept for a replay should the
    value fail. They live in one buffer that the thread keeps for its next
    value (up to _KEEP_AT_MOST bytes), since a megabyte-sized value kept in
    fresh memory on every call costs a page fault per 4 KiB, more than the
    copy. A look below a buffered reader writes straight into the room past
    the bytes taken (:meth:`room`), and taking those bytes then only counts
    them (:meth:`commit`).

    The buffer is never resized in place: a look's view of it may still be
    alive, so growing copies into a new one."""

    _KEEP_AT_MOST = 8 << 20
    _kept = threading.local()

    def __init__(self) -> None:
        buffer = getattr(self._kept, "buffer", None)
        self._kept.buffer = None
        self._buffer = buffer if buffer is not None else bytearray()
        self._length = 0

    def room(self, n: int) -> memoryview:
        """A view of *n* bytes just past those taken."""
        end = self._length + n
        if end > len(self._buffer):
            grown = bytearray(max(end, 2 * len(self._buffer)))
            grown[:self._length] = memoryview(self._buffer)[:self._length]
            self._buffer = grown
        return memoryview(self._buffer)[self._length:end]

    def commit(self, n: int) -> None:
        """Counts *n* bytes written into the room as taken."""
        self._length += n

    def add(self, data: Union[bytes, memoryview]) -> None:
        self.room(len(data))[:] = data
        self._length += len(data)

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

    def look(self, taken: _Taken) -> memoryview:
        """The bytes the stream shows next, without taking them."""
        # Its own bytes, whatever a subclass's len() says.
        return memoryview(self._peek(1))

    def take(self, n: int, taken: _Taken, keep: bool = True) -> int:
        """Takes *n* bytes from the stream and returns how many it gave;
        they go into *taken* unless all came and *keep* is false (the
        value is complete)."""
        data = self._stream.read(n)
        if data is None:  # nothing to take just now
            return 0
        view = memoryview(data).cast("B")  # its own bytes, whatever len() says
        if keep or len(view) != n:
            taken.add(view)
        return len(view)

    def close(self) -> None:
        pass


class _BelowBuffer(_Buffered):
    """An ``io.BufferedReader`` over a pipe or a stream socket.

    Its ``peek`` shows no more than its buffer, a few KiB, and each round of
    looking, decoding and reading so little costs a system call and, on a
    pipe, a wake-up of the writer. Once the value has used the whole buffer,
    this looks at the bytes the pipe or socket itself holds (without taking
    them: ``tee`` into a private pipe, or ``MSG_PEEK``), straight into the
    room past the bytes taken, and takes exactly the value's share from the
    raw stream (whose position is the buffered reader's while its buffer is
    empty) into the same place: it holds the same bytes after.
    """

    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any) -> None:
        super().__init__(stream, peek)
        self._raw = raw
        # Bytes the last look showed of the buffer; -1 once it is empty.
        self._looked = 0

    def look(self, taken: _Taken) -> memoryview:
        if self._looked >= 0:
            data = super().look(taken)
            self._looked = len(data)
            return data
        return self._below(taken)

    def _below(self, taken: _Taken) -> memoryview:
        raise NotImplementedError

    def take(self, n: int, taken: _Taken, keep: bool = True) -> int:
        if self._looked >= 0:
            got = super().take(n, taken, keep)
            if n == self._looked:
                self._looked = -1  # all the buffer held: it is empty now
            return got
        room = taken.room(n)
        got = 0
        while got < n:
            part = self._raw.readinto(room[got:])
            if not part:
                break
            got += part
        taken.commit(got)
        return got


class _PipeBelow(_BelowBuffer):
    """Looks into the pipe with ``tee``, then hands what one look showed to
    the decoder half a pipe at a time. Taking the first half frees room
    that the writer fills while the second half is decoded; a whole pipe at
    a time, the writer would wait for every decode and the reader for every
    write."""

    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any,
                 fd: int) -> None:
        super().__init__(stream, peek, raw)
        self._fd = fd
        self._private: Optional[Tuple[int, int]] = None
        self._look_size = 0
        # What the last look showed and is not taken yet.
        self._shown = memoryview(b"")

    def _below(self, taken: _Taken) -> memoryview:
        if not self._shown:
            if self._private is None:
                try:
                    self._private = os.pipe()
                except OSError:
                    # No descriptor to spare: the buffered reader's own peek
                    # shows the rest, a buffer at a time, and nothing is lost.
                    self._looked = 0
                    return self.look(taken)
                # One look shows all that the pipe holds, when it is full.
                self._look_size = _match_capacity(self._private[1], self._fd)
            read_end, write_end = self._private
            room = taken.room(self._look_size)
            self._shown = room[:_cquelm._peek_pipe(self._fd, read_end, write_end, room)]
        return self._shown[:self._look_size // 2]

    def take(self, n: int, taken: _Taken, keep: bool = True) -> int:
        got = super().take(n, taken, keep)
        # Taken from below: the same bytes that were shown, in the same place.
        if self._looked < 0 and self._shown:
            self._shown = self._shown[got:]
        return got

    def close(self) -> None:
        if self._private is not None:
            for end in self._private:
                os.close(end)
            self._private = None


class _SocketBelow(_BelowBuffer):
    def __init__(self, stream: IO[bytes], peek: Callable[[int], bytes], raw: Any,
                 sock: Any, flags: int, timeout: Type[BaseException]) -> None:
        super().__init__(stream, peek, raw)
        self._sock = sock
        self._flags = flags
        self._timeout = timeout

    def _below(self, taken: _Taken) -> memoryview:
        room = taken.room(_SOCKET_LOOK_SIZE)
        try:
            return room[:self._sock.recv_into(room, 0, self._flags)]
        except self._timeout:
            # The value's first bytes (the buffer's share at least) are
            # taken; its rest must never be read as values of their own. The
            # socket's file refuses every later read after a timeout of its
            # own: so it does after this one.
            self._raw._timeout_occurred = True
            raise


def _match_capacity(private: int, source: int) -> int:
    """Lets *private* take all that *source* can hold, so that one look sees
    it all (best effort: a user's pipe allowance may refuse); returns how
    much one look may show."""
    import fcntl

    try:
        size: int = fcntl.fcntl(source, _F_GETPIPE_SZ)
        held: int = fcntl.fcntl(private, _F_GETPIPE_SZ)
        if size > held:
            fcntl.fcntl(private, _F_SETPIPE_SZ, size)
            held = size
        return max(held, 4096)
    except OSError:
        return _PIPE_LOOK_SIZE


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
        data = source.look(taken)
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
            if source.take(want, taken, keep=False) == want:
                taken.done()
                return value
            break
        got = source.take(want, taken)
        consumed += got
        if got != want or at_limit:
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
