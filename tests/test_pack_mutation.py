"""Containers changed by Python code while they are packed, and calls made
on the same Packer from inside a pack. Either the call fails with the
buffer as it was before it, or the bytes decode to exactly what was
written: a header never disagrees with the items that follow."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from quelm import ExtraData, Packer, Unpacker, unpackb

LIST_CHANGED = "list changed size during iteration"
DICT_CHANGED = "dictionary changed size during iteration"
EARLIER = b"\xa7earlier"  # output of an earlier call, which must survive


def packer_with_earlier_output(default=None):
    p = Packer(autoreset=False, default=default)
    p.pack("earlier")
    return p


def decode_all(data):
    unpacker = Unpacker(use_list=True)
    unpacker.feed(data)
    return list(unpacker)


class Hook:
    """A default hook that changes something the first time it runs."""

    def __init__(self, change):
        self.change = change
        self.calls = 0

    def __call__(self, obj):
        self.calls += 1
        if self.calls == 1:
            self.change()
        return "replaced"


# ---- exact lists and dicts ----------------------------------------------

LIST_CHANGES = {
    "clear": list.clear,
    "shrink": list.pop,
    "grow": lambda l: l.append(99),
    "grow-a-lot": lambda l: l.extend(range(1000)),
}
DICT_CHANGES = {
    "clear": dict.clear,
    "grow": lambda d: d.update({i: i for i in range(100)}),
    "pop": lambda d: d.pop("b"),
}


def nested_lists(position):
    inner = [object(), 2, "three"] if position == "first" else [1, 2, object()]
    return inner, ([inner, "after"] if position == "first" else ["before", inner])


def nested_dicts(position):
    inner = {"a": object(), "b": [1, 2, 3], "c": "x" * 100}
    return inner, {"inner": inner, "b": 1} if position == "first" else {"b": 1, "inner": inner}


SIZE_CASES = [
    pytest.param(nested_lists, change, LIST_CHANGED, id=f"list-{name}")
    for name, change in LIST_CHANGES.items()
] + [
    pytest.param(nested_dicts, change, DICT_CHANGED, id=f"dict-{name}")
    for name, change in DICT_CHANGES.items()
]


@pytest.mark.parametrize("build, change, message", SIZE_CASES)
@pytest.mark.parametrize("target", ["packed", "parent"])
@pytest.mark.parametrize("position", ["first", "last"])
def test_default_changes_a_container_size(build, change, message, target, position):
    inner, outer = build(position)
    victim = inner if target == "packed" else outer
    p = packer_with_earlier_output(Hook(lambda: change(victim)))
    with pytest.raises(RuntimeError, match=re.escape(message)):
        p.pack(outer)
    assert p.bytes() == EARLIER


def test_list_changed_by_int_subclass_comparison():
    items = []

    class Clearing(int):
        def __gt__(self, other):
            items.clear()
            return int(self) > other

    items.extend([Clearing(5), 1, 2])
    p = packer_with_earlier_output()
    with pytest.raises(RuntimeError, match=re.escape(LIST_CHANGED)):
        p.pack([items])
    assert p.bytes() == EARLIER


@pytest.mark.parametrize("target", ["packed", "parent"])
def test_list_item_replaced_at_the_same_size(target):
    # A change that keeps the size is written as the list reads when each
    # item is reached: the bytes decode to exactly what was written.
    inner = [object(), 1, 2]
    outer = [inner, 3]
    victim = inner if target == "packed" else outer

    def change():
        victim[-1] = "new"

    out = Packer(default=Hook(change)).pack(outer)
    assert unpackb(out) == ([["replaced", 1, "new"], 3] if target == "packed"
                            else [["replaced", 1, 2], "new"])


def test_item_dropped_by_the_list_stays_alive_while_packed():
    items = []

    class Victim:
        pass

    def default(obj):
        items[0] = None  # the only other reference to obj goes
        return [obj is not None, 1]

    items.append(Victim())
    assert unpackb(Packer(default=default).pack(items)) == [[True, 1]]


def test_dict_keys_replaced_at_constant_size():
    # The size never changes, but the walk must not write more pairs than
    # the header announced.
    data = {0: object(), 1: 1}

    def change():
        del data[0]
        data[5] = 5

    p = packer_with_earlier_output(Hook(change))
    with pytest.raises(RuntimeError, match=re.escape("dictionary keys changed during iteration")):
        p.pack(data)
    assert p.bytes() == EARLIER


def test_dict_rebuilt_at_constant_size_writes_what_it_walked():
    data = {0: object()}

    def change():
        data.clear()
        data[1] = 2

    assert Packer(default=Hook(change)).pack(data) == b"\x81\x00\xa8replaced"


# ---- containers walked by iteration or items() --------------------------

class LongList(list):
    def __iter__(self):
        return iter([1, 2, 3])


class ShortList(list):
    def __iter__(self):
        return iter([])


class ShortTuple(tuple):
    def __iter__(self):
        return iter([7])


class Overstated(dict):
    def __len__(self):
        return 3


class Understated(dict):
    def __len__(self):
        return 1


class EndlessItems(dict):
    def items(self):
        while True:
            yield "k", 1


@pytest.mark.parametrize("value, message", [
    (LongList([1]), "LongList object has length 1 but yielded at least 2 items"),
    (ShortList([1, 2]), "ShortList object has length 2 but yielded 0 items"),
    (ShortTuple((1, 2)), "ShortTuple object has length 2 but yielded 1 item"),
    (Overstated(a=1), "Overstated object has length 3 but yielded 1 pair"),
    (Understated(a=1, b=2), "Understated object has length 1 but yielded at least 2 pairs"),
    (EndlessItems(a=1), "EndlessItems object has length 1 but yielded at least 2 pairs"),
    ([[0, ShortList([5])]],
     "ShortList object has length 1 but yielded 0 items"),
])
def test_iteration_disagreeing_with_length(value, message):
    p = packer_with_earlier_output()
    with pytest.raises(ValueError) as info:
        p.pack(value)
    assert str(info.value) == message
    assert p.bytes() == EARLIER


def test_items_that_clears_the_dict_after_listing_it():
    class Snapshot(dict):
        def items(self):
            pairs = list(super().items())
            self.clear()
            return pairs

    value = Snapshot(a=1, b=[2])
    assert unpackb(Packer().pack(value)) == {"a": 1, "b": [2]}


def test_items_that_changes_the_dict_while_iterated():
    class Mutating(dict):
        def items(self):
            for pair in super().items():
                self["new"] = 0
                yield pair

    p = packer_with_earlier_output()
    with pytest.raises(RuntimeError, match=re.escape(DICT_CHANGED)):
        p.pack(Mutating(a=1, b=2))
    assert p.bytes() == EARLIER


@pytest.mark.parametrize("change", [list.clear, lambda l: l.append((7, 8))],
                         ids=["shrinks", "grows"])
def test_pack_map_pairs_list_changed_by_packing(change):
    pairs = [(1, object()), (3, 4)]
    p = packer_with_earlier_output(Hook(lambda: change(pairs)))
    with pytest.raises(RuntimeError, match=re.escape(LIST_CHANGED)):
        p.pack_map_pairs(pairs)
    assert p.bytes() == EARLIER


# ---- calls on the same Packer from inside a pack ------------------------

TOO_DEEP = []
for _ in range(1100):
    TOO_DEEP = [TOO_DEEP]

NESTED_FAILURES = {
    "surrogate": lambda p: p.pack([9, "\ud800"]),
    "too-deep": lambda p: p.pack([9, TOO_DEEP]),
    "pairs": lambda p: p.pack_map_pairs([(1, 2), (3,)]),
    "ext": lambda p: p.pack_ext_type(1000, b"x"),
}


@pytest.mark.parametrize("nested", NESTED_FAILURES.values(), ids=NESTED_FAILURES.keys())
def test_caught_nested_failure_with_autoreset(nested):
    p = Packer()
    caught = []

    def default(obj):
        with pytest.raises((TypeError, ValueError, OverflowError)) as info:
            nested(p)
        caught.append(info.type)
        return 1

    p.__init__(default=default)
    value = [5, {"k": "v" * 40}, complex(1, 2), 6]
    assert unpackb(p.pack(value)) == [5, {"k": "v" * 40}, 1, 6]
    assert len(caught) == 1
    assert p.bytes() == b""


NESTED_CALLS = {
    "pack": (lambda p: p.pack({"n": [1, 2]}), b"\x81\xa1n\x92\x01\x02"),
    "array-header": (lambda p: p.pack_array_header(2), b"\x92"),
    "map-header": (lambda p: p.pack_map_header(1), b"\x81"),
    "map-pairs": (lambda p: p.pack_map_pairs([(1, 2)]), b"\x81\x01\x02"),
    "ext": (lambda p: p.pack_ext_type(5, b"ab"), b"\xd5\x05ab"),
}


@pytest.mark.parametrize("nested, expected", NESTED_CALLS.values(), ids=NESTED_CALLS.keys())
def test_nested_call_with_autoreset_returns_its_own_bytes(nested, expected):
    p = Packer()
    inner = []

    def default(obj):
        inner.append(nested(p))
        return "x"

    p.__init__(default=default)
    assert p.pack([1, object(), 2]) == b"\x93\x01\xa1x\x02"
    assert inner == [expected]


@pytest.mark.parametrize("nested", [c for c, _ in NESTED_CALLS.values()], ids=NESTED_CALLS.keys())
def test_caught_nested_call_without_autoreset(nested):
    # Its bytes would land inside the outer value: refused before writing.
    p = packer_with_earlier_output()

    def default(obj):
        with pytest.raises(RuntimeError, match=re.escape(
                "Packer with autoreset=False cannot be called recursively while packing is in "
                "progress")):
            nested(p)
        return 1

    p.__init__(autoreset=False, default=default)
    p.pack([5, complex(1, 2), 6])
    assert decode_all(p.bytes()) == ["earlier", [5, 1, 6]]


def test_nested_call_inside_items():
    p = Packer()
    inner = []

    class Nesting(dict):
        def items(self):
            yield 1, 2
            inner.append(p.pack("in"))
            yield 3, 4

    assert p.pack(Nesting(a=1, b=2)) == b"\x82\x01\x02\x03\x04"
    assert inner == [b"\xa2in"]


def test_nested_call_that_turns_autoreset_off_keeps_the_outer_value_whole():
    p = Packer()

    def default(obj):
        p.__init__(autoreset=False)
        with pytest.raises(RuntimeError, match="cannot be called recursively"):
            p.pack(0)
        return 1

    p.__init__(default=default)
    # autoreset is read when the outer call ends: it is off by then.
    assert p.pack([object(), 2]) is None
    assert p.bytes() == b"\x92\x01\x02"


@pytest.mark.parametrize("autoreset", [True, False])
def test_reset_refused_while_packing(autoreset):
    p = Packer()

    def default(obj):
        with pytest.raises(RuntimeError,
                           match=re.escape("Packer cannot be reset while packing is in progress")):
            p.reset()
        return 1

    p.__init__(autoreset=autoreset, default=default)
    out = p.pack([object(), 2])
    assert (out if autoreset else p.bytes()) == b"\x92\x01\x02"
    p.reset()
    assert p.bytes() == b""


# ---- any sequence of mutations ------------------------------------------

MUTATIONS = [
    lambda c: c.clear(),
    lambda c: c.append(0) if isinstance(c, list) else c.__setitem__(object(), 0),
    lambda c: c.pop() if isinstance(c, list) else c.popitem(),
    lambda c: c.insert(0, "x") if isinstance(c, list) else c.__setitem__("k", "x"),
    lambda c: c.__setitem__(0, "r") if isinstance(c, list) else c.update(a=1, b=2, c=3),
]


class Trigger:
    """Sent to the default hook, which then changes one of the containers."""

    def __init__(self, target, mutation):
        self.target = target
        self.mutation = mutation


@st.composite
def mutated_structures(draw):
    containers = []

    def build(depth):
        kind = draw(st.sampled_from(["list", "dict", "leaf", "trigger"] if depth < 3 else
                                    ["leaf", "trigger"]))
        if kind == "leaf":
            return draw(st.integers(-5, 5))
        if kind == "trigger":
            return Trigger(draw(st.integers(0, 50)), draw(st.integers(0, len(MUTATIONS) - 1)))
        n = draw(st.integers(0, 4))
        if kind == "list":
            c = [build(depth + 1) for _ in range(n)]
        else:
            c = {f"k{i}": build(depth + 1) for i in range(n)}
        containers.append(c)
        return c

    return build(0), containers


@settings(max_examples=300, deadline=None)
@given(mutated_structures())
def test_mutations_never_give_disagreeing_headers(case):
    root, containers = case

    def default(obj):
        if isinstance(obj, Trigger) and containers:
            target = containers[obj.target % len(containers)]
            try:
                MUTATIONS[obj.mutation](target)
            except (IndexError, KeyError):
                pass
        return 7

    p = packer_with_earlier_output(default)
    try:
        p.pack(root)
    except (RuntimeError, ValueError) as error:
        assert "changed" in str(error) or "yielded" in str(error)
        assert p.bytes() == EARLIER
        return
    out = p.bytes()
    assert out.startswith(EARLIER)
    try:
        unpackb(out[len(EARLIER):], strict_map_key=False)
    except ExtraData:
        pytest.fail("a header announced fewer items than were written")
    except ValueError:
        pytest.fail("a header announced more items than were written")
