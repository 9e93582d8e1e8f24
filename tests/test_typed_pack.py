"""Packer(typed=True): the types programs hold, packed as their plain equivalents."""

import dataclasses
import datetime as dt
import decimal
import enum
import gc
import re
import typing
import uuid
import weakref

import pytest

from quelm import ExtType, Packer, packb

from _leaks import assert_no_growth, loops
from _typed_model import Attribute, AttrsShaped

try:
    import attrs
except ImportError:  # the rule needs only __attrs_attrs__, tested below without attrs
    attrs = None
UTC = dt.timezone.utc


class Color(enum.Enum):
    RED = "red"
    PAIR = (1, 2)


class Level(enum.IntEnum):
    HIGH = 3


class Label(str, enum.Enum):
    A = "a"


class Coded(enum.IntEnum):
    def __new__(cls, number, code):
        member = int.__new__(cls, number)
        member._value_ = code
        return member

    ONE = 1, "one"


@dataclasses.dataclass
class Point:
    x: int
    y: float = 0.5
    skipped: dataclasses.InitVar[int] = 0
    shared: typing.ClassVar[int] = 7


@dataclasses.dataclass(frozen=True)
class Frozen:
    name: str


@dataclasses.dataclass
class Slotted:
    __slots__ = ("a", "b")
    a: int
    b: list


@dataclasses.dataclass
class Child(Point):
    z: "Point | None" = None


ATTRS_CASES = []
if attrs is not None:
    @attrs.define
    class AttrsSlots:
        a: int
        b: str

    @attrs.define(slots=False)
    class AttrsDict:
        a: int

    ATTRS_CASES = [
        pytest.param(AttrsSlots(1, "b"), {"a": 1, "b": "b"}, id="attrs-slots"),
        pytest.param(AttrsDict(2), {"a": 2}, id="attrs-dict"),
    ]


class MyUUID(uuid.UUID):
    def __str__(self):
        return "mine"


class MyDate(dt.date):
    def isoformat(self):
        return "my-date"


U = uuid.UUID("12345678-9abc-def0-0fed-cba987654321")


def corrupted_uuid(number):
    """A UUID whose int no constructor would accept: left to its own str()."""
    u = uuid.UUID(int=0)
    object.__setattr__(u, "int", number)
    return u


BIG, NEGATIVE, NOT_INT = corrupted_uuid(2**128), corrupted_uuid(-1), corrupted_uuid(1.5)


@pytest.mark.parametrize("value, plain", [
    pytest.param(Point(1), {"x": 1, "y": 0.5}, id="dataclass"),
    pytest.param(Frozen("f"), {"name": "f"}, id="frozen"),
    pytest.param(Slotted(1, [Frozen("g")]), {"a": 1, "b": [{"name": "g"}]}, id="slots-nested"),
    pytest.param(Child(1, 2.0, z=Point(3)), {"x": 1, "y": 2.0, "z": {"x": 3, "y": 0.5}},
                 id="inherited"),
    pytest.param(AttrsShaped(1, 2), {"b": 2, "a": 1}, id="attrs-shaped"),
    pytest.param(Color.RED, "red", id="enum"),
    pytest.param(Color.PAIR, [1, 2], id="enum-tuple-value"),
    pytest.param(Level.HIGH, 3, id="intenum"),
    pytest.param(Label.A, "a", id="str-enum"),
    pytest.param(U, "12345678-9abc-def0-0fed-cba987654321", id="uuid"),
    pytest.param(uuid.UUID(int=0), "00000000-0000-0000-0000-000000000000", id="uuid-zero"),
    pytest.param(uuid.UUID(int=2**128 - 1), "ffffffff-ffff-ffff-ffff-ffffffffffff", id="uuid-max"),
    pytest.param(MyUUID(int=1), "00000000-0000-0000-0000-000000000001", id="uuid-subclass"),
    pytest.param(BIG, str(BIG), id="uuid-beyond-128-bits"),
    pytest.param(NEGATIVE, str(NEGATIVE), id="uuid-negative"),
    pytest.param(decimal.Decimal("1.10"), "1.10", id="decimal"),
    pytest.param(decimal.Decimal("-Infinity"), "-Infinity", id="decimal-inf"),
    pytest.param(decimal.Decimal("NaN"), "NaN", id="decimal-nan"),
    pytest.param(decimal.Decimal("-0E+3"), "-0E+3", id="decimal-exponent"),
    pytest.param(dt.date(1, 1, 1), "0001-01-01", id="date-min"),
    pytest.param(dt.date(9999, 12, 31), "9999-12-31", id="date-max"),
    pytest.param(MyDate(2020, 1, 1), "my-date", id="date-subclass"),
    pytest.param(dt.time(0, 0), "00:00:00", id="time"),
    pytest.param(dt.time(23, 59, 59, 7), "23:59:59.000007", id="time-us"),
    pytest.param(dt.time(1, 2, tzinfo=dt.timezone(dt.timedelta(hours=-5))), "01:02:00-05:00",
                 id="time-aware"),
    pytest.param({1}, [1], id="set"),
    pytest.param(frozenset(["a"]), ["a"], id="frozenset"),
    pytest.param([{Frozen("p")}, (Color.RED,)], [[{"name": "p"}], ["red"]], id="in-containers"),
    pytest.param({"k": Color.RED}, {"k": "red"}, id="dict-value"),
    *ATTRS_CASES,
])
def test_packs_as_plain_equivalent(value, plain):
    assert Packer(typed=True).pack(value) == packb(plain)
    assert packb(value, typed=True) == packb(plain)


