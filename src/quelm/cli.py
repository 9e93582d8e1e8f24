"""The ``quelm`` command-line tool: encode, decode and inspect Quelm streams.

    quelm encode [--lines] [--plain] [FILE]   JSON (or JSON Lines) to Quelm
    quelm decode [FILE]                       Quelm stream to JSON Lines
    quelm inspect [FILE]                      annotated dump of a Quelm stream

FILE defaults to standard input ("-" names it too). Input is read
incrementally. Bad input ends the run with one line on standard error that
gives the offset and the cause, and exit status 1; wrong usage exits with 2.

JSON rendering of what JSON lacks (``decode`` writes it, ``encode`` reads it
back unless ``--plain`` is given):

    bytes                         {"$bytes": "<hex>"}
    extension value               {"$ext": {"code": 5, "data": "<hex>"}}
    timestamp                     {"$timestamp": {"seconds": S, "nanoseconds": N,
                                                  "iso": "1970-01-01T00:00:00Z" or null}}
    NaN, Infinity, -Infinity      {"$float": "nan"}, {"$float": "inf"}, {"$float": "-inf"}
    map with a non-str key, a key {"$map": [[key, value], ...]}  (wire order,
    starting with "$", or a key      duplicates kept)
    given twice
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import sys
from typing import IO, Any, Dict, Iterator, List, Optional, Sequence, Tuple

from quelm import (
    BufferFull,
    ExtType,
    FormatError,
    OutOfData,
    StackError,
    Timestamp,
    Unpacker,
    __version__,
    packb,
)
from quelm._wire import MAX_DEPTH, Item, WireError, walk

__all__ = ["main"]

_EPOCH = datetime.datetime(1970, 1, 1)
_SHOWN_BYTES = 16  # bytes of a bin or ext payload shown by inspect
_SHOWN_CHARS = 40  # characters of a str shown by inspect
_SHOWN_DEPTH = 24  # deeper items are indented no further, but labelled


class _BadInput(Exception):
    """Input the command cannot process: where it is (empty when the input
    as a whole is meant) and why."""

    def __init__(self, where: str, cause: str) -> None:
        super().__init__(where, cause)
        self.where = where
        self.cause = cause


# ---------------------------------------------------------------- rendering


def iso_time(seconds: int, nanoseconds: int) -> Optional[str]:
    """RFC 3339 UTC text of a timestamp, or None outside the years 1-9999."""
    try:
        moment = _EPOCH + datetime.timedelta(seconds=seconds)
    except OverflowError:
        return None
    fraction = f".{nanoseconds:09d}" if nanoseconds else ""
    return f"{moment.isoformat()}{fraction}Z"


class _Pairs(list):  # type: ignore[type-arg]
    """A decoded map, as its (key, value) pairs in wire order."""


def _map_json(pairs: List[Tuple[Any, Any]]) -> Any:
    keys = [key for key, _ in pairs]
    plain = all(type(key) is str and not key.startswith("$") for key in keys)
    if plain and len(set(keys)) == len(keys):
        return {key: to_json(value) for key, value in pairs}
    return {"$map": [[to_json(key), to_json(value)] for key, value in pairs]}


def to_json(value: Any) -> Any:
    """The JSON-ready form of a decoded value (see the module docstring)."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, bytes):
        return {"$bytes": value.hex()}
    if isinstance(value, _Pairs):
        return _map_json(value)
    if isinstance(value, ExtType):
        return {"$ext": {"code": value.code, "data": value.data.hex()}}
    if isinstance(value, list):
        return [to_json(item) for item in value]
    if isinstance(value, Timestamp):
        return {"$timestamp": {"seconds": value.seconds, "nanoseconds": value.nanoseconds,
                               "iso": iso_time(value.seconds, value.nanoseconds)}}
    raise TypeError(f"cannot render {type(value).__name__}")


class _PairMap(dict):  # type: ignore[type-arg]
    """A map to pack from pairs: keeps their order and duplicates, and allows
    keys that Python cannot hash. The Packer packs dict subclasses through
    len() and items()."""

    __hash__ = object.__hash__  # type: ignore[assignment]

    def __init__(self, pairs: List[Tuple[Any, Any]]) -> None:
        super().__init__()
        self._pairs = pairs

    def __len__(self) -> int:
        return len(self._pairs)

    def items(self) -> List[Tuple[Any, Any]]:  # type: ignore[override]
        return self._pairs


def _expect(ok: bool, tag: str) -> None:
    if not ok:
        raise ValueError(f"malformed {tag} object")


