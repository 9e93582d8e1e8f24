"""Records as protocols shape them: wire names, omitted defaults, unknown
fields refused, tagged unions and constraints, declared once on the types
and honoured alike by typed packing and Decoder."""

from __future__ import annotations

import dataclasses
from typing import Annotated, Any, Dict, List, Literal, Optional, Union

import pytest

import quelm
from quelm import Decoder, Name, ValidationError, packb, record, unpackb

attrs = pytest.importorskip("attrs")


def roundtrip(tp: Any, value: Any) -> Any:
    return Decoder(tp).decode(packb(value, typed=True))


def refusal(tp: Any, payload: Any) -> str:
    with pytest.raises(ValidationError) as info:
        Decoder(tp).decode(packb(payload))
    return f"{info.value} @ {info.value.path}"


# ---- wire names ----------------------------------------------------------------


@record(rename="camel")
@dataclasses.dataclass
class Camel:
    user_id: int
    _private_note: str = ""
    plain: int = 0


@record(rename="pascal")
@dataclasses.dataclass
class Pascal:
    user_id: int
    ID: Annotated[int, Name("ident")] = 0


@record(rename="kebab")
@attrs.define
class Kebab:
    user_id: int
    long_field_name: Optional[str] = None


@record(rename=str.upper)
@dataclasses.dataclass
class Upper:
    a: int
    b: List[Camel] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Renamed(Camel):  # inherits the camel rule with its fields
    extra_value: int = 0


@record(rename="kebab")
@dataclasses.dataclass
class Rekebabed(Camel):  # its own rule covers the inherited fields too
    extra_value: int = 0


@dataclasses.dataclass
class OneName:
    user_id: Annotated[int, "doc", Name("uid")]
    child: Optional[OneName] = None


@pytest.mark.parametrize("value, wire", [
    pytest.param(Camel(1, "n", 2), {"userId": 1, "_privateNote": "n", "plain": 2}, id="camel"),
    pytest.param(Pascal(1, 2), {"UserId": 1, "ident": 2}, id="pascal-name-wins"),
    pytest.param(Kebab(1, "x"), {"user-id": 1, "long-field-name": "x"}, id="kebab-attrs"),
    pytest.param(Upper(1, [Camel(2)]),
                 {"A": 1, "B": [{"userId": 2, "_privateNote": "", "plain": 0}]},
                 id="callable-nested"),
    pytest.param(Renamed(1, extra_value=3),
                 {"userId": 1, "_privateNote": "", "plain": 0, "extraValue": 3},
                 id="inherited-rule"),
    pytest.param(Rekebabed(1, extra_value=3),
                 {"user-id": 1, "_private-note": "", "plain": 0, "extra-value": 3},
                 id="subclass-rule"),
    pytest.param(OneName(1, OneName(2)), {"uid": 1, "child": {"uid": 2, "child": None}},
                 id="name-recursive"),
])
def test_wire_names_both_ways(value, wire):
    assert unpackb(packb(value, typed=True)) == wire
    assert roundtrip(type(value), value) == value
    assert Decoder(type(value)).decode(packb(wire)) == value


@pytest.mark.parametrize("tp, payload, message", [
    pytest.param(Camel, {"userId": "x"}, "$.userId: expected int, found str @ $.userId",
                 id="wire-name-in-path"),
    pytest.param(Camel, {"user_id": 1}, "$.userId: expected int, found nothing (a required "
                 "field is missing) @ $.userId", id="python-name-is-unknown"),
    pytest.param(List[OneName], [{"uid": 1, "child": {"uid": None}}],
                 "$[0].child.uid: expected int, found None @ $[0].child.uid", id="nested"),
])
def test_wire_names_in_paths(tp, payload, message):
    assert refusal(tp, payload) == message


def test_rename_declarations_refused():
    with pytest.raises(ValueError, match="rename must be 'camel', 'pascal', 'kebab'"):
        record(rename="snake")
    with pytest.raises(TypeError, match="rename must be a str or a callable"):
        record(rename=3)
    with pytest.raises(TypeError, match="takes a dataclass or an attrs class"):
        record(int)
    with pytest.raises(TypeError, match="Name\\(\\) takes a str"):
        Name(1)

    @record(rename=lambda name: "same")
    @dataclasses.dataclass
    class Clash:
        a: int
        b: int

    for attempt in (lambda: packb(Clash(1, 2), typed=True), lambda: Decoder(Clash)):
        with pytest.raises(TypeError, match="'a' and 'b' of .*Clash would both travel as 'same'"):
            attempt()

    @record(rename=lambda name: 1)
    @dataclasses.dataclass
    class NotStr:
        a: int

    with pytest.raises(TypeError, match="returned int for 'a', not str"):
        Decoder(NotStr)


