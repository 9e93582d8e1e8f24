"""Compiling a type annotation into the flat plan that ``Decoder`` runs.

The native decoder never looks at annotations: this module walks a type once
(``typing.get_type_hints``, ``get_origin``, ``get_args``) and describes it as
a list of nodes, each a tuple the native ``_TypedPlan`` reads::

    (kind, label, cls, child, child2, fields, extra, families)

``child``/``child2`` and the node numbers inside ``fields`` and ``extra`` are
indices into the same list, so a recursive dataclass is a cycle of indices,
not a recursion. ``label`` names the type in error messages.

Plans are cached by the identity of the type (and of every class and
argument inside it), so building a second ``Decoder`` for the same type
shares the first one's plan, and a class that merely compares equal to
another never does.
"""

from __future__ import annotations

import collections.abc
import dataclasses
import datetime
import decimal
import enum
import inspect
import operator
import sys
import types
import typing
import uuid
from typing import Any, Dict, List, Optional, Set, Tuple

from quelm import _cquelm, _record

# Node kinds; the native side (src/_typed/decode_plan.h) uses the same numbers.
ANY, NONE, BOOL, INT, FLOAT, STR, BYTES, BYTEARRAY = range(8)
LIST, TUPLE_VAR, TUPLE_FIXED, SET, FROZENSET, DICT = range(8, 14)
UNION, LITERAL, RECORD, TYPEDDICT, NAMEDTUPLE, ENUM = range(14, 20)
UUID, DECIMAL, DATETIME, DATE, TIME = range(20, 25)
TAGGED, CHECKED = 25, 26

# Wire families, as bits of the masks that decide whether a union's members
# can be told apart by the first byte of a value.
F_NIL, F_BOOL, F_INT, F_FLOAT, F_STR, F_BIN, F_ARRAY, F_MAP, F_EXT, F_TIMESTAMP = (
    1 << i for i in range(10)
)
FAMILY_COUNT = 10
ALL_FAMILIES = (1 << FAMILY_COUNT) - 1

# Record construction modes (field tuples: wire name, init name, node,
# default, factory, flags).
CALL_ALL = 0  # generated __init__: every field passed, defaults filled in here
CALL_PRESENT = 1  # any other __init__: only the keys present, by keyword
FIELD_REQUIRED = 1
FIELD_KEYWORD = 2
FIELD_HAS_DEFAULT = 4
FIELD_HAS_FACTORY = 8
# A tagged union's entries are field tuples too: (value, value, member node,
# None, None, TAG_STR) for a str tag value, matched by its bytes, and
# (repr, repr, member node, value, None, FIELD_HAS_DEFAULT) for any other.
TAG_STR = 16

_SCALARS: Dict[Any, Tuple[int, int, int]] = {
    # type: (kind, families taken as the type's own, families converted)
    int: (INT, F_INT, 0),
    float: (FLOAT, F_FLOAT, F_INT),
    str: (STR, F_STR, 0),
    bytes: (BYTES, F_BIN, 0),
    bytearray: (BYTEARRAY, F_BIN, 0),
    bool: (BOOL, F_BOOL, 0),
    type(None): (NONE, F_NIL, 0),
    uuid.UUID: (UUID, F_STR | F_BIN, 0),
    decimal.Decimal: (DECIMAL, F_STR, F_INT),
    datetime.datetime: (DATETIME, F_TIMESTAMP, 0),
    datetime.date: (DATE, F_STR, 0),
    datetime.time: (TIME, F_STR, 0),
}

_BARE = {list: LIST, tuple: TUPLE_VAR, set: SET, frozenset: FROZENSET, dict: DICT}
_GENERIC = {
    list: LIST,
    set: SET,
    frozenset: FROZENSET,
    # abstract forms get the concrete type an array decodes to
    collections.abc.Sequence: LIST,
    collections.abc.MutableSequence: LIST,
    collections.abc.MutableSet: SET,
    collections.abc.Set: FROZENSET,
}
_MAPPINGS = (dict, collections.abc.Mapping, collections.abc.MutableMapping)

_UNION_TYPES: Tuple[Any, ...] = (typing.Union,)
if sys.version_info >= (3, 10):
    _UNION_TYPES += (types.UnionType,)

