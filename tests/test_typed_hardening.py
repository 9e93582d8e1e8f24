"""Decoder against the types and bytes a hostile or unlucky user brings."""

from __future__ import annotations

import dataclasses
import re
from dataclasses import InitVar
from datetime import datetime
from decimal import Decimal
from typing import (Annotated, Any, Dict, FrozenSet, Generic, List, NewType, Optional, Set,
                    Tuple, TypeVar, Union)

import pytest

from quelm import Decoder, ValidationError, packb

from _leaks import assert_no_growth, loops

T = TypeVar("T")


def refused(decoder, data):
    with pytest.raises(ValidationError) as info:
        decoder.decode(data)
    return info.value.path, str(info.value)


@dataclasses.dataclass(frozen=True)
class Cell:
    a: int


@dataclasses.dataclass
class Loose:
    a: int


@pytest.mark.parametrize("decoder, data, path, expected, found", [
    (Decoder(dict), b"\x81\x91\x01\x01", "$", "Any", "unhashable list [1] as a key"),
    (Decoder(List[Dict[Any, int]]), b"\x91\x81\x80\x01", "$[0]", "Any",
     "unhashable dict {} as a key"),
    (Decoder(Any, strict_map_key=False), b"\x81\x91\x01\x01", "$", "Any",
     "unhashable list [1] as a key"),
    (Decoder(set), packb([1, [2]]), "$[1]", "Any", "unhashable list [2]"),
    (Decoder(FrozenSet[Any]), packb([{}]), "$[0]", "Any", "unhashable dict {}"),
    (Decoder(Set[Decimal]), packb(["1", "sNaN"]), "$[1]", "Decimal",
     "unhashable decimal.Decimal Decimal('sNaN')"),
    (Decoder(Dict[Decimal, int]), packb({"sNaN": 1}), "$", "Decimal",
     "unhashable decimal.Decimal Decimal('sNaN') as a key"),
])
def test_unhashable_keys_and_items(decoder, data, path, expected, found):
    assert refused(decoder, data) == (path, f"{path}: expected {expected}, found {found}")


@pytest.mark.parametrize("tp, what", [
    (Set[List[int]], "items, List[int]"),
    (Dict[Tuple[int, Set[int]], int], "keys, Tuple[int, Set[int]]"),
    (FrozenSet[Union[Loose, List[int]]], "items, Loose | List[int]"),
    (Set[Optional[List[int]]], None), (Set[Cell], None), (Dict[Tuple[int, ...], int], None),
])
def test_never_hashable_refused_when_built(tp, what):
    if what is None:
        Decoder(tp)
        return
    with pytest.raises(TypeError, match=rf"^Decoder cannot .*: its {re.escape(what)}, can never"):
        Decoder(tp)


@pytest.mark.parametrize("tp, wire, path, found", [
    (Dict[Tuple[int, int], str], b"\x81\x92\x01\xa1x\xa1v", "$", "str at [1] of a key"),
    (List[Dict[Tuple[int, int], str]], b"\x91\x81\x92\x01\xa1x\xa1v", "$[0]",
     "str at [1] of a key"),
    (Dict[Cell, int], b"\x81\x81\xa1a\xa1x\x01", "$", "str at .a of a key"),
])
def test_refused_keys_name_the_map(tp, wire, path, found):
    assert refused(Decoder(tp), wire) == (path, f"{path}: expected int, found {found}")


@dataclasses.dataclass
class Scaled:  # a required InitVar
    x: int
    scale: InitVar[int]

    def __post_init__(self, scale: int) -> None:
        self.seen = scale


@dataclasses.dataclass
class Shifted:  # an InitVar with a default, a field after it
    x: int
    scale: InitVar[int] = 1
    y: int = 0

    def __post_init__(self, scale: int) -> None:
        self.seen = scale


@pytest.mark.parametrize("tp, wire, stored", [
    (Scaled, {"x": 1, "scale": 3}, {"x": 1, "seen": 3}), (Scaled, {"x": 1}, "$.scale"),
    (Shifted, {"x": 1, "scale": 3, "y": 7}, {"x": 1, "y": 7, "seen": 3}),
    (Shifted, {"y": 7, "x": 1}, {"x": 1, "y": 7, "seen": 1}),
])
def test_initvars_reach_init(tp, wire, stored):
    if isinstance(stored, str):
        assert refused(Decoder(tp), packb(wire))[0] == stored
    else:
        assert vars(Decoder(tp).decode(packb(wire))) == stored