@pytest.mark.parametrize("value", [
    dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=UTC),
    dt.datetime(1, 1, 1, tzinfo=UTC),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    dt.datetime(1969, 12, 31, 23, 59, 59, 1, tzinfo=UTC),
    dt.datetime(2024, 5, 6, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))),
], ids=str)
def test_aware_datetime_as_with_datetime_option(value):
    assert packb(value, typed=True) == packb(value, datetime=True)


def test_naive_datetime_and_other_values_unchanged():
    naive = dt.datetime(2024, 1, 1)
    message = "can not serialize 'datetime.datetime' object where tzinfo=None"
    with pytest.raises(ValueError, match=re.escape(message)):
        packb(naive, typed=True)
    assert packb(naive, typed=True, default=str) == packb(str(naive))
    for value in (object(), Point, dt.timedelta(1)):
        with pytest.raises(TypeError, match="can not serialize"):
            packb(value, typed=True)
        assert packb(value, typed=True, default=lambda o: 5) == b"\x05"


@pytest.mark.parametrize("value", [Point(1), Color.RED, U, decimal.Decimal(1), dt.date.today(),
                                   {1}, AttrsShaped(1, "")], ids=lambda v: type(v).__name__)
def test_typed_off_unchanged(value):
    name = re.escape(type(value).__name__)
    with pytest.raises(TypeError, match=rf"^can not serialize '([\w.]+\.)?{name}' object$"):
        Packer().pack(value)
    with pytest.raises(TypeError):
        packb(value)
    seen = []
    assert packb(value, default=lambda o: seen.append(o) or 1) == b"\x01"
    assert seen == [value]
    # The reused packb Packer is back to plain packing after a typed call.
    packb(value, typed=True)
    with pytest.raises(TypeError):
        packb(value)


def test_enum_members_under_strict_types():
    p = Packer(typed=True, strict_types=True)
    assert p.pack([Level.HIGH, Label.A, Color.RED, Coded.ONE]) == packb([3, "a", "red", 1])
    assert packb(Coded.ONE) == packb(1)
    with pytest.raises(TypeError):
        Packer(strict_types=True).pack(Level.HIGH)


def chain(depth, make):
    value = None
    for _ in range(depth):
        value = make(value)
    return value


@dataclasses.dataclass
class Node:
    c: object


@pytest.mark.parametrize("depth", [1024, 1025])
def test_dataclass_levels_count_in_nesting_budget(depth):
    expected = None
    try:
        expected = packb(chain(depth, lambda v: {"c": v}))
    except ValueError:
        pass
    if expected is None:
        with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
            packb(chain(depth, Node), typed=True)
    else:
        assert packb(chain(depth, Node), typed=True) == expected


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


@pytest.mark.parametrize("member, plain, strict", [
    (Color.RED, "red", False), (Color.PAIR, [1, 2], False), (Level.HIGH, 3, True),
    (Label.A, "a", True),
])
@pytest.mark.parametrize("depth", [1023, 1024, 1025])
def test_member_nests_as_its_value_would(member, plain, strict, depth):
    # The member stands for its value: no level of nesting of its own.
    packer = Packer(typed=True, strict_types=strict)
    try:
        expected = packb(nested(depth, plain))
    except ValueError:
        with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
            packer.pack(nested(depth, member))
    else:
        assert packer.pack(nested(depth, member)) == expected


def test_member_whose_value_leads_back_to_it():
    class Loop(enum.Enum):
        X = 1

    Loop.X._value_ = Loop.X
    with pytest.raises(ValueError, match=re.escape("recursion limit exceeded.")):
        packb(Loop.X, typed=True)


@dataclasses.dataclass
class Pair:
    first: object
    second: object


@dataclasses.dataclass(init=False)
class Lazy:
    __slots__ = ("a", "b")
    a: int
    b: int

    def __init__(self, a):
        self.a = a


class ShortSet(set):
    def __iter__(self):
        return iter([1])  # one item short of what len() says


@pytest.mark.parametrize("value, error", [
    (Pair(1, object()), TypeError),
    (Pair(1, [2, {3: Pair(object(), 1)}]), TypeError),
    (Pair(1, 2**70), OverflowError),
    (Lazy(1), AttributeError),
    (Pair(1, dt.datetime(2020, 1, 1)), ValueError),
    (Pair(1, ShortSet({1, 2})), ValueError),
    (Pair(1, NOT_INT), TypeError),
], ids=["object", "deep", "int", "unset-slot", "naive", "set-length", "uuid-str-fails"])
def test_failure_mid_dataclass_restores_buffer(value, error):
    p = Packer(typed=True, autoreset=False)
    p.pack([1, 2])
    with pytest.raises(error):
        p.pack(value)
    assert p.bytes() == packb([1, 2])