def from_json(obj: Dict[str, Any]) -> Any:
    """json object_hook reversing :func:`to_json`'s tagged objects."""
    if len(obj) != 1:
        return obj
    ((tag, body),) = obj.items()
    if tag == "$bytes":
        _expect(isinstance(body, str), tag)
        return bytes.fromhex(body)
    if tag == "$float":
        _expect(body in ("nan", "inf", "-inf"), tag)
        return float(body)
    if tag == "$ext":
        _expect(isinstance(body, dict) and isinstance(body.get("code"), int)
                and isinstance(body.get("data"), str), tag)
        return ExtType(body["code"], bytes.fromhex(body["data"]))
    if tag == "$timestamp":
        _expect(isinstance(body, dict) and isinstance(body.get("seconds"), int)
                and isinstance(body.get("nanoseconds"), int), tag)
        return Timestamp(body["seconds"], body["nanoseconds"])
    if tag == "$map":
        _expect(isinstance(body, list)
                and all(isinstance(pair, list) and len(pair) == 2 for pair in body), tag)
        return _PairMap([(key, value) for key, value in body])
    return obj


# ----------------------------------------------------------------- commands


def _encode_one(text: bytes, plain: bool, line: Optional[int]) -> bytes:
    """Quelm of one JSON text; *line* is its line number in JSON Lines mode."""
    where = "" if line is None else f"line {line}"
    try:
        value = json.loads(text, object_hook=None if plain else from_json)
    except json.JSONDecodeError as error:
        at = f"line {line if line is not None else error.lineno}, column {error.colno}"
        raise _BadInput(at, f"invalid JSON: {error.msg}") from None
    except RecursionError:
        raise _BadInput(where, "JSON nested too deeply") from None
    except (ValueError, TypeError) as error:
        raise _BadInput(where, str(error)) from None
    try:
        return packb(value)
    except (ValueError, OverflowError, TypeError) as error:
        raise _BadInput(where, f"cannot encode: {error}") from None


def _encode(source: IO[bytes], out: IO[bytes], lines: bool, plain: bool) -> None:
    if not lines:
        out.write(_encode_one(source.read(), plain, None))
        return
    for number, text in enumerate(source, 1):
        if text.strip():
            out.write(_encode_one(text.rstrip(b"\r\n"), plain, number))