_REQUIRED_WRAPPERS: Tuple[Any, ...] = ()
for _module in (typing, sys.modules.get("typing_extensions")):
    for _name in ("Required", "NotRequired", "ReadOnly"):
        if _module is not None and hasattr(_module, _name):
            _REQUIRED_WRAPPERS += (getattr(_module, _name),)

# The pseudo-fields of InitVar annotations, and the default the generated
# __init__ gives a field with a default_factory.
_INITVAR = getattr(dataclasses, "_FIELD_INITVAR", object())
_FACTORY = getattr(dataclasses, "_HAS_DEFAULT_FACTORY", object())

_CACHE_LIMIT = 512
_plans: Dict[Any, Tuple[Any, Any]] = {}


def _identity(tp: Any) -> Any:
    """A key naming *tp* by the identities of what it is made of: the alias
    type, its origin and, in turn, its arguments. Never equality, which a
    metaclass may define as it likes."""
    origin = typing.get_origin(tp)
    if origin is None:
        return id(tp)
    return (id(type(tp)), id(origin), tuple(_identity(a) for a in typing.get_args(tp)))


def _same(a: Any, b: Any) -> bool:
    """Whether *a* and *b* are the same type, object for object."""
    if a is b:
        return True
    origin = typing.get_origin(a)
    if origin is None or type(a) is not type(b) or typing.get_origin(b) is not origin:
        return False
    if getattr(a, "_name", None) != getattr(b, "_name", None):
        return False
    args_a, args_b = typing.get_args(a), typing.get_args(b)
    return len(args_a) == len(args_b) and all(map(_same, args_a, args_b))


def plan_for(tp: Any) -> Any:
    """The native plan of *tp* (cached), or TypeError naming what it cannot take."""
    key = _identity(tp)
    entry = _plans.get(key)
    if entry is not None and _same(entry[0], tp):
        return entry[1]
    plan = _Compiler().build(tp)
    if len(_plans) >= _CACHE_LIMIT:
        _plans.clear()
    _plans[key] = (tp, plan)  # the entry keeps alive every object its key names
    return plan


def _label(tp: Any) -> str:
    """The name of *tp* in error messages: ``list[Item]``, ``int | None``."""
    if tp is type(None) or tp is None:
        return "None"
    if tp is Any:
        return "Any"
    if tp is Ellipsis:
        return "..."
    if tp == ():
        return "()"
    origin = typing.get_origin(tp)
    args = typing.get_args(tp)
    if origin is typing.Annotated:
        return _label(args[0])
    if origin in _UNION_TYPES:
        return " | ".join(_label(a) for a in args)
    if origin is typing.Literal:
        return f"Literal[{', '.join(repr(a) for a in args)}]"
    if origin is not None and args:
        name = getattr(tp, "_name", None) or getattr(origin, "__name__", None) or repr(origin)
        return f"{name}[{', '.join(_label(a) for a in args)}]"
    if isinstance(tp, type):
        return tp.__name__
    return getattr(tp, "__name__", None) or repr(tp).replace("typing.", "")


def _is_typeddict(tp: Any) -> bool:
    return isinstance(tp, type) and issubclass(tp, dict) and hasattr(tp, "__required_keys__")


def _is_namedtuple(tp: Any) -> bool:
    return isinstance(tp, type) and issubclass(tp, tuple) and hasattr(tp, "_fields")


def _is_record(tp: Any) -> bool:
    return isinstance(tp, type) and (dataclasses.is_dataclass(tp) or
                                     hasattr(tp, "__attrs_attrs__"))


def _is_map_record(tp: Any) -> bool:
    """A dataclass, attrs class (generic ones with their arguments included)
    or TypedDict: the members a tag tells apart."""
    return _is_record(typing.get_origin(tp) or tp) or _is_typeddict(tp)


def _unwrapped(hint: Any) -> Any:
    while typing.get_origin(hint) is typing.Annotated or typing.get_origin(hint) in _REQUIRED_WRAPPERS:
        hint = typing.get_args(hint)[0]
    return hint


