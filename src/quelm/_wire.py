"""A pure-Python reader of the Quelm wire format, one item at a time.

The native decoder builds whole values; two places need to see the items
themselves instead: ``quelm inspect``, which shows every header with its
offset and raw bytes, and :func:`quelm.unpack` on a stream that cannot seek,
which must stop reading exactly at the end of one value. Both read their
input incrementally: a payload is consumed in blocks, and only a short
preview of it (and, for strings, the state of a UTF-8 check) is kept.
"""

from __future__ import annotations

import codecs
import struct
from typing import IO, Callable, Iterator, List, NamedTuple, Optional, Tuple, Type

from quelm.exceptions import BufferFull, FormatError, OutOfData, StackError, UnpackException

__all__ = ["Item", "WireError", "walk", "read_one_value", "MAX_DEPTH", "PREVIEW"]

# The decoders keep at most this many containers open at once; a container
# header met while that many are open is refused, an empty one included.
MAX_DEPTH = 1024
# Bytes of a payload kept for display.
PREVIEW = 48
_BLOCK = 1 << 16


class WireError(Exception):
    """A structural fault of the input: where it is, what it is, and the
    quelm exception class that stands for it."""

    def __init__(self, offset: int, cause: str, kind: Type[UnpackException]) -> None:
        super().__init__(offset, cause)
        self.offset = offset
        self.cause = cause
        self.kind = kind

    def __str__(self) -> str:
        return f"at offset {self.offset}: {self.cause}"

    def as_exception(self) -> UnpackException:
        return self.kind(f"{self.cause} at offset {self.offset}")


class _Short(Exception):
    """The input ended after ``got`` of the ``wanted`` bytes requested at
    offset ``at``."""

    def __init__(self, at: int, wanted: int, got: int) -> None:
        super().__init__(at, wanted, got)
        self.at = at
        self.wanted = wanted
        self.got = got


class _Source:
    """Exact reads from a binary stream, counting the offset.

    Never asks the stream for more than the caller requested, so the stream
    is left exactly after the last byte used; bytes that a stream returns
    beyond the request are kept for the next reads (``surplus``). With
    ``record`` set, every byte read is also appended to it, up to ``limit``
    bytes in all.
    """

    def __init__(
        self,
        stream: IO[bytes],
        record: Optional[bytearray] = None,
        limit: Optional[int] = None,
    ) -> None:
        self._read = stream.read
        self.offset = 0
        self._record = record
        self._limit = limit
        self.surplus = b""

    def _block(self, n: int) -> bytes:
        """Up to n bytes (n >= 1), b"" only at the end of the input."""
        if not self.surplus:
            got = self._read(n)
            if got is None:
                return b""
            if not isinstance(got, bytes):
                raise TypeError(f"expected bytes, {type(got).__name__} found")
            # Its own bytes, whatever a subclass's __len__ or __bool__ say.
            self.surplus = bytes(memoryview(got))
        block, self.surplus = self.surplus[:n], self.surplus[n:]
        return block

    def _reserve(self, n: int) -> None:
        if self._record is not None and self._limit is not None:
            if len(self._record) + n > self._limit:
                raise BufferFull()

    def take(
        self, n: int, keep: int = -1, sink: Optional[Callable[[bytes], object]] = None
    ) -> bytes:
        """Consume n bytes and return the first ``keep`` of them (all when
        ``keep`` is -1); raise _Short when the input ends first."""
        self._reserve(n)
        kept: List[bytes] = []
        kept_len = 0
        got = 0
        at = self.offset
        while got < n:
            block = self._block(min(n - got, _BLOCK))
            if not block:
                raise _Short(at, n, got)
            got += len(block)
            self.offset += len(block)
            if self._record is not None:
                self._record += block
            if sink is not None:
                sink(block)
            if keep < 0 or kept_len < keep:
                kept.append(block)
                kept_len += len(block)
        data = b"".join(kept)
        return data if keep < 0 else data[:keep]

    def first_byte(self) -> Optional[int]:
        """The next byte, or None at the end of the input."""
        self._reserve(1)
        block = self._block(1)
        if not block:
            return None
        self.offset += 1
        if self._record is not None:
            self._record += block
        return block[0]


