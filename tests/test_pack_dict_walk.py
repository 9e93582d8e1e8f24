"""Exact dicts are walked by reading the interpreter's entry table in place
where its layout is known, and through PyDict_Next everywhere else. Both
walks must write the same bytes for every shape of table (deleted entries,
grown and shrunk tables, wide indices, keys of any type, split instance
dicts), and the table walk must notice everything Python code run while
packing does to the dict."""

import re
import sys

import pytest

from quelm import Packer, unpackb
from test_pack_mutation import DICT_CHANGED, Hook

KEYS_CHANGED = "dictionary keys changed during iteration"


def reference(value):
    """The encoding with every dict written from its items() in order, a
    walk that shares nothing with the packer's."""
    if type(value) is dict:
        head = Packer().pack_map_header(len(value))
        return head + b"".join(reference(k) + reference(v) for k, v in value.items())
    if type(value) is list:
        return Packer().pack_array_header(len(value)) + b"".join(map(reference, value))
    return Packer().pack(value)


def with_deleted(keys, deleted):
    d = {k: [k] if i % 5 == 0 else k for i, k in enumerate(keys)}
    for k in deleted:
        del d[k]
    return d


def grown_then_shrunk(n, kept):
    d = {f"k{i}": i for i in range(n)}
    for i in range(n):
        if i % kept:
            del d[f"k{i}"]
    return d


def reinserted():
    d = {"a": 1, "b": 2, "c": 3}
    del d["a"]
    d["a"] = "last"
    return d


class Slots:
    def __init__(self):
        self.x = 1
        self.y = "two"
        self.z = [3.0, None]


def instance_dict(change=None):
    obj = Slots()
    if change:
        change(obj)
    return obj.__dict__


class Key(str):
    pass


TABLES = [
    pytest.param({}, id="empty"),
    pytest.param(dict.fromkeys("abc"), id="fromkeys"),
    pytest.param({"id": 1, "name": "n", "score": 0.5, "ok": True, "p": None, "t": ["a"], "c": 7},
                 id="record"),
    pytest.param(with_deleted("abcdefgh", "a"), id="first-deleted"),
    pytest.param(with_deleted("abcdefgh", "dce"), id="middle-deleted"),
    pytest.param(with_deleted("abcdefgh", "h"), id="last-deleted"),
    pytest.param(with_deleted("abcdefgh", "abcdefg"), id="all-but-one-deleted"),
    pytest.param(with_deleted("abc", "abc"), id="all-deleted"),
    pytest.param(with_deleted(range(40), range(0, 40, 3)), id="int-keys-deleted"),
    pytest.param(reinserted(), id="reinserted"),
    pytest.param({f"k{i}": i for i in range(300)}, id="2-byte-index"),
    pytest.param({i: str(i) for i in range(70_000)}, id="4-byte-index"),
    pytest.param(grown_then_shrunk(1000, 97), id="grown-then-shrunk"),
    pytest.param(dict(grown_then_shrunk(1000, 97)), id="copied-after-shrinking"),
    pytest.param({1: "a", 2.5: None, (1, 2): [3], b"k": 4, None: True}, id="non-str-keys"),
    pytest.param({"a": 1, 2: "b", "c": {"d": {}}}, id="mixed-keys"),
    pytest.param({Key("sub"): 1, "plain": 2}, id="str-subclass-key"),
    pytest.param({"é": "ü", "日本": "語", "😀": "x" * 40}, id="non-ascii"),
    pytest.param({"outer": with_deleted("xyz", "y"), "list": [with_deleted("pq", "p")]},
                 id="nested-deleted"),
    pytest.param(instance_dict(), id="instance-dict"),
    pytest.param(instance_dict(lambda o: delattr(o, "y")), id="instance-dict-deleted"),
    pytest.param(instance_dict(lambda o: setattr(o, "w", 0)), id="instance-dict-grown"),
    pytest.param(instance_dict(lambda o: o.__dict__.update({i: i for i in range(3)})),
                 id="instance-dict-unshared"),
]


