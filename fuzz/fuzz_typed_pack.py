#!/usr/bin/env python3
"""Fuzzes typed packing. The input builds a graph of the values typed=True
packs (dataclasses, inherited, frozen, with slots, with a field set after
__init__; classes shaped like attrs ones; enum members whose values are
scalars, tuples, dates or dataclasses; UUIDs, also subclasses and ones whose
int is beyond 128 bits or negative; decimals; dates, times and datetimes,
aware and naive, and subclasses; sets, frozensets and set subclasses) among
plain values and values that fail (ints beyond 64 bits, naive datetimes,
objects only `default` takes or refuses), with shared parts, chains near the
nesting limit and cycles, and chooses the Packer's options. The bytes must be those of the test suite's model of
typed packing (tests/_typed_model.py: packb of the plain equivalent), or
both must fail with the same exception class; a Packer without autoreset
that holds earlier bytes must hold the same bytes after it, or exactly the
earlier bytes after a failure."""

import dataclasses
import datetime
import decimal
import enum
import os
import reprlib
import sys
import uuid

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
with atheris.instrument_imports():
    from _common import q
    from _typed_model import AttrsShaped, plain

sys.setrecursionlimit(20000)  # the model recurses once per level, up to 1,030
UTC = datetime.timezone.utc
INT_EDGES = [0, 1, 127, 128, 255, 65535, 65536, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64]


class Opaque:
    """A value only the default hook takes."""

    def __init__(self, n):
        self.n = n


def default(obj):
    if isinstance(obj, Opaque):
        return ["opaque", obj.n]
    raise TypeError("unexpected %r" % (type(obj),))


@dataclasses.dataclass(frozen=True)
class Frozen:
    name: str
    n: int = 0


@dataclasses.dataclass
class Base:
    a: object
    b: object = None
    skipped: dataclasses.InitVar[int] = 0


@dataclasses.dataclass
class Derived(Base):
    c: object = None


@dataclasses.dataclass
class Slotted:
    __slots__ = ("x", "y")
    x: object
    y: object


@dataclasses.dataclass
class Lazy:  # a field __init__ leaves unset, set later (left unset, the model fails
    # before packing, out of the order typed packing fails in)
    a: object
    late: object = dataclasses.field(init=False)


@dataclasses.dataclass
class Link:
    c: object


class Color(enum.Enum):
    RED = "red"
    PAIR = (1, 2)
    DAY = datetime.date(2024, 2, 29)
    RECORD = Frozen("f", 3)


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2**63


class Label(str, enum.Enum):
    A = "a"


class Flags(enum.IntFlag):
    R = 4
    W = 2


class MyUUID(uuid.UUID):
    pass


class MyDate(datetime.date):
    def isoformat(self):
        return "my-date"


class MyTime(datetime.time):
    pass


class MyDateTime(datetime.datetime):
    pass


class MySet(set):
    pass


def odd_uuid(number):
    """A UUID whose int no constructor would accept: left to its own str()."""
    u = uuid.UUID(int=0)
    object.__setattr__(u, "int", number)
    return u


def make_int(fdp):
    v = INT_EDGES[fdp.ConsumeIntInRange(0, len(INT_EDGES) - 1)] + fdp.ConsumeIntInRange(-1, 1)
    return -v if fdp.ConsumeBool() else v


DECIMALS = ["0", "-0", "1.10", "-0E+3", "1E-400", "123456789012345678901234567890.5", "NaN",
            "-NaN", "sNaN", "Infinity", "-Infinity", "9.99E+999999"]


def make_decimal(fdp, key=False):
    if not key and fdp.ConsumeBool():
        return decimal.Decimal(DECIMALS[fdp.ConsumeIntInRange(0, len(DECIMALS) - 1)])
    return decimal.Decimal(fdp.ConsumeIntInRange(-(10**20), 10**20)).scaleb(
        fdp.ConsumeIntInRange(-30, 30))


def make_uuid(fdp, odd=True):
    kind = fdp.ConsumeIntInRange(0, 5 if odd else 1)
    number = fdp.ConsumeIntInRange(0, 2**64 - 1) << fdp.ConsumeIntInRange(0, 64)
    if kind == 0:
        return uuid.UUID(int=number)
    if kind == 1:
        return MyUUID(int=number)
    return odd_uuid([2**128 + number, -1 - number, 2**128 - 1, 2**127 + number][kind - 2])


def make_date(fdp, subclass=True):
    day = datetime.date.fromordinal(fdp.ConsumeIntInRange(1, datetime.date.max.toordinal()))
    if subclass and fdp.ConsumeIntInRange(0, 7) == 0:
        return MyDate(day.year, day.month, day.day)
    return day


def make_tz(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return None
    if kind == 1:
        return UTC
    return datetime.timezone(datetime.timedelta(minutes=fdp.ConsumeIntInRange(-1439, 1439)))


def make_time(fdp, subclass=True):
    cls = MyTime if subclass and fdp.ConsumeIntInRange(0, 7) == 0 else datetime.time
    return cls(fdp.ConsumeIntInRange(0, 23), fdp.ConsumeIntInRange(0, 59),
               fdp.ConsumeIntInRange(0, 59), fdp.ConsumeIntInRange(0, 999999), make_tz(fdp))


def make_datetime(fdp):
    day = make_date(fdp, False)
    cls = MyDateTime if fdp.ConsumeIntInRange(0, 7) == 0 else datetime.datetime
    return cls(day.year, day.month, day.day, fdp.ConsumeIntInRange(0, 23),
               fdp.ConsumeIntInRange(0, 59), fdp.ConsumeIntInRange(0, 59),
               fdp.ConsumeIntInRange(0, 999999), make_tz(fdp))


def make_member(fdp, strict):
    members = [Color.RED, Color.DAY, Color.RECORD, Level.LOW, Level.HIGH, Label.A, Flags.R,
               Flags.R | Flags.W]
    if not strict:  # a tuple packs as an array only without strict_types
        members.append(Color.PAIR)
    return members[fdp.ConsumeIntInRange(0, len(members) - 1)]


# Kinds of dict key, one per dict: distinct keys of one kind stay distinct
# in the plain model (Decimal NaN, a date subclass or mixed kinds would not).
KEYS = [
    lambda fdp: fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8)),
    make_int,
    lambda fdp: fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8)),
    lambda fdp: [Color.RED, Color.DAY, Label.A][fdp.ConsumeIntInRange(0, 2)],
    lambda fdp: make_uuid(fdp, odd=False),
    lambda fdp: make_decimal(fdp, key=True),
    lambda fdp: make_date(fdp, False),
    lambda fdp: make_time(fdp, False),
]