class _Form(NamedTuple):
    family: str
    kind: str  # nil, bool, reserved, int, uint, float, str, bin, ext, fixext, array, map
    inline: int  # the value (tiny ints, bools) or count/length carried by the byte
    width: int  # bytes of the number or length field after the first byte


def _forms() -> Tuple[_Form, ...]:
    forms: List[_Form] = []
    sized = {
        0xC4: ("bin 8", "bin", 1), 0xC5: ("bin 16", "bin", 2), 0xC6: ("bin 32", "bin", 4),
        0xC7: ("ext 8", "ext", 1), 0xC8: ("ext 16", "ext", 2), 0xC9: ("ext 32", "ext", 4),
        0xCA: ("float 32", "float", 4), 0xCB: ("float 64", "float", 8),
        0xCC: ("uint 8", "uint", 1), 0xCD: ("uint 16", "uint", 2),
        0xCE: ("uint 32", "uint", 4), 0xCF: ("uint 64", "uint", 8),
        0xD0: ("int 8", "int", 1), 0xD1: ("int 16", "int", 2),
        0xD2: ("int 32", "int", 4), 0xD3: ("int 64", "int", 8),
        0xD9: ("str 8", "str", 1), 0xDA: ("str 16", "str", 2), 0xDB: ("str 32", "str", 4),
        0xDC: ("array 16", "array", 2), 0xDD: ("array 32", "array", 4),
        0xDE: ("map 16", "map", 2), 0xDF: ("map 32", "map", 4),
    }
    for b in range(256):
        if b <= 0x7F:
            forms.append(_Form("positive tiny int", "tiny", b, 0))
        elif b <= 0x8F:
            forms.append(_Form("short map", "map", b & 0x0F, 0))
        elif b <= 0x9F:
            forms.append(_Form("short array", "array", b & 0x0F, 0))
        elif b <= 0xBF:
            forms.append(_Form("short str", "str", b & 0x1F, 0))
        elif b == 0xC0:
            forms.append(_Form("nil", "nil", 0, 0))
        elif b == 0xC1:
            forms.append(_Form("reserved", "reserved", 0, 0))
        elif b in (0xC2, 0xC3):
            forms.append(_Form("true" if b == 0xC3 else "false", "bool", b & 1, 0))
        elif 0xD4 <= b <= 0xD8:
            size = 16 if b == 0xD8 else 1 << (b & 3)
            forms.append(_Form(f"fixed ext {size}", "fixext", size, 0))
        elif b >= 0xE0:
            forms.append(_Form("negative tiny int", "tiny", b - 256, 0))
        else:
            family, kind, width = sized[b]
            forms.append(_Form(family, kind, 0, width))
    return tuple(forms)


_FORMS = _forms()
_TIMESTAMP_BITS = {4: 32, 8: 64, 12: 96}
# The header that carries each timestamp layout when written by the Packer.
_TIMESTAMP_USUAL = {4: 0xD6, 8: 0xD7, 12: 0xC7}


class Item(NamedTuple):
    """One item of the stream, as ``inspect`` shows it."""

    offset: int  # of the first byte
    depth: int  # open containers around it
    role: str  # "key" or "value" inside a map, "" elsewhere
    family: str  # e.g. "uint 16", "map 16", "timestamp 96"
    header: bytes  # first byte, number or length field, extension type code
    kind: str  # nil, bool, int, float, str, bin, ext, timestamp, array, map
    value: object  # scalar value; count of a container; payload preview
    length: int  # payload bytes (str, bin, ext data) or item/pair count
    code: Optional[int] = None  # extension type code
    note: str = ""  # what is wrong with a value that is still well formed


