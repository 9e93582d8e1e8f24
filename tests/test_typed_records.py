"""Records as protocols shape them: wire names, omitted defaults, unknown
fields refused, tagged unions and constraints, declared once on the types
and honoured alike by typed packing and Decoder."""

from __future__ import annotations

import dataclasses
from typing import Annotated, Any, Dict, List, Literal, Optional, TypedDict, Union

import pytest

import quelm
from quelm import Decoder, Name, ValidationError, packb, record, unpackb

from _leaks import assert_no_growth, loops

attrs = pytest.importorskip("attrs")


# Constraint metadata of the annotated-types convention, recognised by its
# attributes: these stand-ins are all the tests need.
@dataclasses.dataclass(frozen=True)
class Ge:
    ge: Any


@dataclasses.dataclass(frozen=True)
class Interval:
    gt: Any = None
    ge: Any = None
    lt: Any = None
    le: Any = None


@dataclasses.dataclass(frozen=True)
class MultipleOf:
    multiple_of: Any


@dataclasses.dataclass(frozen=True)
class Len:
    min_length: int = 0
    max_length: Optional[int] = None


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


# ---- omitted defaults, unknown fields ------------------------------------------


@record(omit_defaults=True)
@dataclasses.dataclass
class Sparse:
    required: int
    ratio: float = 1.0
    note: Optional[str] = None
    items: List[int] = dataclasses.field(default_factory=lambda: [1])
    child: Optional[Sparse] = None
    anything: Any = False
    offset: float = 0.0


@record(omit_defaults=True, rename="camel")
@attrs.define
class SparseAttrs:
    user_id: int
    seen_by: List[str] = attrs.Factory(list)
    own: int = attrs.field(default=attrs.Factory(lambda self: self.user_id, takes_self=True))


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


# ---- tagged unions and constraints ---------------------------------------------


@dataclasses.dataclass
class Circle:
    r: float
    kind: Literal["circle"] = "circle"


@record(rename="camel", forbid_unknown_fields=True)
@dataclasses.dataclass
class Square:
    side_len: float
    kind: Literal["square"] = "square"


@attrs.define
class Poly:
    points: List[int]
    kind: Literal["poly", "polygon"] = "poly"


@dataclasses.dataclass
class Group:
    items: List[Union[Circle, Square, Poly, Group]]
    kind: Literal["group"] = "group"


Shape = Union[Circle, Square, Poly, Group, None]
SHAPES = [Circle(1.5), Square(2.0), Poly([1, 2], "polygon"), Group([Circle(1.0), Group([])])]


class Ping(TypedDict):
    op: Literal[1]


class Pong(TypedDict):
    op: Literal[2]
    payload: str


@dataclasses.dataclass
class On:
    on: Literal[True] = True


@dataclasses.dataclass
class Off:
    on: Literal[False] = False
    why: str = ""


@record(rename="camel", omit_defaults=True)
@dataclasses.dataclass
class Person:
    age: Annotated[int, Ge(0), "a doc string"]
    nick_names: Annotated[List[Annotated[str, Len(1, 8)]], Len(0, 2)] = \
        dataclasses.field(default_factory=list)
    score: Annotated[float, Interval(gt=0, le=1)] = 0.5
    step: Optional[Annotated[int, MultipleOf(5)]] = None
    friend: Optional[Person] = None


@dataclasses.dataclass
class Low:
    n: Annotated[int, Interval(lt=10)]
    kind: Annotated[Literal["low"], "tag"] = "low"


@dataclasses.dataclass
class High:
    n: Annotated[int, Interval(ge=10)]
    kind: Literal["high"] = "high"


# ---- everything at once: inheritance, recursion, tags, constraints ---------------


@record(rename="camel", omit_defaults=True, forbid_unknown_fields=True)
@dataclasses.dataclass
class Base:
    node_id: Annotated[int, Ge(0)]
    kind: str = "base"


