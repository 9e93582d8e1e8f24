"""The plain value typed packing writes for a value, built in Python: the
typed round-trip test and the typed-packing fuzz harness check the native
packing against it (`packb(plain(v), datetime=True)` gives the same bytes as
`packb(v, typed=True)`)."""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import uuid
from typing import Any


def plain(v: Any) -> Any:
    if dataclasses.is_dataclass(v) and not isinstance(v, type):
        return {f.name: plain(getattr(v, f.name)) for f in dataclasses.fields(v)}
    if hasattr(type(v), "__attrs_attrs__"):
        return {a.name: plain(getattr(v, a.name)) for a in type(v).__attrs_attrs__}
    if isinstance(v, enum.Enum):
        return plain(v.value)  # packed by these same rules
    if isinstance(v, (uuid.UUID, decimal.Decimal)):
        return str(v)
    if isinstance(v, (datetime.date, datetime.time)) and not isinstance(v, datetime.datetime):
        return v.isoformat()
    if isinstance(v, dict):
        return {plain(k): plain(x) for k, x in v.items()}
    if isinstance(v, (list, tuple, set, frozenset)):
        return [plain(x) for x in v]
    return v


class Attribute:
    def __init__(self, name):
        self.name = name


class AttrsShaped:
    """What typed packing looks for in an attrs class, without attrs."""

    __attrs_attrs__ = (Attribute("b"), Attribute("a"))

    def __init__(self, a, b):
        self.a, self.b = a, b
