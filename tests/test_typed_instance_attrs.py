"""Typed packing reads a record's fields from the instance itself where its
class lets nothing else answer getattr: wherever the value really is, the
bytes are those of getattr's answer, and a missing attribute raises getattr's
error."""

import dataclasses

import pytest

from quelm import Packer, packb

try:
    import attr
except ImportError:
    attr = None


class Trigger:
    """Packed through `default`, which then changes the record's class."""


def hook(v):
    if isinstance(v, Trigger):
        v.cls.y = property(lambda self: "from property")
        return 0
    raise TypeError(v)


def make_dataclass():
    @dataclasses.dataclass
    class Rec:
        x: object
        y: object = 5
        z: object = None
    return Rec


def make_attrs():
    @attr.s
    class Rec:
        x = attr.ib()
        y = attr.ib(default=5)
        z = attr.ib(default=None)
    return Rec


def data_descriptor_added(cls, o):
    class Getter:  # a descriptor without __set__, so far
        def __get__(self, o, cls=None):
            return "from getter"

    cls.y = Getter()
    packb(o, typed=True)  # a plan that sees a non-data descriptor
    Getter.__set__ = lambda self, o, v: None


def changed_while_packing(cls, o):
    o.x = Trigger()
    o.x.cls = cls


def materialised(cls, o):
    vars(o)
    o.y = "after vars"


def _set(o, **fields):
    for name, value in fields.items():  # in this order
        setattr(o, name, value)


def _new(cls, **fields):
    o = cls.__new__(cls)
    _set(o, **fields)
    return o


def class_replaced(cls, o):
    o.__class__ = make_dataclass()


def many_attributes(cls, o):
    for i in range(40):  # beyond what shared keys hold
        setattr(o, "a%d" % i, i)
    o.y = "many"


# Each changes the record, its class, or returns another, before it is packed.
CASES = {
    "deleted": lambda cls, o: delattr(o, "x"),
    "deleted_with_default": lambda cls, o: delattr(o, "y"),
    "set_later": lambda cls, o: _set(o, y="set later", extra=1),
    "class_default_only": lambda cls, o: _new(cls, x=1, z=2),
    "property_added": lambda cls, o: setattr(cls, "y", property(lambda self: "from property")),
    "data_descriptor_added": data_descriptor_added,
    "changed_while_packing": changed_while_packing,
    "materialised": materialised,
    "dict_replaced": lambda cls, o: setattr(o, "__dict__", {"x": "new", "y": "dict"}),
    "subclass": lambda cls, o: type("Sub", (cls,), {})(1, "sub"),
    "odd_order": lambda cls, o: _new(cls, z="z", y="y", x="x"),
    "class_replaced": class_replaced,
    "many_attributes": many_attributes,
}


@pytest.mark.parametrize("make", [make_dataclass, pytest.param(
    make_attrs, marks=pytest.mark.skipif(attr is None, reason="attrs not installed"))])
@pytest.mark.parametrize("change", CASES)
def test_field_read_is_getattr(make, change):
    change = CASES[change]
    cls = make()
    warm = cls(1, "warm")
    o = cls("a", [1, 2])
    # The plan, and where the instances keep their fields, seen first.
    for _ in range(3):
        assert packb(warm, typed=True) == packb({"x": 1, "y": "warm", "z": None})
    o = change(cls, o) or o
    packer = Packer(typed=True, default=hook)
    try:
        got = packer.pack(o)
    except AttributeError as e:
        with pytest.raises(AttributeError) as expected:
            [getattr(o, name) for name in "xyz"]
        assert str(e) == str(expected.value)
        return
    expected = {name: getattr(o, name) for name in "xyz"}
    assert got == packb(expected, default=hook)
    assert packb(warm, typed=True) == packb({"x": 1, "y": getattr(warm, "y"), "z": None})
