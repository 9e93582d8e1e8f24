"""Quelm as a kombu serializer, and so as a Celery task and result format.

kombu reads the entry-point group ``kombu.serializers`` when it is imported
and registers each entry under its name; the package declares::

    [project.entry-points."kombu.serializers"]
    quelm = "quelm.kombu:register_args"

so that, once quelm is installed, a Celery app selects it by name::

    app.conf.task_serializer = "quelm"
    app.conf.result_serializer = "quelm"
    app.conf.accept_content = ["quelm"]

Messages carry the content type ``application/x-quelm`` with the content
encoding ``binary`` (the payload is bytes, never text to be decoded).

This module imports neither kombu nor Celery: it is loaded by kombu itself,
through the entry point. A program that runs quelm from a source tree
(without its installed entry point) registers the same tuple by hand::

    import kombu.serialization
    from quelm.kombu import register_args
    kombu.serialization.register("quelm", *register_args)
"""

from __future__ import annotations

from typing import Any, Dict, Tuple

from quelm._cquelm import packb, unpackb

__all__ = ["CONTENT_TYPE", "CONTENT_ENCODING", "dumps", "loads", "register_args"]

CONTENT_TYPE = "application/x-quelm"
CONTENT_ENCODING = "binary"

# How task arguments and results are written: with the native types on, so
# dataclasses, enums, UUIDs, decimals, dates and sets travel in their plain
# forms (maps, values, strings, arrays) and aware datetimes as timestamps.
# A naive datetime is refused (ValueError, which kombu reports as
# EncodeError) rather than guessed to be UTC or local time: the worker could
# run in another zone, and a silently shifted time is worse than an error.
_PACK_OPTIONS: Dict[str, Any] = {"typed": True}

# How they are read back: timestamps as aware UTC datetimes (the instant
# sent, whatever zone it was written in); maps with any hashable key, since
# Celery's own peers wrote the message and task keyword arguments hold
# dicts keyed by ints as often as by strings.
_UNPACK_OPTIONS: Dict[str, Any] = {"timestamp": 3, "strict_map_key": False}


def dumps(obj: Any) -> bytes:
    """Encode a message body or a task result as Quelm bytes."""
    return packb(obj, **_PACK_OPTIONS)


def loads(data: Any) -> Any:
    """Decode a message body or a task result written by :func:`dumps`.

    *data* is any bytes-like object; a message that holds more or less than
    exactly one value raises ``ValueError`` (which kombu reports as
    ``DecodeError``). A map key that :func:`dumps` wrote as an array (a
    tuple or frozenset key) arrives as a tuple, and one it wrote as a map (a
    frozen dataclass key) as a tuple of its (key, value) pairs.
    """
    try:
        return unpackb(data, **_UNPACK_OPTIONS)
    except TypeError:
        # An unhashable key: the message is read again with such keys made
        # hashable. Only such messages pay for the hook.
        return unpackb(data, object_pairs_hook=_dict_with_hashable_keys, **_UNPACK_OPTIONS)


def _hashable(key: Any) -> Any:
    if type(key) is list:
        return tuple(_hashable(item) for item in key)
    if type(key) is dict:
        return tuple((k, _hashable(v)) for k, v in key.items())
    return key


def _dict_with_hashable_keys(pairs: Any) -> Dict[Any, Any]:
    return {_hashable(key): value for key, value in pairs}


#: What ``kombu.serialization.register(name, ...)`` takes after the name:
#: (encoder, decoder, content type, content encoding).
register_args: Tuple[Any, Any, str, str] = (dumps, loads, CONTENT_TYPE, CONTENT_ENCODING)