@dataclasses.dataclass
class Leaf(Base):
    kind: Literal["leaf"] = "leaf"
    leaf_value: Annotated[str, Len(1, 5)] = "v"


@dataclasses.dataclass
class Branch(Base):
    kind: Literal["branch"] = "branch"
    child_nodes: List[Union[Leaf, Branch]] = dataclasses.field(default_factory=list)
    weight: Annotated[float, Name("w")] = 1.0


Tree = Union[Leaf, Branch]


# (type, value, its wire form or None): typed packing writes the wire form,
# Decoder reads both it and the packed value back as the value.
ROUND_TRIPS = [
    pytest.param(Camel, Camel(1, "n", 2), {"userId": 1, "_privateNote": "n", "plain": 2},
                 id="camel"),
    pytest.param(Pascal, Pascal(1, 2), {"UserId": 1, "ident": 2}, id="pascal-name-wins"),
    pytest.param(Kebab, Kebab(1, "x"), {"user-id": 1, "long-field-name": "x"}, id="kebab-attrs"),
    pytest.param(Upper, Upper(1, [Camel(2)]),
                 {"A": 1, "B": [{"userId": 2, "_privateNote": "", "plain": 0}]},
                 id="callable-nested"),
    pytest.param(Renamed, Renamed(1, extra_value=3),
                 {"userId": 1, "_privateNote": "", "plain": 0, "extraValue": 3},
                 id="inherited-rule"),
    pytest.param(Rekebabed, Rekebabed(1, extra_value=3),
                 {"user-id": 1, "_private-note": "", "plain": 0, "extra-value": 3},
                 id="subclass-rule"),
    pytest.param(OneName, OneName(1, OneName(2)), {"uid": 1, "child": {"uid": 2, "child": None}},
                 id="name-recursive"),
    pytest.param(Sparse, Sparse(1), {"required": 1}, id="omit-all-defaults"),
    pytest.param(Sparse, Sparse(1, anything=0), {"required": 1, "anything": 0},
                 id="omit-equal-of-other-type-kept"),
    pytest.param(Sparse, Sparse(1, ratio=1), {"required": 1, "ratio": 1},
                 id="omit-int-for-float-kept"),
    pytest.param(Sparse, Sparse(1, offset=-0.0), {"required": 1, "offset": -0.0},
                 id="omit-float-bit-for-bit"),
    pytest.param(Sparse, Sparse(1, items=[1]), {"required": 1}, id="omit-factory-result"),
    pytest.param(Sparse, Sparse(1, items=[]), {"required": 1, "items": []},
                 id="omit-factory-differs"),
    pytest.param(Sparse, Sparse(0, note="n", child=Sparse(2)),
                 {"required": 0, "note": "n", "child": {"required": 2}}, id="omit-recursive"),
    pytest.param(SparseAttrs, SparseAttrs(3), {"userId": 3, "own": 3},
                 id="omit-attrs-takes-self-kept"),
    pytest.param(SparseAttrs, SparseAttrs(3, ["a"], 3), {"userId": 3, "seenBy": ["a"], "own": 3},
                 id="omit-attrs-factory-differs"),
    pytest.param(List[Shape], SHAPES + [None], None, id="tagged-and-none"),
    pytest.param(Dict[str, Union[Circle, Square, str]],
                 {"a": Circle(1.0), "b": "text", "c": Square(3.0)}, None, id="tagged-in-dict"),
    pytest.param(Group, Group([Poly([]), Group([Square(1.0), Group([])])]), None,
                 id="tagged-recursive"),
    pytest.param(List[Union[Ping, Pong]], [{"op": 1}, {"op": 2, "payload": "p"}], None,
                 id="tagged-typeddict-int"),
    pytest.param(List[Union[On, Off]], [On(), Off(why="x")], None, id="tagged-bool"),
    pytest.param(List[Union[Annotated[Circle, "doc"], Square, int]], [1, Circle(1.0)], None,
                 id="tagged-annotated-member-and-int"),
    pytest.param(Person, Person(0, ["a", "12345678"], 1.0, 10, Person(3)), None,
                 id="constraints-met"),
    pytest.param(List[Union[Low, High]], [Low(9), High(10)], None, id="constraints-tagged"),
    pytest.param(Dict[str, Annotated[bytes, Len(2, 2)]], {"k": b"ab"}, None, id="constraint-len"),
    pytest.param(Tree, Branch(1, child_nodes=[Leaf(2), Branch(3, child_nodes=[Leaf(4, leaf_value="x")],
                                                               weight=0.5)]),
                 {"nodeId": 1, "kind": "branch", "childNodes": [
                     {"nodeId": 2, "kind": "leaf"},  # a tag is written though it is the default
                     {"nodeId": 3, "kind": "branch", "childNodes": [
                         {"nodeId": 4, "kind": "leaf", "leafValue": "x"}], "w": 0.5}]},
                 id="everything"),
]


