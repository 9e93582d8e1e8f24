"""Decoder(type): typed decoding, validation with paths, recursion, the
failure paths and the round trip from typed packing."""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import gc
import pickle
import sys
import threading
import typing
import uuid
from typing import (Annotated, Any, Dict, FrozenSet, Generic, List, Literal, NamedTuple,
                    NewType, Optional, Set, Tuple, TypedDict, TypeVar, Union)

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quelm
from quelm import Decoder, ExtraData, FormatError, OutOfData, StackError, ValidationError, packb

from _leaks import assert_no_growth, loops
from _typed_model import plain

UTC = datetime.timezone.utc
U = uuid.UUID("12345678-1234-5678-1234-567812345678")


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@dataclasses.dataclass
class Point:
    x: int
    y: float = 0.0


@dataclasses.dataclass
class Shape:
    name: str
    points: List[Point]
    color: Color = Color.RED
    tags: List[str] = dataclasses.field(default_factory=list)
    derived: int = dataclasses.field(default=0, init=False)

    def __post_init__(self) -> None:
        self.derived = len(self.points)
        if self.name == "boom":
            raise KeyError("boom")


@dataclasses.dataclass
class Node:
    value: int
    children: List[Node] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Custom:
    a: int
    b: int = 5

    def __init__(self, a: int, b: int = 7) -> None:  # not the generated one
        self.a, self.b = a, b


Wide = dataclasses.make_dataclass("Wide", [(f"f{i}", int, dataclasses.field(default=i))
                                           for i in range(20)])


@dataclasses.dataclass
class Again:
    depth: int
    inner: Optional[Again] = None

    def __post_init__(self) -> None:  # decodes again while being decoded
        if self.depth > 0 and self.inner is None:
            self.inner = AGAIN.decode(packb({"depth": self.depth - 1}))


T = TypeVar("T")


@dataclasses.dataclass
class Tree(Generic[T]):
    value: T
    children: List[Tree[T]] = dataclasses.field(default_factory=list)


class Pair(NamedTuple):
    left: int
    right: str = "r"


class Movie(TypedDict, total=False):
    title: str
    year: int


class Required(TypedDict):
    title: str


class Plain:
    pass


def pack_typed(v: Any) -> bytes:
    packed = packb(v, typed=True)
    assert packed == packb(plain(v), datetime=True)
    return packed


def check_refused(tp, data, path, expected, found):
    with pytest.raises(ValidationError) as info:
        Decoder(tp).decode(data)
    assert info.value.path == path
    assert str(info.value) == f"{path}: expected {expected}, found {found}"
    assert isinstance(info.value, ValueError)
    copy = pickle.loads(pickle.dumps(info.value))
    assert (copy.path, str(copy)) == (path, str(info.value))


