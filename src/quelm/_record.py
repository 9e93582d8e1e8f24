"""Declarations on record classes that typed packing and ``Decoder`` share.

``quelm.record(...)`` stores the options on the class itself; the wire name
of each field, the defaults to leave out and the rule for unknown keys are
derived here, once per class, for the packer's plan (quelm._pack_typed) and
for the Decoder's (quelm._typing) alike, so that both directions always
agree on what a record looks like on the wire.
"""

from __future__ import annotations

import dataclasses
import sys
import typing
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, TypeVar, Union

__all__ = ["record", "Name"]

_T = TypeVar("_T")

# The attribute quelm.record sets; inherited like any class attribute, so a
# subclass follows the rule of the nearest class that declares one.
OPTIONS_ATTRIBUTE = "__quelm_record__"


class Name:
    """``Annotated[T, quelm.Name("ID")]``: the field travels as ``"ID"``.

    A field's own name wins over the rename rule of its class.
    """

    __slots__ = ("name",)
    name: str

    def __init__(self, name: str) -> None:
        if not isinstance(name, str):
            raise TypeError(f"Name() takes a str, not {type(name).__name__}")
        object.__setattr__(self, "name", name)

    def __setattr__(self, attribute: str, value: Any) -> None:
        raise AttributeError("Name is immutable")

    def __repr__(self) -> str:
        return f"quelm.Name({self.name!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Name) and other.name == self.name

    def __hash__(self) -> int:
        return hash((Name, self.name))


class RecordOptions(NamedTuple):
    rename: Optional[Callable[[str], str]]
    omit_defaults: bool
    forbid_unknown_fields: bool


def _words(name: str) -> Tuple[str, List[str]]:
    """Leading underscores, then the words between the other underscores."""
    stripped = name.lstrip("_")
    return name[: len(name) - len(stripped)], [w for w in stripped.split("_") if w]


def _camel(name: str) -> str:
    prefix, words = _words(name)
    if not words:
        return name
    return prefix + words[0] + "".join(w[:1].upper() + w[1:] for w in words[1:])


def _pascal(name: str) -> str:
    prefix, words = _words(name)
    if not words:
        return name
    return prefix + "".join(w[:1].upper() + w[1:] for w in words)


def _kebab(name: str) -> str:
    prefix, words = _words(name)
    return prefix + "-".join(words) if words else name


_RULES: Dict[str, Callable[[str], str]] = {"camel": _camel, "pascal": _pascal, "kebab": _kebab}


def _is_record_class(cls: Any) -> bool:
    return isinstance(cls, type) and (dataclasses.is_dataclass(cls) or
                                      hasattr(cls, "__attrs_attrs__"))


@typing.overload
def record(cls: type[_T], /) -> type[_T]: ...
@typing.overload
def record(*, rename: Union[str, Callable[[str], str], None] = None, omit_defaults: bool = False,
           forbid_unknown_fields: bool = False) -> Callable[[type[_T]], type[_T]]: ...


def record(cls: Any = None, /, *, rename: Any = None, omit_defaults: bool = False,
           forbid_unknown_fields: bool = False) -> Any:
    """Declare how a dataclass or attrs class travels; returns the class.

    ``rename``: ``"camel"`` (``user_id`` → ``userId``), ``"pascal"``
    (``UserId``), ``"kebab"`` (``user-id``) or a callable from the Python
    name to the wire name, for every field the class has (inherited ones
    included); ``Annotated[T, quelm.Name("ID")]`` wins for one field.
    ``omit_defaults``: typed packing leaves out a field whose value is its
    default (of the same type and equal; for a ``default_factory``, what
    the factory returned when the class was first packed), and ``Decoder``
    fills it back; a field typed as a ``Literal`` (a union's tag) is always
    written. ``forbid_unknown_fields``: ``Decoder`` refuses a key that
    is no field's wire name, instead of skipping it.

    Usable bare (``@quelm.record``) or with options. The class is returned
    unchanged apart from the declaration. Declared on a class already in use,
    it follows the rule for any change to a class: typed packing reads the
    class again on its next pack, while a Decoder plan, compiled once per
    type, keeps what it saw.
    """
    if isinstance(rename, str):
        if rename not in _RULES:
            raise ValueError(f"rename must be 'camel', 'pascal', 'kebab' or a callable, "
                             f"not {rename!r}")
        rule: Optional[Callable[[str], str]] = _RULES[rename]
    elif rename is None or callable(rename):
        rule = rename
    else:
        raise TypeError(f"rename must be a str or a callable, not {type(rename).__name__}")
    options = RecordOptions(rule, bool(omit_defaults), bool(forbid_unknown_fields))

    def declare(target: Any) -> Any:
        if not _is_record_class(target):
            raise TypeError(f"quelm.record takes a dataclass or an attrs class, "
                            f"not {target!r}")
        setattr(target, OPTIONS_ATTRIBUTE, options)
        return target

    return declare if cls is None else declare(cls)