def _count(n: int, unit: str) -> str:
    return f"{n} {unit}" if n == 1 else f"{n} {unit}s"


def _number(form: _Form, raw: bytes) -> object:
    if form.kind == "float":
        return struct.unpack(">f" if form.width == 4 else ">d", raw)[0]
    return int.from_bytes(raw, "big", signed=form.kind == "int")


def _timestamp(data: bytes) -> Tuple[Optional[Tuple[int, int]], str]:
    """(seconds, nanoseconds) of timestamp data, or None and the reason."""
    if len(data) == 4:
        return (int.from_bytes(data, "big"), 0), ""
    if len(data) == 8:
        word = int.from_bytes(data, "big")
        seconds, nanoseconds = word & ((1 << 34) - 1), word >> 34
    elif len(data) == 12:
        nanoseconds = int.from_bytes(data[:4], "big")
        seconds = int.from_bytes(data[4:], "big", signed=True)
    else:
        return None, f"invalid timestamp data (length {len(data)})"
    if nanoseconds >= 1_000_000_000:
        return None, f"invalid timestamp: nanoseconds {nanoseconds} out of range"
    return (seconds, nanoseconds), ""


def walk(
    stream: IO[bytes],
    *,
    values: Optional[int] = None,
    preview: bool = True,
    record: Optional[bytearray] = None,
    limit: Optional[int] = None,
) -> Iterator[Item]:
    """Yield the items of the Quelm stream read from *stream*, in order.

    Stops at the end of the input between two top-level values, or after
    *values* top-level values. Raises :class:`WireError` for a byte that
    starts no value, a value cut short by the end of the input, or nesting
    deeper than :data:`MAX_DEPTH`. With *preview* false, payloads are
    consumed without being kept or checked. *record* and *limit*: see
    :func:`read_one_value`.
    """
    source = _Source(stream, record, limit)
    # Open containers, innermost last: [items left, is a map, items done].
    stack: List[List[int]] = []
    done = 0
    while stack or values is None or done < values:
        start = source.offset
        first = source.first_byte()
        if first is None:
            if stack:
                missing = stack[-1][0]
                raise WireError(start, "truncated input: the input ends inside a "
                                f"container, {_count(missing, 'item')} short", OutOfData)
            return
        form = _FORMS[first]
        role = ""
        if stack and stack[-1][1]:
            role = "value" if stack[-1][2] % 2 else "key"
        try:
            item = _read_item(source, start, len(stack), role, first, form, preview)
        except _Short as short:
            raise WireError(start, f"truncated input: this {form.family} needs "
                            f"{_count(short.wanted, 'byte')} at offset {short.at}, "
                            f"the input ends after {short.got}", OutOfData) from None
        yield item
        if item.kind in ("array", "map") and item.length:
            stack.append([item.length * (2 if item.kind == "map" else 1), item.kind == "map", 0])
            continue
        while stack:
            frame = stack[-1]
            frame[0] -= 1
            frame[2] += 1
            if frame[0]:
                break
            stack.pop()
        if not stack:
            done += 1
    if source.surplus:
        # Bytes the stream returned beyond what was asked, past the last
        # value wanted: a stream cannot take them back, and dropping them
        # quietly would lose the start of whatever follows.
        raise WireError(source.offset, "the stream returned "
                        f"{_count(len(source.surplus), 'byte')} more than asked for, "
                        "past the end of the value", UnpackException)


