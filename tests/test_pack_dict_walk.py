"""Exact dicts are walked by reading the interpreter's entry table in place
where its layout is known, and through PyDict_Next everywhere else. Both
must write the same bytes for every shape of table, and the table walk must
see what Python code run while packing does to the dict. (Mutations that
change the size are refused, as tests/test_pack_mutation.py checks.)"""

import re

import pytest

from quelm import Packer
from test_pack_mutation import DICT_CHANGED, Hook


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


def instance_dict(change=lambda obj: None):
    class Attrs:
        def __init__(self):
            self.x, self.y, self.z = 1, "two", [3.0, None]

    obj = Attrs()
    change(obj)
    return obj.__dict__


class Key(str):
    pass


TABLES = [
    pytest.param({}, id="empty"),
    pytest.param({"id": 1, "name": "n", "score": 0.5, "ok": True, "p": None, "t": ["a"], "c": 7},
                 id="record"),
    pytest.param(with_deleted("abcdefgh", "a"), id="first-deleted"),
    pytest.param(with_deleted("abcdefgh", "dce"), id="middle-deleted"),
    pytest.param(with_deleted("abcdefgh", "abcdefg"), id="all-but-one-deleted"),
    pytest.param(with_deleted("abc", "abc"), id="all-deleted"),
    pytest.param(with_deleted(range(40), range(0, 40, 3)), id="int-keys-deleted"),
    pytest.param({f"k{i}": i for i in range(300)}, id="2-byte-index"),
    pytest.param({i: str(i) for i in range(70_000)}, id="4-byte-index"),
    pytest.param(with_deleted([f"k{i}" for i in range(1000)], [f"k{i}" for i in range(990)]),
                 id="grown-then-shrunk"),
    pytest.param({1: "a", 2.5: None, (1, 2): [3], b"k": 4, None: True}, id="non-str-keys"),
    pytest.param({Key("sub"): 1, "plain": {"nested": with_deleted("xyz", "y")}},
                 id="str-subclass-key"),
    pytest.param({"é": "ü", "日本": "語", "😀": "x" * 40}, id="non-ascii"),
    pytest.param(instance_dict(), id="instance-dict"),
    pytest.param(instance_dict(lambda o: delattr(o, "y")), id="instance-dict-deleted"),
    pytest.param(instance_dict(lambda o: o.__dict__.update({0: 0})), id="instance-dict-unshared"),
]


@pytest.mark.parametrize("value", TABLES)
def test_table_walk_writes_what_items_yield(value):
    assert Packer().pack([value, value]) == reference([value, value])


def resize_at_same_size(d):
    # Inserting moves the entries to a new table; deleting again brings the
    # size back, so only a walk that reads the table afresh sees the rest.
    for i in range(100):
        d[f"tmp{i}"] = i
    for i in range(100):
        del d[f"tmp{i}"]


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


def test_error_handler_set_by_hook_applies_to_the_rest_of_the_dict():
    p = Packer()

    def default(obj):
        p.__init__(unicode_errors="replace")
        return "r"

    p.__init__(default=default)
    assert p.pack({"a": object(), "b": "\ud800"}) == b"\x82\xa1a\xa1r\xa1b\xa1?"