def test_record_returns_the_class_and_a_late_declaration_is_seen():
    @dataclasses.dataclass
    class Late:
        user_id: int

    assert unpackb(packb(Late(1), typed=True)) == {"user_id": 1}
    assert record(rename="camel")(Late) is Late
    assert unpackb(packb(Late(1), typed=True)) == {"userId": 1}
    assert Decoder(Late).decode(packb({"userId": 4})) == Late(4)


# ---- omitted defaults ----------------------------------------------------------


@record(omit_defaults=True)
@dataclasses.dataclass
class Sparse:
    required: int
    flag: bool = False
    ratio: float = 1.0
    note: Optional[str] = None
    items: List[int] = dataclasses.field(default_factory=lambda: [1])
    child: Optional[Sparse] = None
    anything: Any = False


@record(omit_defaults=True, rename="camel")
@attrs.define
class SparseAttrs:
    user_id: int
    seen_by: List[str] = attrs.Factory(list)
    own: int = attrs.field(default=attrs.Factory(lambda self: self.user_id, takes_self=True))


@pytest.mark.parametrize("value, wire", [
    pytest.param(Sparse(1), {"required": 1}, id="all-defaults"),
    pytest.param(Sparse(1, anything=0), {"required": 1, "anything": 0}, id="equal-other-type-kept"),
    pytest.param(Sparse(1, ratio=1), {"required": 1, "ratio": 1}, id="int-for-float-kept"),
    pytest.param(Sparse(1, items=[1]), {"required": 1}, id="factory-result-equal"),
    pytest.param(Sparse(1, items=[]), {"required": 1, "items": []}, id="factory-differs"),
    pytest.param(Sparse(0, note="n", child=Sparse(2)),
                 {"required": 0, "note": "n", "child": {"required": 2}}, id="recursive"),
    pytest.param(SparseAttrs(3), {"userId": 3, "own": 3}, id="attrs-takes-self-kept"),
    pytest.param(SparseAttrs(3, ["a"], 3), {"userId": 3, "seenBy": ["a"], "own": 3},
                 id="attrs-factory-differs"),
])
def test_omit_defaults_both_ways(value, wire):
    assert unpackb(packb(value, typed=True)) == wire
    assert roundtrip(type(value), value) == value


# ---- unknown fields refused ----------------------------------------------------


@record(forbid_unknown_fields=True, rename="camel")
@dataclasses.dataclass
class Strict:
    user_id: int
    size: int = dataclasses.field(default=0, init=False)
    inner: Optional[Strict] = None


@record(forbid_unknown_fields=True)
@attrs.define
class StrictAttrs:
    a: int


@dataclasses.dataclass
class Lenient:
    a: int


@pytest.mark.parametrize("tp, payload, message", [
    pytest.param(Strict, {"userId": 1, "user_id": 2},
                 "$.user_id: expected a field of Strict, found an unknown field @ $.user_id",
                 id="python-name"),
    pytest.param(Strict, {"userId": 1, "inner": {"userId": 1, "x": [1]}},
                 "$.inner.x: expected a field of Strict, found an unknown field @ $.inner.x",
                 id="nested"),
    pytest.param(Strict, {1: 2, "userId": 1},
                 "$: expected a field of Strict, found int 1 as a key @ $", id="int-key"),
    pytest.param(StrictAttrs, {"a": 1, "b": 2},
                 "$.b: expected a field of StrictAttrs, found an unknown field @ $.b",
                 id="attrs"),
    pytest.param(Dict[str, Optional[StrictAttrs]], {"k": None, "j": {"a": 1, "é": 0}},
                 "$.j.é: expected a field of StrictAttrs, found an unknown field @ $.j.é",
                 id="in-dict-of-optional"),
])
def test_unknown_fields_refused(tp, payload, message):
    assert refusal(tp, payload) == message


def test_unknown_fields_skipped_by_default_and_built_fields_known():
    assert Decoder(Lenient).decode(packb({"a": 1, "b": [{}]})) == Lenient(1)
    strict = Strict(1, Strict(2))
    strict.size = 9
    # A field the class builds itself is written by typed packing and read
    # back without complaint (the class computes it again).
    assert unpackb(packb(strict, typed=True))["size"] == 9
    assert roundtrip(Strict, strict) == Strict(1, Strict(2))