@pytest.mark.parametrize("tp, value, wire", ROUND_TRIPS)
def test_round_trip(tp, value, wire):
    packed = packb(value, typed=True)
    assert Decoder(tp).decode(packed) == value
    if wire is not None:
        assert unpackb(packed) == wire
        assert Decoder(tp).decode(packb(wire)) == value


@pytest.mark.parametrize("payload, value", [
    pytest.param({"kind": "circle", "r": 2}, Circle(2.0), id="first"),
    pytest.param({"r": 2, "kind": "circle"}, Circle(2.0), id="last"),
    pytest.param({1: [2], "points": [], "kind": "polygon"}, Poly([], "polygon"),
                 id="after-non-str-key"),
])
def test_tag_found_anywhere(payload, value):
    assert Decoder(Shape).decode(packb(payload)) == value


ALLOWED = "one of 'circle', 'square', 'poly', 'polygon', 'group'"
MISSING = "found nothing (a required field is missing)"

# (type, payload, message): the ValidationError's path is the message's start.
REFUSALS = [
    pytest.param(Camel, {"userId": "x"}, "$.userId: expected int, found str", id="wire-path"),
    pytest.param(Camel, {"user_id": 1}, f"$.userId: expected int, {MISSING}",
                 id="python-name-unknown"),
    pytest.param(List[OneName], [{"uid": 1, "child": {"uid": None}}],
                 "$[0].child.uid: expected int, found None", id="named-nested"),
    pytest.param(Strict, {"userId": 1, "user_id": 2},
                 "$.user_id: expected a field of Strict, found an unknown field", id="unknown"),
    pytest.param(Strict, {"userId": 1, "inner": {"userId": 1, "x": [1]}},
                 "$.inner.x: expected a field of Strict, found an unknown field",
                 id="unknown-nested"),
    pytest.param(Strict, {1: 2, "userId": 1}, "$: expected a field of Strict, found int 1 as a key",
                 id="unknown-int-key"),
    pytest.param(Dict[str, Optional[StrictAttrs]], {"k": None, "j": {"a": 1, "é": 0}},
                 "$.j.é: expected a field of StrictAttrs, found an unknown field",
                 id="unknown-attrs-in-dict"),
    pytest.param(Shape, {"x": [{"kind": "square"}], "sideLen": 1, "kind": "square"},
                 "$.x: expected a field of Square, found an unknown field",
                 id="unknown-before-tag"),
    pytest.param(Shape, {"r": 1}, f"$.kind: expected {ALLOWED}, found nothing (the tag is "
                 "missing)", id="tag-missing"),
    pytest.param(Shape, {"kind": "hexagon", "r": 1},
                 f"$.kind: expected {ALLOWED}, found str 'hexagon'", id="tag-unknown"),
    pytest.param(Shape, {"kind": None}, f"$.kind: expected {ALLOWED}, found NoneType None",
                 id="tag-wrong-type"),
    pytest.param(List[Shape], [None, {"kind": "group", "items": [{"kind": "circle"}]}],
                 f"$[1].items[0].r: expected float, {MISSING}", id="tag-member-field"),
    pytest.param(Shape, [1], "$: expected Circle | Square | Poly | Group | None, found array "
                 "of 1 items", id="tag-not-a-map"),
    pytest.param(List[Union[Ping, Pong]], [{"op": 3}], "$[0].op: expected one of 1, 2, found int 3",
                 id="tag-int"),
    pytest.param(Person, {"age": -1}, "$.age: expected a value >= 0, found -1", id="ge"),
    pytest.param(Person, {"age": 1, "score": 0}, "$.score: expected a value > 0, found 0.0",
                 id="gt-after-conversion"),
    pytest.param(Person, {"age": 1, "score": 1.5}, "$.score: expected a value <= 1, found 1.5",
                 id="le"),
    pytest.param(Person, {"age": 1, "step": 7}, "$.step: expected a multiple of 5, found 7",
                 id="multiple-in-optional"),
    pytest.param(Person, {"age": 1, "nickNames": ["a", "b", "c"]},
                 "$.nickNames: expected a length <= 2, found a length of 3", id="max-len"),
    pytest.param(Person, {"age": 1, "nickNames": [""]},
                 "$.nickNames[0]: expected a length >= 1, found a length of 0", id="min-len-item"),
    pytest.param(Person, {"age": 1, "friend": {"age": -5}},
                 "$.friend.age: expected a value >= 0, found -5", id="constraint-recursive"),
    pytest.param(List[Union[Low, High]], [{"kind": "high", "n": 1}],
                 "$[0].n: expected a value >= 10, found 1", id="constraint-tagged"),
    pytest.param(Dict[str, Annotated[bytes, Len(2, 2)]], {"k": b"abc"},
                 "$.k: expected a length <= 2, found a length of 3", id="len-exact"),
    pytest.param(Tree, {"kind": "branch", "nodeId": 1, "childNodes": [{"kind": "leaf",
                                                                       "nodeId": -1}]},
                 "$.childNodes[0].nodeId: expected a value >= 0, found -1", id="all-constraint"),
    pytest.param(Tree, {"kind": "branch", "nodeId": 1, "childNodes": [{"kind": "leaf",
                                                                       "nodeId": 1, "w": 1.0}]},
                 "$.childNodes[0].w: expected a field of Leaf, found an unknown field",
                 id="all-unknown-in-member"),
    pytest.param(Tree, {"kind": "branch", "nodeId": 1, "weight": 1.0},
                 "$.weight: expected a field of Branch, found an unknown field",
                 id="all-python-name-of-named-field"),
    pytest.param(Tree, {"nodeId": 1}, "$.kind: expected one of 'leaf', 'branch', found nothing "
                 "(the tag is missing)", id="all-tag"),
]