class _CountingReader:
    """Passes reads through and counts the bytes delivered."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self.count = 0

    def read(self, n: int = -1) -> bytes:
        data = self._stream.read(n)
        self.count += len(data)
        return data


def _decode(source: IO[bytes], out: IO[bytes]) -> None:
    reader = _CountingReader(source)
    unpacker = Unpacker(reader, object_pairs_hook=_Pairs, strict_map_key=False)
    while True:
        start = unpacker.tell()
        try:
            value = unpacker.unpack()
        except OutOfData:
            if reader.count == start:
                return
            raise _BadInput(f"offset {start}", "truncated input: the value starting here "
                            f"is incomplete when the input ends at offset {reader.count}") from None
        except FormatError:
            raise _BadInput(f"offset {unpacker.tell()}",
                            "invalid byte 0xc1 (it starts no value)") from None
        except StackError:
            raise _BadInput(f"offset {unpacker.tell()}",
                            f"nesting too deep (more than {MAX_DEPTH} levels of containers)") from None
        except BufferFull:
            raise _BadInput(f"offset {start}", "the value starting here is larger than "
                            "the decoder's buffer limit (100 MiB)") from None
        except (ValueError, TypeError) as error:
            raise _BadInput(f"offset {start}", f"invalid value starting here: {error}") from None
        out.write(_json_line(to_json(value)) + b"\n")


def _json_line(value: Any) -> bytes:
    """One line of JSON for *value*, also when it nests deeper than the JSON
    encoder's C recursion allows (about 330 maps on Python 3.12, whatever
    the recursion limit)."""
    try:
        line = json.dumps(value, ensure_ascii=False, allow_nan=False)
    except RecursionError:
        line = "".join(_json_pieces(value))
    return line.encode("utf-8", "surrogatepass")


def _json_pieces(value: Any) -> Iterator[str]:
    """The text of json.dumps(value) in pieces, without recursion: lists and
    dicts through an explicit stack, everything else through json.dumps."""
    # Each entry: the closing bracket, then an iterator of the parts still
    # to write, each a (prefix, value) pair.
    stack: List[Tuple[str, Iterator[Tuple[str, Any]]]] = []
    pending: Optional[Tuple[str, Any]] = ("", value)
    while True:
        if pending is not None:
            prefix, item = pending
            yield prefix
            if isinstance(item, dict) and item:
                yield "{"
                stack.append(("}", iter([
                    (("" if i == 0 else ", ") + json.dumps(key, ensure_ascii=False) + ": ", v)
                    for i, (key, v) in enumerate(item.items())])))
            elif isinstance(item, list) and item:
                yield "["
                stack.append(("]", iter([("" if i == 0 else ", ", v)
                                         for i, v in enumerate(item)])))
            else:
                yield json.dumps(item, ensure_ascii=False, allow_nan=False)
        if not stack:
            return
        pending = next(stack[-1][1], None)
        if pending is None:
            yield stack.pop()[0]


def _shown_value(item: Item) -> str:
    if item.kind in ("int", "float"):
        return repr(item.value)
    if item.kind == "str":
        text = str(item.value)
        cut = len(text.encode("utf-8")) < item.length or len(text) > _SHOWN_CHARS
        return json.dumps(text[:_SHOWN_CHARS], ensure_ascii=False) + (" ..." if cut else "")
    if item.kind == "timestamp" and isinstance(item.value, tuple):
        seconds, nanoseconds = item.value
        iso = iso_time(seconds, nanoseconds)
        exact = f"seconds={seconds}, nanoseconds={nanoseconds}"
        return f"{iso} ({exact})" if iso else exact
    if item.kind in ("bin", "ext", "timestamp"):
        data = item.value if isinstance(item.value, bytes) else b""
        more = " ..." if item.length > _SHOWN_BYTES else ""
        return data[:_SHOWN_BYTES].hex(" ") + more
    return ""


def _inspect(source: IO[bytes], out: IO[bytes]) -> None:
    try:
        for item in walk(source):
            label = f"{item.role}: {item.family}" if item.role else item.family
            indent = "  " * min(item.depth, _SHOWN_DEPTH)
            if item.depth > _SHOWN_DEPTH:
                indent += f"(depth {item.depth}) "
            parts = [f"{item.offset:>8}  {indent}{label}",
                     f"[{item.header.hex(' ')}]"]
            shown = _shown_value(item)
            if shown:
                parts.append(shown)
            if item.note:
                parts.append(f"({item.note})")
            out.write(("  ".join(parts) + "\n").encode("utf-8", "surrogatepass"))
    except WireError as error:
        raise _BadInput(f"offset {error.offset}", error.cause) from None


# --------------------------------------------------------------------- main


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quelm", description="Encode, decode and inspect Quelm binary data.")
    parser.add_argument("--version", action="version", version=f"quelm {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    encode = commands.add_parser("encode", help="JSON to Quelm on standard output")
    encode.add_argument("--lines", action="store_true",
                        help="the input is JSON Lines: one value per line, each encoded")
    encode.add_argument("--plain", action="store_true",
                        help='take {"$bytes": ...} and the other tagged objects literally')
    commands.add_parser("decode", help="a Quelm stream to JSON Lines")
    commands.add_parser("inspect", help="an annotated dump of a Quelm stream's items")
    for command in commands.choices.values():
        command.add_argument("file", nargs="?", default="-", metavar="FILE",
                             help="input file (default: standard input)")
    return parser


def _run(args: argparse.Namespace, source: IO[bytes], out: IO[bytes]) -> None:
    if args.command == "encode":
        _encode(source, out, args.lines, args.plain)
    elif args.command == "decode":
        _decode(source, out)
    else:
        _inspect(source, out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the tool with *argv* (default: the process arguments); return the
    exit status."""
    args = _parser().parse_args(argv)
    try:
        source = sys.stdin.buffer if args.file == "-" else open(args.file, "rb")
    except OSError as error:
        print(f"quelm: error: cannot read {args.file}: {error.strerror}", file=sys.stderr)
        return 1
    out = sys.stdout.buffer
    # Rendering a value nested as deeply as the decoder allows recurses once
    # per level, past the interpreter's default limit.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * MAX_DEPTH + 200))
    try:
        _run(args, source, out)
        out.flush()
    except _BadInput as error:
        out.flush()
        where = f" at {error.where}" if error.where else ""
        print(f"quelm: error{where}: {error.cause}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (quelm decode big.qlm | head): not a failure.
        # Point stdout at nothing so that the final flush at exit is silent.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    except OSError as error:
        print(f"quelm: error: {error}", file=sys.stderr)
        return 1
    except Exception as error:  # a tool reports, it does not dump a traceback
        print(f"quelm: error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    finally:
        sys.setrecursionlimit(limit)
        if args.file != "-":
            source.close()
    return 0