def _read_item(
    source: _Source, start: int, depth: int, role: str, first: int, form: _Form,
    preview: bool,
) -> Item:
    kind = form.kind
    head = bytes([first])
    if kind == "reserved":
        raise WireError(start, "invalid byte 0xc1 (it starts no value)", FormatError)
    if kind == "tiny":
        return Item(start, depth, role, form.family, head, "int", form.inline, 0)
    if kind == "nil":
        return Item(start, depth, role, form.family, head, "nil", None, 0)
    if kind == "bool":
        return Item(start, depth, role, form.family, head, "bool", bool(form.inline), 0)
    if kind in ("int", "uint", "float"):
        raw = source.take(form.width)
        value = _number(form, raw)
        return Item(start, depth, role, form.family, head + raw,
                    "float" if kind == "float" else "int", value, 0)
    if form.width:
        field = source.take(form.width)
        head += field
        length = int.from_bytes(field, "big")
    else:
        length = form.inline
    if kind in ("array", "map"):
        if depth >= MAX_DEPTH:
            raise WireError(start, f"nesting too deep (more than {MAX_DEPTH} "
                            "levels of containers)", StackError)
        family = f"{form.family} ({_count(length, 'pair' if kind == 'map' else 'item')})"
        return Item(start, depth, role, family, head, kind, length, length)
    if kind in ("ext", "fixext"):
        code_byte = source.take(1)
        head += code_byte
        code = int.from_bytes(code_byte, "big", signed=True)
        return _read_ext(source, start, depth, role, form, head, code, length, preview)
    keep = PREVIEW if preview else 0
    if kind == "bin":
        data = source.take(length, keep)
        return Item(start, depth, role, f"{form.family} ({_count(length, 'byte')})", head,
                    "bin", data, length)
    if not preview:
        source.take(length, 0)
        return Item(start, depth, role, form.family, head, "str", "", length)
    checker = _Utf8Check()
    data = source.take(length, keep, checker.feed)
    note = "" if checker.finish() else "invalid UTF-8"
    text = data.decode("utf-8", "replace")
    if len(data) < length and text.endswith("\ufffd"):
        text = text.rstrip("\ufffd")  # a character cut by the preview, not a fault
    return Item(start, depth, role, f"{form.family} ({_count(length, 'byte')})", head,
                "str", text, length, note=note)


class _Utf8Check:
    """Validates UTF-8 text that arrives in blocks, in constant memory."""

    def __init__(self) -> None:
        self._decoder = codecs.getincrementaldecoder("utf-8")()
        self._valid = True

    def feed(self, block: bytes) -> None:
        if self._valid:
            try:
                self._decoder.decode(block)
            except UnicodeDecodeError:
                self._valid = False

    def finish(self) -> bool:
        self.feed(b"")
        if self._valid:
            try:
                self._decoder.decode(b"", final=True)
            except UnicodeDecodeError:
                self._valid = False
        return self._valid


def _read_ext(
    source: _Source, start: int, depth: int, role: str, form: _Form, head: bytes,
    code: int, length: int, preview: bool,
) -> Item:
    if code == -1 and length in _TIMESTAMP_BITS:
        data = source.take(length)
        parts, note = _timestamp(data)
        family = f"timestamp {_TIMESTAMP_BITS[length]}"
        if head[0] != _TIMESTAMP_USUAL[length]:
            family += f" (in {form.family})"
        return Item(start, depth, role, family, head, "timestamp",
                    parts if parts is not None else data, length, code, note)
    data = source.take(length, PREVIEW if preview else 0)
    note = f"invalid timestamp data (length {length})" if code == -1 else ""
    family = f"{form.family} (type {code}, {_count(length, 'byte')})"
    return Item(start, depth, role, family, head, "ext", data, length, code, note)


def read_one_value(stream: IO[bytes], limit: Optional[int] = None) -> bytes:
    """The bytes of exactly one Quelm value read from *stream*, which is left
    just after them.

    Raises :class:`OutOfData` when the input ends first (or is empty),
    :class:`FormatError` and :class:`StackError` as the decoders do, and
    :class:`BufferFull` when the value would exceed *limit* bytes.
    """
    record = bytearray()
    try:
        for _ in walk(stream, values=1, preview=False, record=record, limit=limit):
            pass
    except WireError as error:
        raise error.as_exception() from None
    if not record:
        raise OutOfData("No more data to unpack.")
    return bytes(record)