def _literal_fields(tp: Any) -> Dict[str, Tuple[Any, ...]]:
    """The fields of a record typed as a Literal, by wire name: their wire
    values (an Enum member's value), in order."""
    cls = typing.get_origin(tp) or tp
    hints = _hints(cls)
    if _is_typeddict(cls):
        names = list(hints)
        wires: Tuple[str, ...] = tuple(names)
    else:
        if dataclasses.is_dataclass(cls):
            names = [f.name for f in dataclasses.fields(cls) if f.init]
        else:
            names = [a.name for a in cls.__attrs_attrs__ if a.init]
        wires = _record.wire_names(cls, names, hints)
    found = {}
    for name, wire in zip(names, wires):
        hint = _unwrapped(hints.get(name))
        if typing.get_origin(hint) is typing.Literal:
            found[wire] = tuple(v.value if isinstance(v, enum.Enum) else v
                                for v in typing.get_args(hint))
    return found


# Constraints, recognised by the attributes of the annotated-types
# convention (no dependency on any package that provides them): attribute,
# check number (src/_typed/decode_checks.h), and what the message expects.
CHECK_GT, CHECK_GE, CHECK_LT, CHECK_LE, CHECK_MULTIPLE_OF, CHECK_MIN_LEN, CHECK_MAX_LEN = range(7)
_CHECKS = (
    ("gt", CHECK_GT, "a value > {!r}"),
    ("ge", CHECK_GE, "a value >= {!r}"),
    ("lt", CHECK_LT, "a value < {!r}"),
    ("le", CHECK_LE, "a value <= {!r}"),
    ("multiple_of", CHECK_MULTIPLE_OF, "a multiple of {!r}"),
    ("min_length", CHECK_MIN_LEN, "a length >= {!r}"),
    ("max_length", CHECK_MAX_LEN, "a length <= {!r}"),
)


def _constraints(metadata: Tuple[Any, ...]) -> Tuple[Any, ...]:
    """The checks that *metadata* declares, in order; anything else (a
    docstring, quelm.Name, a class) declares none."""
    checks = []
    for item in metadata:
        if isinstance(item, (type, str, bytes, int, float, _record.Name)):
            continue
        for attribute, check, expected in _CHECKS:
            try:
                bound = getattr(item, attribute, None)
            except Exception:
                continue
            if bound is None or callable(bound):
                continue
            if check in (CHECK_MIN_LEN, CHECK_MAX_LEN):
                if type(bound) is not int:
                    continue
                if check == CHECK_MIN_LEN and bound <= 0:  # Len() and MinLen(0) bound nothing
                    continue
            checks.append((check, bound, expected.format(bound)))
    return tuple(checks)


def _substitute(hint: Any, mapping: Dict[Any, Any]) -> Any:
    """*hint* with the type variables in *mapping* replaced (unbound ones by Any)."""
    if isinstance(hint, typing.TypeVar):
        return mapping.get(hint, Any)
    params = getattr(hint, "__parameters__", ())
    if params and typing.get_origin(hint) is not None:
        return hint[tuple(mapping.get(p, Any) for p in params)]
    return hint


def _unwrap(tp: Any) -> Any:
    """*tp* without the wrappers that change nothing on the wire: NewType,
    Annotated, Required and its kin."""
    while True:
        supertype = getattr(tp, "__supertype__", None)
        if supertype is not None:
            tp = supertype
        elif typing.get_origin(tp) is typing.Annotated or \
                typing.get_origin(tp) in _REQUIRED_WRAPPERS:
            tp = typing.get_args(tp)[0]
        else:
            return tp


def _union_members(args: Tuple[Any, ...]) -> List[Any]:
    """The members of a union, with the unions nested inside it (through
    Annotated, NewType, Optional) flattened into it."""
    members: List[Any] = []
    for arg in args:
        bare = _unwrap(arg)
        if typing.get_origin(bare) in _UNION_TYPES:
            members.extend(_union_members(typing.get_args(bare)))
        else:  # as written: its Annotated metadata may constrain it
            members.append(arg)
    return members


def _own_annotations(cls: Any) -> Dict[str, Any]:
    """The annotations *cls* declares itself (not those it inherits)."""
    own = cls.__dict__.get("__annotations__")
    if own is None and hasattr(inspect, "get_annotations"):  # made on demand
        try:
            own = inspect.get_annotations(cls)
        except NameError:
            own = None
    return own or {}


