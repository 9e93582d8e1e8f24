"""quelm: a fast, hardened encoder and decoder for the Quelm binary format."""

from __future__ import annotations

from quelm._cquelm import Packer, Unpacker, default_read_extended_type, unpackb
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
    "Packer",
    "Unpacker",
    "unpackb",
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
