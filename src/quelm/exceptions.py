"""Exceptions raised by quelm.

Every error about the bytes being decoded derives from :class:`ValueError`,
so ``except ValueError`` covers invalid, incomplete and surplus input alike.
"""

from __future__ import annotations

from typing import Any, Optional

__all__ = [
    "UnpackException",
    "BufferFull",
    "OutOfData",
    "FormatError",
    "StackError",
    "ExtraData",
    "ValidationError",
]


class UnpackException(Exception):
    """Base class of every exception raised while decoding.

    The decoder raises some of these as bare classes, without a message;
    such an instance still prints the sentence in ``default_message``.
    """

    default_message = "unpacking failed"

    def __str__(self) -> str:
        if not self.args:
            return self.default_message
        return super().__str__()


class BufferFull(UnpackException):
    """The Unpacker's input buffer would grow beyond ``max_buffer_size``."""

    default_message = "the input buffer is full (max_buffer_size reached)"


class OutOfData(UnpackException, ValueError):
    """The input ended before the value being read was complete.

    An :class:`~quelm.Unpacker` keeps the partial value: feed it more bytes
    and call the same method again to resume.
    """

    default_message = "No more data to unpack."


class FormatError(UnpackException, ValueError):
    """The input is not valid Quelm (a byte that starts no value)."""

    default_message = "invalid input: a byte that starts no Quelm value"


class StackError(UnpackException, ValueError):
    """The input nests containers deeper than the decoder allows (1024)."""

    default_message = "containers nested too deeply (more than 1024 levels)"


class ExtraData(UnpackException, ValueError):
    """A complete value was decoded, but bytes were left after it.

    ``unpacked`` holds the decoded value and ``extra`` the bytes after it.
    """

    unpacked: Any
    extra: bytes

    def __init__(self, unpacked: Any, extra: bytes) -> None:
        super().__init__(unpacked, extra)
        self.unpacked = unpacked
        self.extra = extra

    def __str__(self) -> str:
        shown = self.extra[:16].hex(" ")
        more = " ..." if len(self.extra) > 16 else ""
        value = repr(self.unpacked)
        if len(value) > 80:
            value = value[:77] + "..."
        return (
            f"unpack(b) received extra data: {len(self.extra)} byte(s) "
            f"[{shown}{more}] after the value {value}"
        )


class ValidationError(UnpackException, ValueError):
    """The bytes hold a valid value that the Decoder's type does not take.

    ``path`` locates the value: ``$`` is the whole value, ``.name`` a field
    or str key, ``[i]`` an array index (``$.points[1].x``). The message
    starts with the path and names what was expected and what was found.
    """

    default_message = "the value does not match the type"
    path: str

    def __init__(self, message: Optional[str] = None, path: str = "$") -> None:
        if message is None:
            super().__init__()
        else:
            super().__init__(message)
        self.path = path

    def __reduce__(self) -> Any:
        return type(self), (self.args[0] if self.args else None, self.path)