MADE = {"swapped": "def __init__(self, currency='USD', amount=0):\n"
                   "    self.amount, self.currency = amount, currency",
        "other default": "def __init__(self, amount, currency='EUR'):\n"
                         "    self.amount, self.currency = amount, currency"}


@pytest.mark.parametrize("name", sorted(MADE))
@pytest.mark.parametrize("wire", [{"amount": 5, "currency": "USD"}, {"amount": 5}])
def test_init_compiled_from_text_gets_keywords(name, wire):
    space: Dict[str, Any] = {}
    exec(MADE[name], space)  # what a notebook or `python -c` makes

    @dataclasses.dataclass
    class Money:
        amount: int
        currency: str = "USD"
        __init__ = space["__init__"]

    assert vars(Decoder(Money).decode(packb(wire))) == vars(Money(**wire))


@dataclasses.dataclass
class Box(Generic[T]):
    value: T


class IntBox(Box[int]):
    pass


@dataclasses.dataclass
class Tagged(Box[str], Generic[T]):
    tag: Optional[T] = None


@pytest.mark.parametrize("tp, wire, path", [
    (IntBox, {"value": "not an int"}, "$.value"), (Tagged[int], {"value": 1, "tag": 2}, "$.value"),
    (Tagged[int], {"value": "v", "tag": "t"}, "$.tag"),
    (Tagged, {"value": "v", "tag": [1]}, None),  # unbound: Any
])
def test_type_variables_bound_through_bases(tp, wire, path):
    if path is None:
        assert Decoder(tp).decode(packb(wire)) == tp(**wire)
    else:
        assert refused(Decoder(tp), packb(wire))[0] == path


def far(seconds):
    return b"\xc7\x0c\xff" + bytes(4) + seconds.to_bytes(8, "big", signed=True)


@pytest.mark.parametrize("tp, data, path", [
    (datetime, far(2**62), "$"), (List[datetime], b"\x91" + far(-2**62), "$[0]"),
    (Box[datetime], b"\x81\xa5value" + far(2**62), "$.value"),
])
def test_timestamps_out_of_range(tp, data, path):
    assert refused(Decoder(tp), data) == (
        path, f"{path}: expected datetime, found a timestamp out of its range")


@pytest.mark.parametrize("tp, wire, expected", [
    (Optional[Annotated[Union[int, str], "doc"]], "a", "a"),
    (Optional[NewType("Id", Union[int, str])], None, None),
    (Union[bytes, Annotated[Optional[NewType("N", Union[int, str])], 1]], 3, 3),
    (Optional[Annotated[Any, "x"]], [1], [1]),
    (Union[str, Annotated[Union[bytes, Decimal], ""]], None, TypeError),
])
def test_nested_unions_flattened(tp, wire, expected):
    if expected is TypeError:
        with pytest.raises(TypeError, match="cannot be told apart"):
            Decoder(tp)
    else:
        assert Decoder(tp).decode(packb(wire)) == expected


class ByName(type):
    def __eq__(cls, other):
        return isinstance(other, ByName) and cls.__name__ == other.__name__

    def __hash__(cls):
        return hash(cls.__name__)


class Named(metaclass=ByName):
    pass


def record(annotation):
    return dataclasses.make_dataclass("Same", [("v", annotation)], bases=(Named,))


@pytest.mark.parametrize("wrap, shape", [
    (lambda c: c, lambda m: m), (lambda c: list[c], lambda m: [m]),
    (lambda c: tuple[c, ...], lambda m: (m,)),
])
def test_plans_kept_apart_by_identity(wrap, shape):
    first, second = record(int), record(str)
    assert first == second and first is not second
    data = packb(shape({"v": "s"}))
    assert refused(Decoder(wrap(first)), data)[1].endswith("expected int, found str")
    assert Decoder(wrap(second)).decode(data) == shape(second("s"))


@pytest.mark.parametrize("decoder, data", [
    (Decoder(Dict[Any, List[int]]), b"\x82\x01\x90\x91\x01\x90"),
    (Decoder(Any, strict_map_key=False), b"\x82\x01\x90\x91\x01\x90"),
    (Decoder(Set[Decimal]), packb(["1", "sNaN"])), (Decoder(List[datetime]), b"\x91" + far(2**62)),
    (Decoder(Dict[Tuple[int, int], str]), b"\x82\x92\x01\x02\xa1v\x92\x01\xa1x\xa1v"),
])
def test_refusals_leak_nothing(decoder, data, pytestconfig):
    assert_no_growth(lambda: refused(decoder, data), loops(pytestconfig) // 4)