@pytest.mark.parametrize("value", TABLES)
def test_table_walk_writes_what_items_yield(value):
    assert Packer().pack(value) == reference(value)
    assert Packer().pack([value, value]) == reference([value, value])


# ---- Python code run while the table is walked ---------------------------

def resize_at_same_size(d):
    # Inserting grows the table into new storage; deleting again brings the
    # size back, so only a walk that reads the table afresh sees the rest.
    for i in range(100):
        d[f"tmp{i}"] = i
    for i in range(100):
        del d[f"tmp{i}"]


def replace_keys(d):
    # The walked key goes and a new one comes after the rest: the walk
    # would write one pair more than the header announced.
    del d["a"]
    d["z"] = 26


MUTATIONS = [
    pytest.param(lambda d: d.pop("c"), DICT_CHANGED, id="shrink"),
    pytest.param(lambda d: d.update(x=1), DICT_CHANGED, id="grow"),
    pytest.param(dict.clear, DICT_CHANGED, id="clear"),
    pytest.param(replace_keys, KEYS_CHANGED, id="keys-replaced"),
]


@pytest.mark.parametrize("change, message", MUTATIONS)
@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
def test_mutation_by_hook_is_refused(change, message, nested):
    d = {"a": object(), "b": 1, "c": "three"}
    p = Packer(default=Hook(lambda: change(d)))
    with pytest.raises(RuntimeError, match=re.escape(message)):
        p.pack([d] if nested else d)


@pytest.mark.parametrize("first, expected", [
    pytest.param(("a", object()), b"\xa1a\xa8replaced", id="value-runs-the-hook"),
    # A tuple key holding an unsupported item runs the hook for the key.
    pytest.param(((object(),), 0), b"\x91\xa8replaced\x00", id="key-runs-the-hook"),
])
def test_table_replaced_at_same_size_is_read_again(first, expected):
    d = dict([first, ("b", 1), ("c", "three")])
    out = Packer(default=Hook(lambda: resize_at_same_size(d))).pack(d)
    assert out == b"\x83" + expected + b"\xa1b\x01\xa1c\xa5three"


def test_entries_moved_before_the_position_are_not_walked():
    # Deleted entries ahead of the walk are dropped when the table grows:
    # "y" moves to a position the walk has passed, as PyDict_Next would see.
    d = {"a": 0, "b": 0, "x": object(), "y": 1}
    del d["a"], d["b"]
    p = Packer(default=Hook(lambda: resize_at_same_size(d)))
    with pytest.raises(RuntimeError, match=re.escape(DICT_CHANGED)):
        p.pack(d)


def test_value_replaced_at_same_size_is_written_as_read():
    d = {"a": object(), "b": 1, "c": {"inner": object()}}

    def change():
        d["b"] = "new"
        d["c"] = 3

    assert unpackb(Packer(default=Hook(change)).pack(d)) == {"a": "replaced", "b": "new", "c": 3}


def test_error_handler_set_by_hook_applies_to_the_rest_of_the_dict():
    p = Packer()

    def default(obj):
        p.__init__(unicode_errors="replace")
        return "r"

    p.__init__(default=default)
    assert p.pack({"a": object(), "b": "\ud800"}) == b"\x82\xa1a\xa1r\xa1b\xa1?"


def test_dict_freed_by_its_parent_during_its_walk_stays_valid():
    parent = {"d": None}
    parent["d"] = {"a": object(), "b": "still here", "c": list(range(3))}

    def change():
        parent.clear()

    out = Packer(default=Hook(change)).pack([parent["d"]])
    assert unpackb(out) == [{"a": "replaced", "b": "still here", "c": [0, 1, 2]}]


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_table_walk_keeps_reference_counts():
    key, value = "k" * 40, ["v"]
    d = {key: value, "x": 1.5}
    before = sys.getrefcount(key), sys.getrefcount(value)
    for _ in range(100):
        Packer().pack(d)
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before