ACCEPTED = [
    (int, -(2**63), -(2**63)), (int, 2**64 - 1, 2**64 - 1), (float, 3, 3.0), (float, 1.5, 1.5),
    (str, "é", "é"), (bytes, b"\x00", b"\x00"), (bytearray, b"ab", bytearray(b"ab")),
    (bool, False, False), (None, None, None), (type(None), None, None),
    (List[int], [1, 2], [1, 2]), (list, [1, "a"], [1, "a"]), (Tuple[int, ...], [1, 2], (1, 2)),
    (Tuple[int, str], [1, "a"], (1, "a")), (Tuple[()], [], ()), (tuple, [[1]], ([1],)),
    (Set[int], [1, 2, 1], {1, 2}), (FrozenSet[str], ["a"], frozenset({"a"})), (set, [1], {1}),
    (Dict[int, str], {1: "a"}, {1: "a"}), (dict, {"a": [1]}, {"a": [1]}),
    (Dict[Color, Level], {"red": 2}, {Color.RED: Level.HIGH}),
    (Optional[int], None, None), (Optional[int], 4, 4), (Union[int, str], "a", "a"),
    (Union[int, float], 2, 2), (Union[int, float], 2.5, 2.5), (Union[str, List[int]], [1], [1]),
    (Literal["a", 1], 1, 1), (Literal["a"], "a", "a"), (Optional[Literal["x"]], None, None),
    (Literal[Color.BLUE], "blue", Color.BLUE), (Any, {"k": [None]}, {"k": [None]}),
    (object, 1.5, 1.5), (Color, "blue", Color.BLUE), (Level, 1, Level.LOW),
    (uuid.UUID, str(U), U), (uuid.UUID, U.hex.upper(), U), (uuid.UUID, U.bytes, U),
    (decimal.Decimal, "1.50", decimal.Decimal("1.50")), (decimal.Decimal, 7, decimal.Decimal(7)),
    (datetime.date, "2024-02-29", datetime.date(2024, 2, 29)),
    (datetime.time, "10:20:30.000123", datetime.time(10, 20, 30, 123)),
    (Tuple, [1, "a"], (1, "a")), (Optional[Any], [1], [1]),
    (Annotated[int, "meta"], 5, 5), (NewType("UserId", int), 5, 5),
    (NewType("Nothing", None), None, None),
    (typing.Sequence[int], [1], [1]), (typing.Mapping[str, int], {"a": 1}, {"a": 1}),
    (Point, {"x": 1, "y": 2}, Point(1, 2.0)), (Point, {"x": 1, "zz": [{}]}, Point(1)),
    (Point, {"y": 1, "x": 2, 5: [1], "x": 3}, Point(3, 1.0)),
    (Pair, [1], Pair(1)), (Pair, [1, "s"], Pair(1, "s")),
    (Movie, {"year": 1, "other": 2}, {"year": 1}), (Custom, {"a": 1}, Custom(1, 7)),
    (Wide, {"f3": 9, "f19": -1}, Wide(**{"f3": 9, "f19": -1})),
    (Again, {"depth": 2}, Again(2, Again(1, Again(0)))),
    (Tree[str], {"value": "a", "children": [{"value": "b"}]}, Tree("a", [Tree("b")])),
    (Tree, {"value": [1]}, Tree([1])),
]


@pytest.mark.parametrize("tp, wire, expected", ACCEPTED, ids=lambda v: repr(v)[:30])
def test_accepted(tp, wire, expected):
    result = Decoder(tp).decode(packb(wire))
    assert result == expected
    assert type(result) is type(expected)


AGAIN = Decoder(Again)

REFUSED = [
    (int, True, "$", "int", "True"), (int, 1.0, "$", "int", "float"),
    (float, "1", "$", "float", "str"), (bool, 0, "$", "bool", "int 0"),
    (bytes, "a", "$", "bytes", "str"), (str, b"a", "$", "str", "bytes"),
    (None, 0, "$", "None", "int 0"), (List[int], {}, "$", "List[int]", "map of 0 pairs"),
    (List[int], [1, -2, "x"], "$[2]", "int", "str"),
    (Tuple[int, int], [1, 2, 3], "$", "Tuple[int, int]", "array of 3 items"),
    (Dict[str, int], {"a": 1, "b": "x"}, "$.b", "int", "str"),
    (Dict[int, List[int]], {7: [1, None]}, "$[7][1]", "int", "None"),
    (Dict[int, int], {"k": 1}, "$", "int", "str as a key"),
    (Optional[int], "a", "$", "int | None", "str"),
    (Dict[str, Optional[Tuple[int, ...]]], {"k": {}}, "$.k", "Tuple[int, ...] | None",
     "map of 0 pairs"),
    (Literal["a", "b"], "c", "$", "Literal['a', 'b']", "str 'c'"),
    (Color, "green", "$", "Color", "str 'green'"), (Color, 1, "$", "Color", "int 1"),
    (uuid.UUID, "not-a-uuid", "$", "UUID", "str 'not-a-uuid'"),
    (uuid.UUID, b"short", "$", "UUID", "bytes"),
    (decimal.Decimal, "1,5", "$", "Decimal", "str '1,5'"),
    (datetime.date, "2024-13-01", "$", "date", "str '2024-13-01'"),
    (datetime.datetime, 5, "$", "datetime", "int 5"),
    (Shape, {"name": "s", "points": [{"x": 1}, {"x": "1"}]}, "$.points[1].x", "int", "str"),
    (Shape, {"name": "s", "points": [{"y": 1}]}, "$.points[0].x", "int",
     "nothing (a required field is missing)"),
    (Shape, {"name": "s", "points": [], "color": "pink"}, "$.color", "Color", "str 'pink'"),
    (Pair, [], "$", "Pair", "array of 0 items"), (Pair, [1, 2], "$[1]", "str", "int 2"),
    (Required, {}, "$.title", "str", "nothing (a required field is missing)"),
    (Tree[int], {"value": 1, "children": [{"value": "x"}]}, "$.children[0].value", "int", "str"),
    (Node, {"value": 1, "children": [{"value": 2, "children": [{"value": "x"}]}]},
     "$.children[0].children[0].value", "int", "str"),
]