@pytest.mark.parametrize("tp, payload, message", REFUSALS)
def test_refusals(tp, payload, message):
    with pytest.raises(ValidationError) as info:
        Decoder(tp).decode(packb(payload))
    assert (str(info.value), info.value.path) == (message, message.split(":")[0])


@dataclasses.dataclass
class Untagged:
    x: int


@dataclasses.dataclass
class Shared:
    x: int
    kind: Literal["circle"] = "circle"


def clashing(rule: Any) -> type:
    @record(rename=rule)
    @dataclasses.dataclass
    class Clash:
        a: int
        b: int

    return Clash


@pytest.mark.parametrize("build, error, message", [
    pytest.param(lambda: record(rename="snake"), ValueError,
                 "rename must be 'camel', 'pascal', 'kebab' or a callable, not 'snake'", id="rule"),
    pytest.param(lambda: record(rename=3), TypeError, "rename must be a str or a callable, not int",
                 id="rule-type"),
    pytest.param(lambda: record(int), TypeError, "quelm.record takes a dataclass or an attrs "
                 "class, not <class 'int'>", id="not-a-record"),
    pytest.param(lambda: Name(1), TypeError, "Name() takes a str, not int", id="name"),
    pytest.param(lambda: packb(clashing(lambda n: "same")(1, 2), typed=True), TypeError,
                 "would both travel as 'same'", id="clash-packing"),
    pytest.param(lambda: Decoder(clashing(lambda n: "same")), TypeError,
                 "fields 'a' and 'b' of clashing.<locals>.Clash would both travel as 'same'",
                 id="clash-decoder"),
    pytest.param(lambda: Decoder(clashing(lambda n: 1)), TypeError,
                 "returned int for 'a', not str", id="rename-not-str"),
    pytest.param(lambda: Decoder(Union[Untagged, Circle]), TypeError,
                 "Decoder cannot decode into Untagged | Circle: its members Untagged, Circle are "
                 "all maps and no field tells them apart; tag them with a field of the same name "
                 "in each, typed as a Literal of a value of its own, such as "
                 "kind: Literal['untagged'] = 'untagged'", id="untagged-union"),
    pytest.param(lambda: Decoder(Union[Shared, Circle]), TypeError,
                 "no field tells them apart", id="tag-value-shared"),
    pytest.param(lambda: Decoder(Union[Dict[str, int], Circle]), TypeError,
                 "its members Dict[str, int] and Circle cannot be told apart on the wire",
                 id="dict-and-record"),
    pytest.param(lambda: Decoder(Annotated[Optional[int], Ge(0)]), TypeError,
                 "constraints apply to one type, not to a union", id="constraint-on-union"),
    pytest.param(lambda: Decoder(Annotated[str, Ge(0)]).decode(packb("a")), TypeError,
                 "not supported between instances of 'str' and 'int'", id="bound-of-other-type"),
])
def test_declarations_refused(build, error, message):
    with pytest.raises(error) as info:
        build()
    assert message in str(info.value)


