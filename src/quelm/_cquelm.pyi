"""Types of the native core, quelm._cquelm."""

import datetime as datetime
import sys
from typing import (
    Any,
    Callable,
    Dict,
    Generic,
    Iterator,
    List,
    Literal,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    Type,
    Union,
    overload,
)

from typing_extensions import TypedDict, TypeVar, Unpack

from quelm.exceptions import BufferFull as BufferFull
from quelm.exceptions import ExtraData as ExtraData
from quelm.exceptions import FormatError as FormatError
from quelm.exceptions import OutOfData as OutOfData
from quelm.exceptions import StackError as StackError
from quelm.exceptions import ValidationError as ValidationError
from quelm.ext import ExtType

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _BytesLike
else:
    _BytesLike = Union[bytes, bytearray, memoryview]
_ErrorsName = Union[str, bytes, bytearray, None]

class _Readable(Protocol):
    def read(self, n: int, /) -> Optional[bytes]: ...

class _PackerOptions(TypedDict, total=False):
    default: Optional[Callable[[Any], Any]]  # None
    use_single_float: bool  # False
    use_bin_type: bool  # True
    strict_types: bool  # False
    datetime: bool  # False
    unicode_errors: _ErrorsName  # None
    buf_size: int  # 262144
    typed: bool  # False

_Written = TypeVar("_Written", bound=Optional[bytes], default=Optional[bytes])

class Packer(Generic[_Written]):
    """Packer(default=None, *, bool use_single_float=False, bool autoreset=True,
    bool use_bin_type=True, bool strict_types=False, bool datetime=False,
    unicode_errors=None, buf_size=0x40000)

    The writing methods return what ``autoreset`` makes them return: the
    bytes written (``Packer[bytes]``, the default), ``None`` with
    ``autoreset=False`` (``Packer[None]``), either when the flag is only known
    as a ``bool`` (``Packer[Optional[bytes]]``, also what a bare ``Packer``
    annotation means)."""

    # The options other than autoreset, with their defaults, are those of
    # _PackerOptions.
    @overload
    def __init__(
        self: Packer[bytes], *, autoreset: Literal[True] = True, **options: Unpack[_PackerOptions]
    ) -> None: ...
    @overload
    def __init__(
        self: Packer[None], *, autoreset: Literal[False], **options: Unpack[_PackerOptions]
    ) -> None: ...
    @overload
    def __init__(
        self: Packer[Optional[bytes]], *, autoreset: bool, **options: Unpack[_PackerOptions]
    ) -> None: ...
    def pack(self, obj: Any) -> _Written: ...
    def pack_ext_type(self, typecode: int, data: Union[_BytesLike, str]) -> _Written: ...
    def pack_array_header(self, size: int) -> _Written: ...
    def pack_map_header(self, size: int) -> _Written: ...
    def pack_map_pairs(self, pairs: Sequence[Tuple[Any, Any]]) -> _Written: ...
    def reset(self) -> None: ...
    def bytes(self) -> bytes: ...
    def getbuffer(self) -> memoryview: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> Any: ...

def packb(
    obj: Any,
    /,
    *,
    default: Optional[Callable[[Any], Any]] = None,
    use_single_float: bool = False,
    autoreset: bool = True,
    use_bin_type: bool = True,
    strict_types: bool = False,
    datetime: bool = False,
    unicode_errors: _ErrorsName = None,
    buf_size: int = 256,
    typed: bool = False,
) -> bytes: ...

_ObjectHook = Callable[[Dict[Any, Any]], Any]
_PairsHook = Callable[[List[Tuple[Any, Any]]], Any]
_ListHook = Callable[[Any], Any]
_ExtHook = Callable[[int, bytes], Any]

def unpackb(
    packed: _BytesLike,
    *,
    object_hook: Optional[_ObjectHook] = None,
    list_hook: Optional[_ListHook] = None,
    use_list: bool = True,
    raw: bool = False,
    timestamp: int = 0,
    strict_map_key: bool = True,
    unicode_errors: _ErrorsName = None,
    object_pairs_hook: Optional[_PairsHook] = None,
    ext_hook: Optional[_ExtHook] = ExtType,
    max_str_len: int = -1,
    max_bin_len: int = -1,
    max_array_len: int = -1,
    max_map_len: int = -1,
    max_ext_len: int = -1,
) -> Any: ...
def default_read_extended_type(typecode: int, data: bytes) -> Any: ...

# Linux only.
def _peek_pipe(fd: int, read_end: int, write_end: int, into: Union[bytearray, memoryview]) -> int: ...

class Unpacker:
    def __init__(
        self,
        file_like: Optional[_Readable] = None,
        *,
        read_size: int = 0,
        use_list: bool = True,
        raw: bool = False,
        timestamp: int = 0,
        strict_map_key: bool = True,
        object_hook: Optional[_ObjectHook] = None,
        object_pairs_hook: Optional[_PairsHook] = None,
        list_hook: Optional[_ListHook] = None,
        unicode_errors: _ErrorsName = None,
        max_buffer_size: int = 104857600,
        ext_hook: Optional[_ExtHook] = ExtType,
        max_str_len: int = -1,
        max_bin_len: int = -1,
        max_array_len: int = -1,
        max_map_len: int = -1,
        max_ext_len: int = -1,
    ) -> None: ...
    def feed(self, next_bytes: _BytesLike) -> None: ...
    def unpack(self) -> Any: ...
    def skip(self) -> None: ...
    def read_array_header(self) -> int: ...
    def read_map_header(self) -> int: ...
    def read_bytes(self, nbytes: int) -> bytes: ...
    def tell(self) -> int: ...
    def _bytes_needed(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __next__(self) -> Any: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> Any: ...

_T = TypeVar("_T")

class _DecoderOptions(TypedDict, total=False):
    unicode_errors: _ErrorsName  # None
    strict_map_key: bool  # True
    max_str_len: int  # -1
    max_bin_len: int  # -1
    max_array_len: int  # -1
    max_map_len: int  # -1
    max_ext_len: int  # -1

class Decoder(Generic[_T]):
    """Decoder(type, *, unicode_errors=None, strict_map_key=True, max_str_len=-1,
    max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)"""

    @overload
    def __init__(
        self: Decoder[_T],
        type: Type[_T],
        /,
        **options: Unpack[_DecoderOptions],
    ) -> None: ...
    @overload
    def __init__(
        self: Decoder[Any],
        type: Any,
        /,
        **options: Unpack[_DecoderOptions],
    ) -> None: ...
    def decode(self, packed: _BytesLike, /) -> _T: ...
    @property
    def type(self) -> Any: ...

class _TypedPlan:
    def __init__(self, nodes: List[Any], root: int, /) -> None: ...