@pytest.mark.parametrize("tp, wire, path, expected, found", REFUSED, ids=lambda v: repr(v)[:30])
def test_refused(tp, wire, path, expected, found):
    check_refused(tp, packb(wire), path, expected, found)


def test_timestamps_and_unicode_errors():
    when = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=UTC)
    assert Decoder(datetime.datetime).decode(packb(when, datetime=True)) == when
    assert Decoder(Any).decode(packb(when, datetime=True)) == quelm.Timestamp(
        int(when.timestamp()), 123456000)
    assert Decoder(str, unicode_errors="replace").decode(b"\xa1\xff") == "\ufffd"
    with pytest.raises(UnicodeDecodeError):
        Decoder(str).decode(b"\xa1\xff")


@pytest.mark.parametrize("tp", [Plain, Union[str, decimal.Decimal], Union[Point, Dict[str, int]],
                                Union[Literal["a"], str], List[Plain], "Point"])
def test_refused_when_built(tp):
    with pytest.raises(TypeError, match="Decoder cannot"):
        Decoder(tp)


@pytest.mark.parametrize("nodes, root", [
    ([(14, "u", None, -1, -1, (), (0,) * 10, 0)], 0),  # a union of itself
    ([(16, "R", Point, -1, -1, (("x", "x", 1, None, None, 0),), 0, 0),
      (3, "int", None, -1, -1, (), None, 4)], 0),  # a field with nothing to fill it
    ([(8, "list", None, 5, -1, (), None, 0)], 0),  # an index out of range
])
def test_plans_checked(nodes, root):
    with pytest.raises(ValueError, match="malformed decoding plan"):
        quelm._cquelm._TypedPlan(nodes, root)


MALFORMED = [
    (List[int], packb([1]) + b"\x01", ExtraData), (List[int], packb([1, 2])[:-1], OutOfData),
    (Point, b"\x81\xa1x\xc1", FormatError), (List[int], b"\x91" * 1025, StackError),
    # malformed bytes inside a value of the wrong type are reported as such
    (int, b"\x92\x01\xc1", FormatError), (int, b"\x92\x01", OutOfData),
    (str, b"\xa5ab", OutOfData),
]


@pytest.mark.parametrize("tp, data, error", MALFORMED, ids=lambda v: repr(v)[:30])
def test_malformed(tp, data, error):
    with pytest.raises(error) as info:
        Decoder(tp).decode(data)
    assert not isinstance(info.value, ValidationError)


def test_limits_as_in_unpackb():
    with pytest.raises(ValueError, match=r"^3 exceeds max_array_len\(2\)$"):
        Decoder(List[int], max_array_len=2).decode(packb([1, 2, 3]))
    with pytest.raises(ValueError, match=r"^4294967295 exceeds max_array_len\(5\)$"):
        Decoder(List[int]).decode(b"\xdd\xff\xff\xff\xff")
    with pytest.raises(ValueError, match=r"exceeds max_str_len"):
        Decoder(Point, max_str_len=0).decode(packb({"x": 1}))


