"""How ``Packer(typed=True)`` sees a class: read once per class by the core.

The native packer calls :func:`describe` the first time it meets an instance
of a class it does not pack otherwise (and again after the class is changed),
and keeps the answer in a flat plan of its own. Nothing here runs per value.

The modules of the types recognised (enum, uuid, decimal, dataclasses) are
looked up in ``sys.modules`` rather than imported: a class can only derive
from a type whose module is already loaded, and ``import quelm`` stays as
cheap as it was. attrs is never imported; its classes are recognised by their
``__attrs_attrs__``.
"""

from __future__ import annotations

import datetime
import sys
from typing import Any, Optional, Tuple

# Kinds of class, as the core numbers them (src/_packer/pack_plan.h).
NONE = 0
FIELDS = 1  # dataclass or attrs instance: a map of the named attributes
VALUE = 2  # Enum member: its _value_
UUID = 3  # the 128-bit `int` attribute, formatted as 36 characters
DECIMAL = 4  # str()
DATETIME = 5  # datetime.datetime itself: a timestamp when aware
DATE = 6  # datetime.date itself: formatted natively
TIME = 7  # datetime.time itself: formatted natively when naive
ISOFORMAT = 8  # a date or time subclass: its own isoformat()
SET = 9  # set, frozenset and their subclasses: an array of the items

# (kind, attribute names), and for a record class that declares wire names
# or omitted defaults (quelm.record, quelm.Name) also the wire name of each
# attribute and, with omit_defaults, ``(default,)`` or ``()`` for each.
Description = Tuple[Any, ...]


def _loaded(module: str, name: str) -> Optional[type]:
    loaded = sys.modules.get(module)
    return getattr(loaded, name, None) if loaded is not None else None


def _subclass(cls: type, module: str, name: str) -> bool:
    base = _loaded(module, name)
    return isinstance(base, type) and issubclass(cls, base)


def _fields(cls: type, names: Tuple[str, ...]) -> Description:
    from quelm import _record

    layout = _record.pack_layout(cls, names)
    return (FIELDS, names) if layout is None else (FIELDS, names) + layout


def describe(cls: type) -> Description:
    """Return ``(kind, attribute names)`` for the instances of *cls*, and
    for a record that declares wire names or omitted defaults also their
    wire names and defaults (see Description).

    An Enum member is a named constant first: an Enum class that also
    derives from a dataclass packs its members' values.
    """
    if _subclass(cls, "enum", "Enum"):
        return VALUE, ("_value_",)
    if hasattr(cls, "__dataclass_fields__"):
        import dataclasses

        return _fields(cls, tuple(f.name for f in dataclasses.fields(cls)))
    attributes = getattr(cls, "__attrs_attrs__", None)
    if attributes is not None:
        return _fields(cls, tuple(a.name for a in attributes))
    if _subclass(cls, "uuid", "UUID"):
        return UUID, ("int",)
    if _subclass(cls, "decimal", "Decimal"):
        return DECIMAL, None
    if issubclass(cls, (set, frozenset)):
        return SET, None
    if issubclass(cls, datetime.datetime):
        # Subclasses go to `default`, as with Packer(datetime=True).
        return (DATETIME if cls is datetime.datetime else NONE), None
    if cls is datetime.date:
        return DATE, None
    if cls is datetime.time:
        return TIME, None
    if issubclass(cls, (datetime.date, datetime.time)):
        return ISOFORMAT, None
    return NONE, None