def options_of(cls: Any) -> Optional[RecordOptions]:
    options = getattr(cls, OPTIONS_ATTRIBUTE, None)
    return options if isinstance(options, RecordOptions) else None


def declared_name(hint: Any) -> Optional[str]:
    """The name an ``Annotated[T, Name(...)]`` hint gives its field, if any."""
    if typing.get_origin(hint) is not typing.Annotated:
        return None
    names = [m.name for m in getattr(hint, "__metadata__", ()) if isinstance(m, Name)]
    return names[-1] if names else None


def wire_names(cls: Any, names: Sequence[str], hints: Dict[str, Any]) -> Tuple[str, ...]:
    """The wire name of each field of *cls*, in order; TypeError when two
    fields would travel under the same name."""
    options = options_of(cls)
    rule = options.rename if options is not None else None
    wires = []
    for name in names:
        wire = declared_name(hints.get(name))
        if wire is None:
            wire = rule(name) if rule is not None else name
            if not isinstance(wire, str):
                raise TypeError(f"the rename rule of {cls.__qualname__} returned "
                                f"{type(wire).__name__} for {name!r}, not str")
        wires.append(wire)
    seen: Dict[str, str] = {}
    for name, wire in zip(names, wires):
        if wire in seen:
            raise TypeError(f"fields {seen[wire]!r} and {name!r} of {cls.__qualname__} "
                            f"would both travel as {wire!r}")
        seen[wire] = name
    return tuple(wires)


def field_hints(cls: Any) -> Dict[str, Any]:
    """The annotations of *cls* with their ``Annotated`` metadata, resolved
    where they can be; ones that cannot are taken as written (a string
    carries no Name)."""
    try:
        return typing.get_type_hints(cls, localns={cls.__name__: cls}, include_extras=True)
    except Exception:
        hints: Dict[str, Any] = {}
        for klass in reversed(cls.__mro__):
            hints.update(getattr(klass, "__dict__", {}).get("__annotations__", {}))
        return hints


# The marker for "no default" in a pack layout: a field that is always written.
NO_DEFAULT: Tuple[()] = ()


def _is_literal(hint: Any) -> bool:
    while typing.get_origin(hint) is typing.Annotated:
        hint = typing.get_args(hint)[0]
    return typing.get_origin(hint) is typing.Literal


def _pack_defaults(cls: Any, names: Sequence[str], hints: Dict[str, Any]) -> Tuple[Any, ...]:
    """Per field, ``(default,)`` or NO_DEFAULT: a factory is called once, now.
    A field typed as a Literal is always written: it may be the tag that
    tells a union's members apart, which a reader needs to see."""
    found: Dict[str, Any] = {}
    if dataclasses.is_dataclass(cls):
        for f in dataclasses.fields(cls):
            if f.default is not dataclasses.MISSING:
                found[f.name] = (f.default,)
            elif f.default_factory is not dataclasses.MISSING:
                found[f.name] = (f.default_factory(),)
    else:
        nothing = getattr(sys.modules.get("attr"), "NOTHING", object())
        for a in cls.__attrs_attrs__:
            default = a.default
            if default is nothing:
                continue
            factory = getattr(default, "factory", None)
            if factory is not None and hasattr(default, "takes_self"):
                if not default.takes_self:  # one that reads the instance cannot be known
                    found[a.name] = (factory(),)
                continue
            found[a.name] = (default,)
    return tuple(NO_DEFAULT if _is_literal(hints.get(name)) else found.get(name, NO_DEFAULT)
                 for name in names)


def pack_layout(cls: Any, names: Tuple[str, ...]) -> Optional[Tuple[Any, ...]]:
    """What typed packing needs beyond the attribute names: ``(wire names,
    defaults or None)``, or None for a class that declares nothing."""
    options = options_of(cls)
    hints = field_hints(cls)
    wires = wire_names(cls, names, hints)
    omit = options is not None and options.omit_defaults
    if wires == names and not omit:
        return None
    return wires, (_pack_defaults(cls, names, hints) if omit else None)