def test_late_declaration_and_defaults_of_plain_records():
    @dataclasses.dataclass
    class Late:
        user_id: int

    assert unpackb(packb(Late(1), typed=True)) == {"user_id": 1}
    assert record(rename="camel")(Late) is Late
    assert unpackb(packb(Late(1), typed=True)) == {"userId": 1}
    assert Decoder(Late).decode(packb({"userId": 4, "more": 1})) == Late(4)
    # A field the class builds itself is written by typed packing and read
    # back without complaint under forbid_unknown_fields.
    strict = Strict(1, Strict(2))
    strict.size = 9
    assert unpackb(packb(strict, typed=True))["size"] == 9
    assert Decoder(Strict).decode(packb(strict, typed=True)) == Strict(1, Strict(2))
    # Metadata that is not a constraint is ignored; so are empty bounds.
    assert Decoder(Annotated[str, Len(), "doc", Name("x"), int]).decode(packb("")) == ""


def test_constraints_from_annotated_types():
    at = pytest.importorskip("annotated_types")
    decoder = Decoder(List[Annotated[int, at.Interval(ge=0, lt=3), at.MultipleOf(2)]])
    assert decoder.decode(packb([0, 2])) == [0, 2]
    for payload, message in [([0, 3], "$[1]: expected a value < 3, found 3"),
                             ([1], "$[0]: expected a multiple of 2, found 1")]:
        with pytest.raises(ValidationError) as info:
            decoder.decode(packb(payload))
        assert str(info.value) == message


