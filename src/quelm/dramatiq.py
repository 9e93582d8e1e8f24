"""Quelm as dramatiq's message encoder.

dramatiq encodes every message with one process-wide encoder; set it before
declaring actors, in the program that sends and in the workers alike::

    import dramatiq
    import quelm.dramatiq

    dramatiq.set_encoder(quelm.dramatiq.Encoder())

A message (its actor name, arguments, options and ids) is then written as one
Quelm map, with the native types on: bytes stay bytes, ints up to 64 bits
stay exact, dataclasses, enums, UUIDs and sets travel in their plain forms,
and an aware datetime arrives as an aware UTC datetime for the same instant.
A naive datetime is refused when the message is sent (``ValueError``) rather
than guessed to be in some zone.
"""

from __future__ import annotations

from typing import Any, Dict

import dramatiq
from dramatiq.errors import DecodeError

from quelm._cquelm import packb, unpackb

__all__ = ["Encoder"]


class Encoder(dramatiq.Encoder):
    """Writes each dramatiq message as Quelm; raises dramatiq's
    ``DecodeError`` for bytes that do not hold exactly one Quelm map."""

    def encode(self, data: Dict[str, Any]) -> bytes:
        return packb(data, typed=True)

    def decode(self, data: bytes) -> Dict[str, Any]:
        try:
            fields = unpackb(data, timestamp=3, strict_map_key=False)
        except (ValueError, TypeError) as error:
            message = f"failed to decode message: {error}"
            raise DecodeError(message, data, error) from None  # type: ignore[no-untyped-call]
        if not isinstance(fields, dict):
            message = f"a message is a map, not {type(fields).__name__}"
            raise DecodeError(message, data, TypeError(message))  # type: ignore[no-untyped-call]
        return fields