def test_dataclass_construction():
    shape = Decoder(Shape).decode(packb({"name": "s", "points": [{"x": 1}], "derived": 9}))
    assert shape == Shape("s", [Point(1)]) and shape.derived == 1  # __post_init__ ran
    a, b = (Decoder(Shape).decode(packb({"name": "s", "points": []})) for _ in range(2))
    assert a.tags == [] and a.tags is not b.tags  # a fresh default_factory result
    with pytest.raises(KeyError, match="boom"):
        Decoder(Shape).decode(packb({"name": "boom", "points": []}))
    assert Decoder(List[Shape]) is not Decoder(List[Shape])
    assert Decoder(List[Shape]).type == List[Shape] and Decoder[int] is not None


@pytest.mark.skipif(sys.version_info < (3, 10), reason="kw_only and X | Y arrived in 3.10")
def test_newer_forms():
    @dataclasses.dataclass(kw_only=True)
    class K:
        a: int
        b: "int | None" = None

    assert Decoder(K).decode(packb({"b": 2, "a": 1})) == K(a=1, b=2)
    assert Decoder(eval("list[int] | None")).decode(packb([1])) == [1]


def test_attrs_classes():
    attr = pytest.importorskip("attr")

    @attr.s(auto_attribs=True)
    class A:
        _x: int
        y: List[int] = attr.Factory(list)

    assert Decoder(A).decode(packb({"_x": 1})) == A(1)
    check_refused(A, packb({"_x": "1"}), "$._x", "int", "str")


def nested_nodes(depth):
    return b"\x82\xa5value\x00\xa8children\x91" * (depth - 1) + b"\x81\xa5value\x00"


@pytest.mark.parametrize("tp, data, ok", [
    (Node, nested_nodes(512), True),  # two containers per level: 1023 open at most
    (Node, nested_nodes(513), False),
    (Any, b"\x91" * 1023 + b"\x90", True), (Any, b"\x91" * 1024 + b"\x90", False),
    (list, b"\x91" * 1024 + b"\x01", True),
])
def test_nesting_limit(tp, data, ok):
    def run():
        if ok:
            Decoder(tp).decode(data)
        else:
            with pytest.raises(StackError):
                Decoder(tp).decode(data)

    run()
    thread = threading.Thread(target=run)  # a thread's own, smaller stack
    thread.start()
    thread.join()


@pytest.mark.parametrize("size", [1 << 16, 1 << 18, 1 << 20])
def test_small_thread_stacks(size):
    # Deep input on a thread with a small stack: decoded, or StackError,
    # never a crash.
    outcomes = []

    def run():
        for tp, data in [(Node, nested_nodes(512)), (list, b"\x91" * 1024 + b"\x01")]:
            try:
                Decoder(tp).decode(data)
                outcomes.append("ok")
            except StackError:
                outcomes.append("deep")

    old = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert len(outcomes) == 2 and (size > 1 << 16 or outcomes == ["deep", "deep"])


@dataclasses.dataclass
class Peeker:
    x: int

    def __post_init__(self):
        # Containers still being filled must not be reachable from here.
        for o in gc.get_objects():
            if type(o) is list and o and o[0] == "sentinel":
                assert None not in o and len(repr(o)) > 0


def test_half_built_containers_hidden():
    wire = packb([["sentinel", {"x": 1}], ["sentinel", {"x": 2}]])
    assert Decoder(List[Tuple[str, Peeker]]).decode(wire)[1][1] == Peeker(2)


class RaisingFactory:
    calls = 0


def failing_factory():
    raise RuntimeError("factory")


@dataclasses.dataclass
class Failing:
    a: List[int] = dataclasses.field(default_factory=failing_factory)


LEAK_CASES = [
    (List[Shape], packb([{"name": "s", "points": [{"x": 1, "y": 2}], "tags": ["t"]}] * 3)),
    (List[Shape], packb([{"name": "s", "points": [{"x": 1}, {"x": "bad"}]}])),
    (List[Shape], packb([{"name": "boom", "points": []}])),
    (Failing, packb({})), (Dict[str, Pair], packb({"a": [1, "b"], "c": [2, 3]})),
    (Set[uuid.UUID], packb([str(U), U.bytes, "bad"])), (Node, nested_nodes(300)),
    (List[int], packb([1, 2]) + b"\x01"), (Any, b"\x91" * 1025),
    (Tuple[int, ...], b"\xdd\x00\x01\x00\x00" + b"\x01" * 10),
]