def make_hashable(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return make_int(fdp)
    if kind == 1:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))
    if kind == 2:
        return make_member(fdp, True)
    if kind == 3:
        return Frozen(fdp.ConsumeUnicodeNoSurrogates(4), make_int(fdp))
    if kind == 4:
        return make_uuid(fdp, odd=False)
    if kind == 5:
        return make_date(fdp)
    return make_decimal(fdp, key=True)


class Builder:
    def __init__(self, fdp, strict):
        self.fdp, self.strict = fdp, strict
        self.pool = []  # values built so far, for shared parts

    def build(self, depth):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 19 if depth == 0 else 18 if depth < 6 else 9)
        value = self.make(kind, depth)
        self.pool.append(value)
        return value

    def many(self, depth):
        return [self.build(depth + 1) for _ in range(self.fdp.ConsumeIntInRange(0, 4))]

    def make(self, kind, depth):
        fdp = self.fdp
        if kind == 0:
            return [None, True, False][fdp.ConsumeIntInRange(0, 2)]
        if kind == 1:
            return make_int(fdp)
        if kind == 2:
            return fdp.ConsumeFloat()
        if kind == 3:
            return (fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
                    if fdp.ConsumeBool() else fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40)))
        if kind == 4:
            return make_decimal(fdp)
        if kind == 5:
            return make_uuid(fdp)
        if kind == 6:
            return [make_date, make_time, make_datetime][fdp.ConsumeIntInRange(0, 2)](fdp)
        if kind == 7:
            return make_member(fdp, self.strict)
        if kind == 8:
            return Opaque(fdp.ConsumeIntInRange(0, 3))
        if kind == 9:
            if self.pool:
                return self.pool[fdp.ConsumeIntInRange(0, len(self.pool) - 1)]
            return None
        if kind == 10:
            cls = [set, frozenset, MySet][fdp.ConsumeIntInRange(0, 2)]
            return cls(make_hashable(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5)))
        if kind == 11:
            items = self.many(depth)
            return tuple(items) if not self.strict and fdp.ConsumeBool() else items
        if kind == 12:
            key = KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)]
            return {key(fdp): self.build(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))}
        if kind == 13:
            return Base(self.build(depth + 1), self.build(depth + 1), 5)
        if kind == 14:
            return Derived(self.build(depth + 1), c=self.build(depth + 1))
        if kind == 15:
            return Slotted(self.build(depth + 1), self.build(depth + 1))
        if kind == 16:
            value = Lazy(self.build(depth + 1))
            value.late = self.build(depth + 1)
            return value
        if kind == 17:
            return AttrsShaped(self.build(depth + 1), self.build(depth + 1))
        if kind == 18:
            return Frozen(fdp.ConsumeUnicodeNoSurrogates(4), make_int(fdp))
        # At the top only, a chain of records, now and then across the nesting
        # limit (1,024 levels; slow under ASan, so rare).
        value = self.build(depth + 1)
        deep = fdp.ConsumeIntInRange(0, 7) == 0
        for _ in range(fdp.ConsumeIntInRange(0, 15) + (1012 if deep else 0)):
            value = Link(value)
        return value


def outcome(pack):
    try:
        return pack(), None
    except Exception as e:  # compared by class below
        return None, type(e)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    strict = fdp.ConsumeBool()
    options = {"use_single_float": fdp.ConsumeBool(), "use_bin_type": fdp.ConsumeBool(),
               "strict_types": strict, "default": default}
    builder = Builder(fdp, strict)
    value = builder.build(0)
    want, model_error = outcome(lambda: q.packb(plain(value), datetime=True, **options))
    cycle = fdp.ConsumeIntInRange(0, 63) == 0
    if cycle:  # the value first inside a record that holds itself: too deep, if not before
        value = Base(value)
        value.b = [value]
    packer = q.Packer(typed=True, datetime=fdp.ConsumeBool(),
                      buf_size=fdp.ConsumeIntInRange(0, 64), **options)
    got, error = outcome(lambda: packer.pack(value))
    if cycle:
        if error is not (model_error or ValueError):
            raise AssertionError("a cycle gave %r, not %r" % (error or got, model_error))
    else:
        if (error, got) != (model_error, want):
            raise AssertionError("%s packed as %s (%r), the model gives %s (%r)"
                                 % (reprlib.repr(value), reprlib.repr(got), error,
                                    reprlib.repr(want), model_error))
    keeper = q.Packer(typed=True, autoreset=False, buf_size=1, **options)
    keeper.pack([1, "earlier"])
    before = keeper.bytes()
    kept, kept_error = outcome(lambda: keeper.pack(value))
    if kept_error is not error or keeper.bytes() != before + (got or b""):
        raise AssertionError("autoreset=False holds %s after %r"
                             % (reprlib.repr(keeper.bytes()), kept_error))


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