@pytest.mark.parametrize("nodes, message", [
    pytest.param([(26, "c", None, 0, -1, (), ((1, 0, "x"),), 4)], "a constraint of itself",
                 id="constraint-cycle"),
    pytest.param([(14, "u", None, -1, -1, (), (-1,) * 7 + (1, -1, -1), 128),
                  (25, "t", None, -1, -1, (("a", "a", 0, None, None, 16),), "kind", 128)],
                 "a tag names something other than a record", id="tag-names-union"),
    pytest.param([(25, "t", None, -1, -1, (), "kind", 128)], "a tagged union without its tag",
                 id="no-entries"),
    pytest.param([(26, "c", None, 1, -1, (), ((9, 0, "x"),), 4),
                  (3, "int", None, -1, -1, (), None, 4)],
                 "a constraint has the wrong shape", id="unknown-check"),
    pytest.param([(16, "R", dict, -1, -1, (), 1, 128, ("x", (1,)))],
                 "a record.s built field name is not a str", id="forbid-names"),
])
def test_malformed_plans_refused(nodes, message):
    with pytest.raises(ValueError, match=f"malformed decoding plan: {message}"):
        quelm._cquelm._TypedPlan(nodes, 0)


def nested_groups(levels: int) -> bytes:
    inner = packb({"kind": "circle", "r": 1.0})
    for _ in range(levels):
        inner = b"\x82\xa4kind\xa5group\xa5items\x91" + inner
    return inner


@pytest.mark.parametrize("payload, error", [
    pytest.param(nested_groups(600), quelm.StackError, id="deep-tagged"),
    pytest.param(b"\x82\xa1r\xc1\xa4kind\xa6circle", quelm.FormatError, id="bad-byte-before-tag"),
    pytest.param(b"\x82\xa1r\x91", quelm.OutOfData, id="truncated-before-tag"),
    pytest.param(b"\x82\xa4kind\xa3hex\xa1r\xc1", quelm.FormatError, id="bad-byte-after-bad-tag"),
])
def test_tagged_wire_errors(payload, error):
    with pytest.raises(error):
        Decoder(Shape).decode(payload)
    assert Decoder(Group).decode(nested_groups(400)).kind == "group"


def test_no_leaks_on_any_path(pytestconfig):
    shapes, person, strict = Decoder(List[Shape]), Decoder(Person), Decoder(Strict)
    good = packb(SHAPES, typed=True)
    refused = [(shapes, packb([payload])) for payload in
               ({"kind": "x"}, {"r": 1}, {"kind": "circle", "r": "x"}, {"kind": 7})]
    refused += [(person, packb({"age": -1})), (person, packb({"age": 1, "nickNames": [""]})),
                (strict, packb({"userId": 1, "nope": 2}))]

    def run():
        packb([Person(1, ["a"]), Strict(1), Sparse(1, items=[])], typed=True)
        shapes.decode(good)
        for decoder, payload in refused:
            with pytest.raises(ValidationError):
                decoder.decode(payload)

    assert_no_growth(run, loops(pytestconfig) // 4)


Wide = record(omit_defaults=True)(dataclasses.make_dataclass(
    "Wide", [(f"f{i}", int, dataclasses.field(default=0)) for i in range(20)]))


@record(omit_defaults=True)
@dataclasses.dataclass
class Hooked:
    first: Any
    last: int = 0


def test_omitted_fields_rewrite_the_header():
    # 20 fields take a map16 header; one left is a fixmap, the pairs moved up.
    assert packb(Wide(f3=1), typed=True) == b"\x81\xa2f3\x01"
    assert unpackb(packb(Wide(*range(1, 21)), typed=True))["f19"] == 20
    assert Decoder(List[Wide]).decode(packb([Wide(f3=1), Wide()], typed=True)) == [Wide(f3=1),
                                                                                  Wide()]

    packer = quelm.Packer(typed=True)

    def nested(obj):  # a nested pack ends where it began, before the header is rewritten
        assert packer.pack([1, 2]) == b"\x92\x01\x02"
        return "x"

    packer.__init__(typed=True, default=nested)
    assert packer.pack(Hooked(object())) == b"\x81\xa5first\xa1x"

    views = []
    packer.__init__(typed=True, default=lambda obj: views.append(packer.getbuffer()) or 1)
    with pytest.raises(BufferError):
        packer.pack(Hooked(object()))
    views.pop().release()
    assert packer.pack(Hooked(2, 3)) == packb({"first": 2, "last": 3})
