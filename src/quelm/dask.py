"""Quelm as a serialization family of Dask's distributed scheduler.

Importing this module registers the family ``"quelm"`` with distributed, so
that every process which imports it can write and read it: the client, and
the workers through distributed's preload mechanism::

    cluster = LocalCluster(preload=["quelm.dask"])   # or: dask worker --preload quelm.dask
    client = Client(cluster, serializers=["quelm", "pickle"],
                    deserializers=["quelm", "pickle"])

A value goes out as one Quelm frame, packed with the native types on
(``typed=True``); a header names the value's class when it is not one that
plain decoding gives back (a dataclass, an attrs class, an enum, a tuple, a
set, a UUID...), and the reader builds that class with a :class:`Decoder`.

The family promises that what comes out equals what went in: :func:`dumps`
reads each frame back before handing it over, and a value that would not
come back equal, and of the same class, raises ``NotImplementedError``, on
which distributed moves to the next family in the list (``"pickle"``
above). That covers a value Quelm cannot carry at all (a complex number, an
int beyond 64 bits, a naive datetime) and one it would carry only as a
plainer form (a tuple or a set or a dataclass nested in a list, which
would arrive as a list or a dict). Aware datetimes arrive as the same
instant in UTC.

The reader imports the module that a header names, as unpickling does, and
builds only what a Decoder builds (dataclasses, attrs classes, enums, the
standard types): keep the family, like pickle, to peers you trust.
"""

from __future__ import annotations

import datetime
import functools
import importlib
from typing import Any, Dict, List, Sequence, Tuple

from distributed.protocol.serialize import register_serialization_family

from quelm._cquelm import Decoder, packb, unpackb

__all__ = ["dumps", "loads"]

# Classes plain decoding gives back as they are, so the header need not name
# them.
_PLAIN = frozenset({type(None), bool, int, float, str, bytes, list, dict, datetime.datetime})

_UNPACK_OPTIONS: Dict[str, Any] = {"timestamp": 3, "strict_map_key": False}


def dumps(value: Any) -> Tuple[Dict[str, str], List[bytes]]:
    """Write *value* as a header and one Quelm frame.

    Raises ``NotImplementedError`` for a value that would not come back equal
    and of the same class, so that distributed tries its next family.
    """
    cls = type(value)
    header = {} if cls in _PLAIN else {"type": f"{cls.__module__}:{cls.__qualname__}"}
    try:
        frame = packb(value, typed=True)
        again = loads(header, [frame])
        same = type(again) is cls and bool(again == value)
    except Exception as error:
        # Whatever the failure (a type quelm cannot pack, a class that cannot
        # be found by its name or decoded into, an exception from the class's
        # own code), the value is one for the next family.
        raise NotImplementedError(f"quelm cannot carry {cls.__qualname__}: {error}") from error
    if not same:
        raise NotImplementedError(f"quelm would not give back this {cls.__qualname__} unchanged")
    return header, [frame]


def loads(header: Dict[str, Any], frames: Sequence[Any]) -> Any:
    """Read the value :func:`dumps` wrote as *header* and *frames*."""
    data = frames[0] if len(frames) == 1 else b"".join(frames)
    name = header.get("type")
    if name is None:
        return unpackb(data, **_UNPACK_OPTIONS)
    return _decoder(_class_named(name)).decode(data)


def _class_named(name: str) -> type:
    """The class *name* ("module:qualified.name") stands for, importing its
    module if need be, as unpickling would."""
    module, _, qualname = name.partition(":")
    found: Any = importlib.import_module(module)
    for part in qualname.split("."):
        found = getattr(found, part)
    if not isinstance(found, type):
        raise TypeError(f"{name} is not a class")
    return found


# A Decoder compiles its class once; keep those of the classes in use. Keyed
# by the class itself (a class hashes and compares by identity), so a class
# redefined under the same name gets a Decoder of its own.
@functools.lru_cache(maxsize=256)
def _decoder(cls: type) -> Decoder[Any]:
    return Decoder(cls, strict_map_key=False)


register_serialization_family("quelm", dumps, loads)  # type: ignore[no-untyped-call]
