"""Quelm as RQ's job serializer.

The module itself is the serializer: pass it to the queue and to the worker,
by object or, on the command line, by name::

    import quelm.rq
    queue = Queue(connection=redis, serializer=quelm.rq)
    # rq worker --serializer quelm.rq

RQ writes through it a job's call (the function's name, its instance, its
args and kwargs), the job's ``meta`` and its result; a failure's traceback
RQ keeps as text of its own. Values are packed with the native types on:
bytes stay bytes, ints up to 64 bits stay exact, dataclasses, enums, UUIDs
and sets travel in their plain forms, an aware datetime arrives as an aware
UTC datetime for the same instant, and a naive one is refused at enqueue
(``ValueError``). Tuples stay tuples, as RQ expects of a job's args, and as
a function's result returns them: they travel as an extension value of code
:data:`TUPLE_CODE` holding the array of their items (so an ``ExtType`` of
that code, sent by itself, would come back as a tuple).
"""

from __future__ import annotations

import datetime
from typing import Any, Tuple

from quelm._cquelm import packb, unpackb
from quelm.ext import ExtType

__all__ = ["TUPLE_CODE", "dumps", "loads"]

#: The extension code a tuple travels under.
TUPLE_CODE = 84

# What a subclass of a plain type travels as.
_BASES: Tuple[type, ...] = (dict, list, str, bytes, int, float)


def _plain(value: Any) -> Any:
    # With strict_types on, a tuple reaches this hook instead of being
    # written as an array; so do subclasses of the plain types (a namedtuple,
    # an OrderedDict, a str subclass), which travel as their base does.
    if isinstance(value, tuple):
        return ExtType(TUPLE_CODE, dumps(list(value)))
    for base in _BASES:
        if isinstance(value, base):
            return base(value)
    if isinstance(value, datetime.datetime):
        # A naive one (an aware one is written natively): refused as packing
        # refuses it without a hook.
        raise ValueError("can not serialize 'datetime.datetime' object where tzinfo=None")
    raise TypeError(f"can not serialize {type(value).__name__!r} object")


def _ext(code: int, data: bytes) -> Any:
    if code != TUPLE_CODE:
        return ExtType(code, data)
    items = _unpack(data)
    if not isinstance(items, list):
        found = type(items).__name__
        raise ValueError(f"extension {TUPLE_CODE} holds {found}, not a tuple's items")
    return tuple(items)


def _unpack(data: bytes) -> Any:
    return unpackb(data, timestamp=3, strict_map_key=False, ext_hook=_ext)


def dumps(obj: Any) -> bytes:
    """Write a job's call, meta or result as Quelm bytes."""
    return packb(obj, typed=True, strict_types=True, default=_plain)


def loads(data: bytes) -> Any:
    """Read what :func:`dumps` wrote; ``ValueError`` for anything else (a job
    another serializer wrote, say), which RQ records as the job's failure."""
    try:
        return _unpack(data)
    except ValueError as error:
        raise ValueError(f"not a job written by quelm.rq ({len(data)} bytes): {error}") from error