def test_value_replaced_while_packed_stays_alive():
    record = Pair(None, None)

    def hook(o):
        record.first = record.second = None  # drops the only other references
        return 0

    # The list is still being walked when the hook drops it from the record.
    record.first = [object(), 1]
    record.second = [object()]
    assert packb(record, typed=True, default=hook) == packb({"first": [0, 1], "second": None})


def test_classes_created_in_a_loop_are_freed_and_never_confused():
    alive = []
    for i in range(1000):
        cls = dataclasses.make_dataclass(f"C{i}", [(f"f{i}", int)])
        assert packb(cls(i), typed=True) == packb({f"f{i}": i})
        alive.append(weakref.ref(cls))
        del cls
    gc.collect()
    assert sum(ref() is not None for ref in alive) <= 300


def test_plan_outlives_eviction_during_its_walk():
    def evict_all(o):
        for i in range(600):
            packb(dataclasses.make_dataclass(f"E{i}", ["e"])(i), typed=True)
        return 0

    cls = dataclasses.make_dataclass("Walked", ["a", "b", "c"])
    value = cls(1, object(), 3)
    assert packb(value, typed=True, default=evict_all) == packb({"a": 1, "b": 0, "c": 3})


def test_class_changed_after_first_use_is_read_again():
    @dataclasses.dataclass
    class Moving:
        a: int
        b: int

    assert packb(Moving(1, 2), typed=True) == packb({"a": 1, "b": 2})
    fields = Moving.__dataclass_fields__
    fields_without_b = {k: v for k, v in fields.items() if k != "b"}
    # Changed in place: the class is not told, the plan stands.
    del fields["b"]
    assert packb(Moving(1, 2), typed=True) == packb({"a": 1, "b": 2})
    # Set as an attribute: the next pack reads the class again.
    Moving.__dataclass_fields__ = fields_without_b
    assert packb(Moving(1, 2), typed=True) == packb({"a": 1})


def test_class_read_once_per_change():
    reads = []

    class Meta(type):
        @property
        def __attrs_attrs__(cls):
            reads.append(cls)
            return (Attribute("a"),)

    class Counted(metaclass=Meta):
        def __init__(self, a):
            self.a = a

    assert [packb(Counted(i), typed=True) for i in range(50)] == [packb({"a": i}) for i in range(50)]
    assert len(reads) == 1
    Counted.extra = 1
    packb(Counted(1), typed=True)
    assert len(reads) == 2


@pytest.mark.parametrize("value", [
    [Child(1, 2.0, z=Point(3)), Slotted(1, [U]), AttrsShaped({1}, Color.PAIR)],
    [decimal.Decimal("1.5"), dt.date(2020, 1, 1), dt.time(1, 2, 3, 4),
     dt.datetime(2020, 1, 1, tzinfo=UTC), MyDate(1, 1, 1)],
    Pair(1, object()),
    Lazy(1),
], ids=["records", "scalars", "failing-field", "unset-slot"])
def test_no_leaks(request, value):
    def run():
        try:
            packb(value, typed=True)
        except (TypeError, AttributeError):
            pass

    assert_no_growth(run, loops(request.config))


class _ClaimsExtType:
    """Instances claim to be ExtType through __class__, which isinstance() consults."""

    @property
    def __class__(self):
        return ExtType


@dataclasses.dataclass
class _PlainExtLike:
    code: int
    data: bytes


@dataclasses.dataclass
class _ClaimingExtLike(_ClaimsExtType):
    code: int
    data: bytes


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(_PlainExtLike(1, b"x"), "82a4636f646501a464617461c40178", id="plain-is-a-map"),
        pytest.param(_ClaimingExtLike(1, b"x"), "d40178", id="claimed-ext-type-wins"),
    ],
)
def test_ext_type_test_precedes_typed_packing_when_it_can_match(value, expected):
    assert Packer(typed=True).pack(value).hex() == expected
    assert Packer(typed=True).pack([value, value]).hex() == "92" + expected * 2


@pytest.mark.parametrize("base, init", [
    (int, 7), (float, 1.5), (str, "s"), (bytes, b"b"), (bytearray, b"ba"), (dict, {"k": 1}),
    (list, [1]), (tuple, (1,)),
], ids=lambda v: type(v).__name__ if not isinstance(v, type) else v.__name__)
def test_built_in_base_wins_over_fields(base, init):
    # A dataclass deriving from a built-in type packs as that type, as the
    # dispatch tests the built-in types before the typed step.
    cls = dataclasses.dataclass(type("Rec", (base,), {"__annotations__": {"a": int}, "a": 5}))
    if base in (dict, list, bytearray):
        value = cls.__new__(cls)
        base.__init__(value, init)
    else:
        value = cls.__new__(cls, init)
    value.__dict__["a"] = 6
    assert Packer(typed=True).pack([value, value]) == packb([base(init)] * 2)
    # Strict about types, the built-in tests pass it by, and it is a record.
    assert Packer(typed=True, strict_types=True).pack(value) == packb({"a": 6})