def _record_hints(tp: Any, cls: Any) -> Dict[str, Any]:
    """The annotations of the record class *cls*, given as *tp*, with every
    type variable bound: those of *cls* by the arguments of *tp* (``Box[int]``),
    those of its generic bases by the arguments each subclass gave them
    (``class IntBox(Box[int])``); unbound ones become Any. An InitVar stands
    for the type it wraps."""
    bindings = {id(cls): dict(zip(getattr(cls, "__parameters__", ()), typing.get_args(tp)))}
    for klass in cls.__mro__:
        mapping = bindings.get(id(klass), {})
        for base in klass.__dict__.get("__orig_bases__", ()):
            origin = typing.get_origin(base)
            if origin is not None and id(origin) not in bindings:
                params = getattr(origin, "__parameters__", ())
                bindings[id(origin)] = {p: _substitute(a, mapping)
                                        for p, a in zip(params, typing.get_args(base))}
    bound = {}
    for name, hint in _hints(cls).items():
        # The class that declares the field decides what its variables mean.
        owner = next((k for k in cls.__mro__ if name in _own_annotations(k)), cls)
        if isinstance(hint, dataclasses.InitVar):
            hint = hint.type
        bound[name] = _substitute(hint, bindings.get(id(owner), {}))
    return bound


def _generated_init(cls: Any, positional: List[Any], keyword: List[Any]) -> bool:
    """Whether *cls*'s ``__init__`` is, as far as can be proven, the one the
    dataclass decorator wrote: compiled from text and taking exactly the init
    fields, in their order, each with the field's own default object. Only
    then does passing every field by position, defaults filled in here, do
    what ``cls(**fields)`` does."""
    init: Any = getattr(cls, "__init__", None)  # a subclass's may be its base's
    code = getattr(init, "__code__", None)
    if code is None or code.co_filename != "<string>" or code.co_posonlyargcount:
        return False
    if code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS):
        return False
    names = [f.name for f in positional + keyword]
    if (code.co_argcount, code.co_kwonlyargcount) != (1 + len(positional), len(keyword)) or \
            list(code.co_varnames[1:1 + len(names)]) != names:
        return False

    def default(f: Any) -> Any:
        return _FACTORY if f.default is dataclasses.MISSING else f.default

    def given(f: Any) -> bool:
        return f.default is not dataclasses.MISSING or \
            f.default_factory is not dataclasses.MISSING

    want = [default(f) for f in positional if given(f)]
    got = list(init.__defaults__ or ())
    want_kw = {f.name: default(f) for f in keyword if given(f)}
    got_kw = init.__kwdefaults__ or {}
    return len(got) == len(want) and all(map(operator.is_, got, want)) and \
        got_kw.keys() == want_kw.keys() and all(got_kw[k] is want_kw[k] for k in want_kw)


def _hints(cls: Any) -> Dict[str, Any]:
    """Annotations of *cls* with string and forward references resolved; the
    class's own name resolves to itself even when it is defined in a function."""
    # Each class of the MRO resolves in its own module's globals.
    try:
        return typing.get_type_hints(cls, localns={cls.__name__: cls}, include_extras=True)
    except NameError as exc:
        raise TypeError(f"cannot resolve the annotations of {cls.__qualname__}: {exc}") from None
    except TypeError:
        # Python 3.9 refuses a string annotation that names an InitVar
        # ("Forward references must evaluate to types"): resolve them here.
        return _hints_by_eval(cls)


def _hints_by_eval(cls: Any) -> Dict[str, Any]:
    """What get_type_hints gives, evaluating string annotations without its
    check that each is a type."""
    hints: Dict[str, Any] = {}
    for klass in reversed(cls.__mro__):
        module = sys.modules.get(getattr(klass, "__module__", ""), None)
        globalns = dict(getattr(module, "__dict__", {}))
        localns = {cls.__name__: cls, klass.__name__: klass}
        for name, hint in _own_annotations(klass).items():
            try:
                if isinstance(hint, str):
                    hint = eval(hint, globalns, localns)  # noqa: S307 - the class's own annotation
                hint = typing._eval_type(hint, globalns, localns)  # type: ignore[attr-defined]
            except NameError as exc:
                raise TypeError(
                    f"cannot resolve the annotations of {cls.__qualname__}: {exc}") from None
            hints[name] = hint
    return hints