@pytest.mark.parametrize("tp, data", LEAK_CASES, ids=lambda v: repr(v)[:30])
def test_no_leaks(tp, data, pytestconfig):
    decoder = Decoder(tp)

    def run():
        try:
            decoder.decode(data)
        except Exception:
            pass

    assert_no_growth(run, loops(pytestconfig) // 4)


# ---- the round trip from typed packing, on random types ------------------

LEAVES = [
    (int, st.integers(-(2**63), 2**64 - 1)), (float, st.floats(allow_nan=False)),
    (str, st.text(max_size=8)), (bytes, st.binary(max_size=8)), (bool, st.booleans()),
    (None, st.none()), (uuid.UUID, st.uuids()), (Color, st.sampled_from(Color)),
    (Level, st.sampled_from(Level)),
    (decimal.Decimal, st.decimals(allow_nan=False, allow_infinity=False)),
    (datetime.date, st.dates()), (datetime.time, st.times()),
    (datetime.datetime, st.datetimes(timezones=st.just(UTC))),
    (FrozenSet[int], st.frozensets(st.integers(-5, 5))), (Literal["a", 2], st.sampled_from(["a", 2])),
    (Any, st.recursive(st.integers(-(2**63), 2**64 - 1) | st.text(max_size=3),
                       lambda s: st.lists(s, max_size=2))),
]
_records = [0]


def record_of(pairs):
    _records[0] += 1
    cls = dataclasses.make_dataclass(f"R{_records[0]}", [(f"f{i}", t) for i, (t, _) in
                                                         enumerate(pairs)])
    return cls, st.tuples(*(s for _, s in pairs)).map(lambda values: cls(*values))


def extend(inner):
    return st.one_of(
        inner.map(lambda p: (List[p[0]], st.lists(p[1], max_size=3))),
        inner.map(lambda p: (Tuple[p[0], ...], st.lists(p[1], max_size=3).map(tuple))),
        inner.map(lambda p: (Dict[str, p[0]], st.dictionaries(st.text(max_size=4), p[1],
                                                              max_size=3))),
        inner.filter(lambda p: p[0] not in (None, Any))
             .map(lambda p: (Optional[p[0]], st.none() | p[1])),
        st.lists(inner, min_size=1, max_size=3).map(
            lambda ps: (Tuple[tuple(t for t, _ in ps)], st.tuples(*(s for _, s in ps)))),
        st.lists(inner, min_size=1, max_size=3).map(record_of),
    )


TYPES = st.recursive(st.sampled_from(LEAVES), extend, max_leaves=6)


@given(st.data())
def test_round_trip_of_typed_packing(data):
    tp, values = data.draw(TYPES)
    value = data.draw(values)
    assert Decoder(tp).decode(pack_typed(value)) == value


HOSTILE_TYPES = [List[Shape], Dict[int, Optional[Pair]], Tuple[uuid.UUID, Color, datetime.date],
                 Any, Union[int, str, List[Point], None], Movie]
HOSTILE_SEEDS = [packb([{"name": "s", "points": [{"x": 1, "y": 2.5}]}]), packb({1: [2, "x"]}),
                 packb([str(U), "red", "2024-01-02"]), packb({"title": "t", "year": 1})]


@given(st.sampled_from(HOSTILE_TYPES), st.sampled_from(HOSTILE_SEEDS),
       st.lists(st.tuples(st.integers(0, 60), st.integers(0, 255)), max_size=4),
       st.integers(0, 70))
def test_hostile_bytes_fail_cleanly(tp, seed, flips, cut):
    data = bytearray(seed)
    for at, byte in flips:
        if at < len(data):
            data[at] = byte
    try:
        Decoder(tp).decode(bytes(data[:cut]))
    except (ValueError, OverflowError):  # every decoding error, ValidationError included
        pass
