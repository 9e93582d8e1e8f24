"""Typical uses of quelm, checked by ``mypy --strict`` in CI (and run by
test_typing_usage in tests/test_api.py, so that it also stays correct)."""

from __future__ import annotations

import asyncio
import datetime
import io
import dataclasses
from typing import Annotated, Any, Dict, List, Optional, Tuple

import quelm
from quelm import (
    AsyncUnpacker,
    BufferFull,
    ExtraData,
    Decoder,
    ExtType,
    FormatError,
    OutOfData,
    Packer,
    StackError,
    Timestamp,
    Unpacker,
    ValidationError,
)


def encode_point(obj: object) -> Any:
    if isinstance(obj, complex):
        return ExtType(1, quelm.packb([obj.real, obj.imag]))
    raise TypeError(f"cannot pack {type(obj).__name__}")


def decode_point(code: int, data: bytes) -> Any:
    if code == 1:
        real, imag = quelm.unpackb(data)
        return complex(real, imag)
    return ExtType(code, data)


def pairs_to_dict(pairs: List[Tuple[Any, Any]]) -> Dict[Any, Any]:
    return dict(pairs)


def one_shot() -> None:
    packed: bytes = quelm.packb({"a": [1, 2.5, None]}, use_single_float=True)
    value: Any = quelm.unpackb(packed, use_list=False, max_str_len=1024)
    assert value == {"a": (1, 2.5, None)}
    assert quelm.loads(quelm.dumps(1j, default=encode_point), ext_hook=decode_point) == 1j
    assert quelm.unpackb(b"\x81\x01\x02", strict_map_key=False,
                         object_pairs_hook=pairs_to_dict) == {1: 2}


def streaming() -> None:
    packer = Packer(autoreset=False, datetime=True, buf_size=1024)
    packer.pack_array_header(2)
    packer.pack(datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc))
    packer.pack_map_pairs([("k", b"v")])
    view: memoryview = packer.getbuffer()
    data = bytes(view)
    view.release()
    packer.reset()

    unpacker = Unpacker(None, max_buffer_size=1 << 20, timestamp=3)
    unpacker.feed(data)
    count: int = unpacker.read_array_header()
    items = [unpacker.unpack() for _ in range(count)]
    assert isinstance(items[0], datetime.datetime)
    position: int = unpacker.tell()
    assert position == len(data)
    for _ in unpacker:
        raise AssertionError("the stream is exhausted")

    with io.BytesIO() as stream:
        quelm.pack([1, 2], stream)
        quelm.dump("x", stream)
        stream.seek(0)
        assert quelm.unpack(stream) == [1, 2]
        assert quelm.load(stream, raw=True) == b"x"
        stream.seek(0)
        assert list(Unpacker(stream, read_size=16)) == [[1, 2], "x"]


def what_packers_return(flag: bool) -> None:
    # With autoreset on (the default) every writing method returns bytes...
    data: bytes = Packer().pack({"a": 1})
    header: bytes = Packer(autoreset=True).pack_array_header(2)
    typed: Packer[bytes] = Packer(datetime=True)
    pairs: bytes = typed.pack_map_pairs([("k", 1)])
    # ...with it off they return None; a flag known only as a bool gives
    # either. An unused ignore fails under --strict, so these two lines also
    # check that the stubs do not claim bytes where None can come back.
    kept = Packer(autoreset=False)
    nothing: None = kept.pack({"a": 1})
    wrong: bytes = kept.pack_ext_type(1, b"x")  # type: ignore[assignment]
    maybe: Optional[bytes] = Packer(autoreset=flag).pack_map_header(0)
    unsure: bytes = Packer(autoreset=flag).pack(1)  # type: ignore[assignment]
    assert nothing is None and maybe in (b"\x80", None)
    assert data + header + pairs + unsure == b"\x81\xa1a\x01\x92\x81\xa1k\x01\x01"
    assert bytes(kept) == data + b"\xd4\x01x"


def extension_values() -> None:
    moment: Timestamp = Timestamp.from_unix(1.5)
    assert moment.to_unix_nano() == 1_500_000_000
    assert Timestamp.from_datetime(moment.to_datetime()) == moment
    ext = ExtType(5, b"data")
    code: int = ext.code
    payload: bytes = ext.data
    assert (code, payload) == (5, b"data")


def errors() -> Optional[str]:
    try:
        quelm.unpackb(b"\x01\x02")
    except ExtraData as error:
        extra: bytes = error.extra
        return f"{error.unpacked!r} then {extra!r}"
    except (FormatError, StackError, OutOfData, BufferFull):
        return None
    return None


@dataclasses.dataclass
class Point:
    x: int
    y: int = 0


def typed_decoding() -> Optional[str]:
    point: Point = quelm.Decoder(Point).decode(quelm.packb({"x": 1}))
    points: Decoder[List[Point]] = quelm.Decoder(List[Point], max_array_len=100)
    first: Point = points.decode(quelm.packb([{"x": 2}]))[0]
    assert (point.x, first.x) == (1, 2)
    try:
        points.decode(quelm.packb([{"x": "2"}]))
    except ValidationError as error:
        where: str = error.path
        return where
    return None


@quelm.record(rename="camel", omit_defaults=True)
@dataclasses.dataclass
class Account:
    user_id: int
    ident: Annotated[str, quelm.Name("ID")] = ""


@quelm.record
@dataclasses.dataclass
class Plain:
    x: int


def declared_records() -> Dict[str, Any]:
    account: Account = quelm.Decoder(Account).decode(quelm.packb(Account(1), typed=True))
    plain: Plain = quelm.Decoder(Plain).decode(quelm.packb(Plain(2), typed=True))
    assert (account.user_id, plain.x) == (1, 2)
    wire: Dict[str, Any] = quelm.unpackb(quelm.packb(Account(3, "a"), typed=True))
    return wire


async def values_from(reader: asyncio.StreamReader) -> List[Any]:
    unpacker = AsyncUnpacker(reader, max_buffer_size=1 << 20, use_list=False)
    count: int = await unpacker.read_array_header()
    values = [await unpacker.unpack() for _ in range(count)]
    await unpacker.skip()
    async for value in unpacker:
        values.append(value)
    position: int = unpacker.tell()
    assert position == 7
    return values


def asyncio_stream() -> None:
    async def main() -> List[Any]:
        reader = asyncio.StreamReader()
        reader.feed_data(b"\x92\x01\x02" + b"\xa1x" + b"\x91\x03")
        reader.feed_eof()
        return await values_from(reader)

    assert asyncio.run(main()) == [1, 2, (3,)]


if __name__ == "__main__":
    one_shot()
    streaming()
    what_packers_return(True)
    extension_values()
    assert errors() == "1 then b'\\x02'"
    assert typed_decoding() == "$[0].x"
    assert declared_records() == {"userId": 3, "ID": "a"}
    asyncio_stream()