class _Compiler:
    def __init__(self) -> None:
        self.nodes: List[Any] = []
        self.masks: List[Tuple[int, int]] = []
        self.memo: Dict[int, int] = {}
        self.keep: List[Any] = []  # keeps memo keys alive while compiling
        # generic records by their aliases' identities: Tree[int] inside Tree[int]
        self.generics: Dict[Any, Tuple[Any, int]] = {}

    def build(self, tp: Any) -> Any:
        root = self.node(tp)
        for kind, label, _, child, *_ in self.nodes:
            if kind in (SET, FROZENSET, DICT) and self.never_hashable(child, set()):
                raise TypeError(f"Decoder cannot decode into {label}: its "
                                f"{'keys' if kind == DICT else 'items'}, "
                                f"{self.nodes[child][1]}, can never be hashed")
        return _cquelm._TypedPlan(self.nodes, root)

    def never_hashable(self, index: int, seen: Set[int]) -> bool:
        """Whether no value node *index* decodes can be hashed (a list, a dict,
        a dataclass without __hash__, a tuple holding one of them)."""
        kind, _, cls, _, _, fields, extra, _ = self.nodes[index]
        if kind in (LIST, SET, DICT, BYTEARRAY, TYPEDDICT):
            return True
        if kind == RECORD:
            return getattr(cls, "__hash__", None) is None
        if index in seen:  # a named tuple holding itself: its other items decide
            return False
        seen.add(index)
        if kind == UNION:
            return all(self.never_hashable(m, seen) for m in set(extra) if m != -1)
        items = extra if kind == TUPLE_FIXED else [f[2] for f in fields] \
            if kind == NAMEDTUPLE else ()
        return any(self.never_hashable(i, seen) for i in items)

    # -- nodes -----------------------------------------------------------------

    def new(self, kind: int, tp: Any, own: int, converted: int = 0, **parts: Any) -> int:
        index = len(self.nodes)
        self.nodes.append(None)
        self.masks.append((own, converted))
        self.fill(index, kind, tp, **parts)
        return index

    def fill(self, index: int, kind: int, tp: Any, *, cls: Any = None, child: int = -1,
             child2: int = -1, fields: Tuple[Any, ...] = (), extra: Any = None) -> None:
        own, converted = self.masks[index]
        self.nodes[index] = (kind, _label(tp), cls, child, child2, tuple(fields), extra,
                             own | converted)

    def node(self, tp: Any) -> int:
        key = id(tp)
        if key in self.memo:
            return self.memo[key]
        index = self.make(tp)
        self.memo[key] = index
        self.keep.append(tp)
        return index

    def make(self, tp: Any) -> int:
        if tp is Any or tp is object:
            return self.new(ANY, Any, ALL_FAMILIES)
        if tp is None:
            tp = type(None)
        if hasattr(tp, "__supertype__"):  # NewType, also of None
            return self.node(tp.__supertype__)
        origin = typing.get_origin(tp)
        args = typing.get_args(tp)
        if origin is typing.Annotated:
            checks = _constraints(getattr(tp, "__metadata__", ()))
            return self.checked(tp, args[0], checks) if checks else self.node(args[0])
        if origin in _REQUIRED_WRAPPERS:
            return self.node(args[0])
        if origin in _UNION_TYPES:
            return self.union(tp, args)
        if origin is typing.Literal:
            return self.literal(tp, args)
        if isinstance(tp, type) and tp in _SCALARS:
            kind, own, converted = _SCALARS[tp]
            return self.new(kind, tp, own, converted)
        if isinstance(tp, type) and issubclass(tp, enum.Enum):
            return self.enum(tp)
        if tp in _BARE:
            return self.new(_BARE[tp], tp, F_MAP if tp is dict else F_ARRAY,
                            child=self.node(Any), child2=self.node(Any))
        if _is_record(origin if origin is not None else tp):
            return self.record(tp)
        if origin is not None:
            return self.generic(tp, origin, args)
        if _is_typeddict(tp):
            return self.typeddict(tp)
        if _is_namedtuple(tp):
            return self.namedtuple(tp)
        if isinstance(tp, (str, typing.ForwardRef)):
            raise TypeError(f"Decoder cannot resolve the forward reference {tp!r} here; "
                            "use it inside a class whose module defines it")
        raise TypeError(f"Decoder cannot decode into {_label(tp)}: not a supported type")

    def generic(self, tp: Any, origin: Any, args: Tuple[Any, ...]) -> int:
        if origin in _GENERIC:
            (item,) = args or (Any,)
            return self.new(_GENERIC[origin], tp, F_ARRAY, child=self.node(item))
        if tp is typing.Tuple:  # bare, like tuple
            return self.new(TUPLE_VAR, tp, F_ARRAY, child=self.node(Any))
        if origin is tuple:
            if len(args) == 2 and args[1] is Ellipsis:
                return self.new(TUPLE_VAR, tp, F_ARRAY, child=self.node(args[0]))
            if args == ((),):  # typing.Tuple[()] on 3.9 and 3.10
                args = ()
            index = self.reserve()
            items = tuple(self.node(a) for a in args)
            self.masks[index] = (F_ARRAY, 0)
            self.fill(index, TUPLE_FIXED, tp, extra=items)
            return index
        if origin in _MAPPINGS:
            key, value = args or (Any, Any)
            return self.new(DICT, tp, F_MAP, child=self.node(key), child2=self.node(value))
        raise TypeError(f"Decoder cannot decode into {_label(tp)}: not a supported type")

    def checked(self, tp: Any, inner: Any, checks: Tuple[Any, ...]) -> int:
        """*inner* with constraints checked once its value is built; it takes
        on the wire what *inner* takes."""
        index = self.reserve()
        child = self.node(inner)
        if self.nodes[child] is not None and self.nodes[child][0] == UNION:
            raise TypeError(f"Decoder cannot decode into {_label(tp)}: constraints apply to "
                            "one type, not to a union; put them on its members")
        self.masks[index] = self.masks[child]
        self.fill(index, CHECKED, inner, child=child, extra=checks)
        return index

    def reserve(self) -> int:
        self.nodes.append(None)
        self.masks.append((0, 0))
        return len(self.nodes) - 1

    def union(self, tp: Any, args: Tuple[Any, ...]) -> int:
        # Literal members merge into one, so Literal["a"] | Literal["b"] is
        # one set of values rather than two members on the same family.
        args = tuple(_union_members(args))
        if any(_unwrap(a) is Any or _unwrap(a) is object for a in args):  # Optional[Any] is Any
            return self.new(ANY, tp, ALL_FAMILIES)
        literals = [a for a in args if typing.get_origin(a) is typing.Literal]
        members = [a for a in args if typing.get_origin(a) is not typing.Literal]
        index = self.reserve()
        records = [m for m in members if _is_map_record(_unwrapped(m))]
        if len(records) > 1:  # told apart by their tag, as one member of the map family
            members = [m for m in members if not any(m is r for r in records)]
        nodes = [self.node(m) for m in members]
        if len(records) > 1:
            nodes.append(self.tagged(tp, records))
        if literals:
            values = tuple(v for lit in literals for v in typing.get_args(lit))
            nodes.append(self.literal(typing.Literal[values], values))
        table = [-1] * FAMILY_COUNT
        owner: Dict[int, int] = {}
        own_all = 0
        for pass_ in (0, 1):  # a family's own type first, conversions after
            for node in nodes:
                mask = self.masks[node][pass_]
                for family in range(FAMILY_COUNT):
                    if not mask & (1 << family):
                        continue
                    if pass_ == 1 and own_all & (1 << family):
                        continue
                    if table[family] != -1 and owner[family] == pass_ and table[family] != node:
                        raise TypeError(
                            f"Decoder cannot decode into {_label(tp)}: its members "
                            f"{self.nodes[table[family]][1]} and {self.nodes[node][1]} "
                            "cannot be told apart on the wire")
                    table[family] = node
                    owner[family] = pass_
            if pass_ == 0:
                own_all = sum(1 << f for f in range(FAMILY_COUNT) if table[f] != -1)
        accepted = sum(1 << f for f in range(FAMILY_COUNT) if table[f] != -1)
        self.masks[index] = (accepted, 0)
        self.fill(index, UNION, tp, extra=tuple(table))
        return index

    def tagged(self, tp: Any, records: List[Any]) -> int:
        """Records in one union, told apart by a field all of them have
        whose type is a Literal of values no other member uses; the first
        such field, in the first member's order, is the tag."""
        tables = [_literal_fields(_unwrapped(r)) for r in records]
        wire = next((w for w in tables[0] if self.tells_apart(w, tables)), None)
        if wire is None:
            names = ", ".join(_label(r) for r in records)
            example = _label(records[0]).lower()
            raise TypeError(
                f"Decoder cannot decode into {_label(tp)}: its members {names} are all maps "
                "and no field tells them apart; tag them with a field of the same name in "
                "each, typed as a Literal of a value of its own, such as "
                f"kind: Literal[{example!r}] = {example!r}")
        entries = []
        for record, table in zip(records, tables):
            member = self.node(record)
            for value in table[wire]:
                if type(value) is str:
                    entries.append((value, value, member, None, None, TAG_STR))
                else:
                    entries.append((repr(value), repr(value), member, value, None,
                                    FIELD_HAS_DEFAULT))
        index = self.new(TAGGED, tp, F_MAP, fields=tuple(entries), extra=wire)
        allowed = ", ".join(repr(v) for table in tables for v in table[wire])
        self.nodes[index] = (TAGGED, f"one of {allowed}") + self.nodes[index][2:]
        return index

    def tells_apart(self, wire: str, tables: List[Dict[str, Tuple[Any, ...]]]) -> bool:
        """Whether every member has the Literal field *wire* and no value of
        it, all of them having a wire form, is used by two members."""
        seen = set()
        for table in tables:
            for value in table.get(wire, ()):
                key = (type(value), value)
                if key in seen or self.family_of(value) is None:
                    return False
                seen.add(key)
            if wire not in table:
                return False
        return True

    def literal(self, tp: Any, values: Tuple[Any, ...]) -> int:
        pairs = []
        mask = 0
        for v in values:
            wire = v.value if isinstance(v, enum.Enum) else v
            family = self.family_of(wire)
            if family is None:
                raise TypeError(f"Decoder cannot decode into {_label(tp)}: "
                                f"{v!r} has no wire form")
            mask |= family
            pairs.append((wire, v))
        return self.new(LITERAL, tp, mask, extra=tuple(pairs))

    @staticmethod
    def family_of(value: Any) -> Optional[int]:
        if value is None:
            return F_NIL
        for t, family in ((bool, F_BOOL), (int, F_INT), (float, F_FLOAT), (str, F_STR),
                          (bytes, F_BIN)):
            if type(value) is t:
                return family
        return None

    def enum(self, tp: Any) -> int:
        mask = 0
        for member in tp.__members__.values():
            family = self.family_of(member.value)
            if family is None:
                raise TypeError(f"Decoder cannot decode into {_label(tp)}: the value of "
                                f"{member!r} has no wire form")
            mask |= family
        lookup = getattr(tp, "_value2member_map_", None)
        return self.new(ENUM, tp, mask, cls=tp, extra=lookup if isinstance(lookup, dict) else {})

    # -- records -----------------------------------------------------------------

    def reserve_class(self, tp: Any, mask: int) -> int:
        """A node for the class *tp*, registered before its fields are read,
        since they may refer back to the class itself."""
        index = self.reserve()
        self.memo[id(tp)] = index
        self.keep.append(tp)
        self.masks[index] = (mask, 0)
        return index

    def record(self, tp: Any) -> int:
        """A dataclass or attrs class, or a generic one with its arguments
        (``Box[int]``: the class's type variables replaced in its fields)."""
        known = self.generics.get(_identity(tp))
        if known is not None and _same(known[0], tp):
            return known[1]
        cls = typing.get_origin(tp) or tp
        index = self.reserve_class(tp, F_MAP)
        if cls is not tp:
            self.generics[_identity(tp)] = (tp, index)
        hints = _record_hints(tp, cls)
        declared = _hints(cls)
        if dataclasses.is_dataclass(cls):
            mode, fields = self.dataclass_fields(cls, hints)
        else:
            mode, fields = CALL_PRESENT, self.attrs_fields(cls, hints)
        fields, forbid = self.declared_fields(cls, declared, fields)
        self.fill(index, RECORD, tp, cls=cls, fields=tuple(fields), extra=mode)
        if forbid is not None:
            self.nodes[index] += (forbid,)
        return index

    @staticmethod
    def declared_fields(cls: Any, hints: Dict[str, Any],
                        fields: List[Any]) -> Tuple[List[Any], Optional[Tuple[Any, ...]]]:
        """The fields under their wire names (quelm.record's rename, quelm.Name),
        and with forbid_unknown_fields what the node refuses keys with:
        ``(expected, wire names of the fields the class builds itself)``, the
        latter being keys typed packing writes that are not unknown."""
        if dataclasses.is_dataclass(cls):
            every = [(f.name, f.init) for f in dataclasses.fields(cls)]
        else:
            every = [(a.name, a.init) for a in cls.__attrs_attrs__]
        wires = dict(zip((name for name, _ in every),
                         _record.wire_names(cls, [name for name, _ in every], hints)))
        fields = [(wires.get(f[0], f[0]),) + tuple(f[1:]) for f in fields]
        options = _record.options_of(cls)
        if options is None or not options.forbid_unknown_fields:
            return fields, None
        built = tuple(wires[name] for name, init in every if not init)
        return fields, (f"a field of {cls.__qualname__}", built)

    def dataclass_fields(self, tp: Any, hints: Dict[str, Any]) -> Tuple[int, List[Any]]:
        # The parameters of the generated __init__: the init fields and the
        # InitVars (passed to __init__, never stored), in declaration order,
        # the keyword-only ones last.
        stored = {id(f) for f in dataclasses.fields(tp)}
        params = [f for f in tp.__dataclass_fields__.values()
                  if f.init and (id(f) in stored or getattr(f, "_field_type", None) is _INITVAR)]
        positional = [f for f in params if getattr(f, "kw_only", False) is not True]
        keyword = [f for f in params if getattr(f, "kw_only", False) is True]
        mode = CALL_ALL if _generated_init(tp, positional, keyword) else CALL_PRESENT
        entries: List[Any] = []
        for f in positional + keyword:
            flags = 0
            default = factory = None
            if f.default is not dataclasses.MISSING:
                flags |= FIELD_HAS_DEFAULT
                default = f.default
            elif f.default_factory is not dataclasses.MISSING:
                flags |= FIELD_HAS_FACTORY
                factory = f.default_factory
            else:
                flags |= FIELD_REQUIRED
            if getattr(f, "kw_only", False) is True or mode == CALL_PRESENT:
                flags |= FIELD_KEYWORD
            entries.append((f.name, f.name, self.node(hints.get(f.name, Any)), default, factory,
                            flags))
        return mode, entries

    def attrs_fields(self, tp: Any, hints: Dict[str, Any]) -> List[Any]:
        fields = []
        nothing = getattr(sys.modules.get("attr"), "NOTHING", object())
        for a in tp.__attrs_attrs__:
            if not a.init:
                continue
            init_name = getattr(a, "alias", None) or a.name.lstrip("_")
            flags = FIELD_KEYWORD | (FIELD_REQUIRED if a.default is nothing else 0)
            annotation = hints.get(a.name, a.type if a.type is not None else Any)
            fields.append((a.name, init_name, self.node(annotation), None, None, flags))
        return fields

    def typeddict(self, tp: Any) -> int:
        index = self.reserve_class(tp, F_MAP)
        hints = _hints(tp)
        required = getattr(tp, "__required_keys__", frozenset(hints))
        fields = tuple(
            (name, name, self.node(hint), None, None,
             FIELD_REQUIRED if name in required else 0)
            for name, hint in hints.items())
        self.fill(index, TYPEDDICT, tp, fields=fields)
        return index

    def namedtuple(self, tp: Any) -> int:
        index = self.reserve_class(tp, F_ARRAY)
        hints = _hints(tp) if getattr(tp, "__annotations__", None) else {}
        defaults = getattr(tp, "_field_defaults", {})
        fields = []
        for name in tp._fields:
            flags = FIELD_HAS_DEFAULT if name in defaults else FIELD_REQUIRED
            fields.append((name, name, self.node(hints.get(name, Any)), defaults.get(name),
                           None, flags))
        self.fill(index, NAMEDTUPLE, tp, cls=tp, fields=tuple(fields))
        return index
