"""The pure-Python item reader (behind ``quelm inspect`` and ``unpack`` of
unseekable streams) must see value boundaries and faults exactly where the
native decoder does."""

import io

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quelm
from quelm import FormatError, OutOfData, StackError
from quelm._wire import WireError, read_one_value, walk

scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats()
           | st.text(max_size=40) | st.binary(max_size=300)
           | st.builds(quelm.ExtType, st.integers(-128, 127).filter(lambda c: c != -1),
                       st.binary(max_size=20))
           | st.builds(quelm.Timestamp, st.integers(-(2**63), 2**63 - 1),
                       st.integers(0, 10**9 - 1)))
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=5), inner,
                                                                max_size=5),
    max_leaves=20,
)


def native_boundary(data):
    """Length of the first value by the native decoder's skip, or the class
    of its failure."""
    unpacker = quelm.Unpacker()
    unpacker.feed(data)
    try:
        unpacker.skip()
    except (OutOfData, FormatError, StackError) as error:
        return type(error)
    return unpacker.tell()


def python_boundary(data):
    try:
        return len(read_one_value(io.BytesIO(data)))
    except (OutOfData, FormatError, StackError) as error:
        return type(error)


@given(st.lists(values, min_size=1, max_size=3), st.data())
def test_boundaries_agree_on_valid_and_damaged_streams(items, data):
    stream = bytearray(b"".join(quelm.packb(item) for item in items))
    action = data.draw(st.sampled_from(["keep", "cut", "flip"]))
    if action == "cut":
        del stream[data.draw(st.integers(0, len(stream) - 1)):]
    elif action == "flip":
        stream[data.draw(st.integers(0, len(stream) - 1))] = data.draw(st.integers(0, 255))
    assert python_boundary(bytes(stream)) == native_boundary(bytes(stream))


@given(st.binary(max_size=64))
def test_boundaries_agree_on_arbitrary_bytes(data):
    assert python_boundary(data) == native_boundary(data)


@pytest.mark.parametrize(
    "data, boundary",
    [
        pytest.param(b"\x91" * 1024 + b"\x01", 1025, id="deepest-allowed"),
        pytest.param(b"\x91" * 1024 + b"\x90", StackError, id="empty-container-too-deep"),
        pytest.param(b"\x91" * 1023 + b"\xdc\x00\x01\x01", 1027, id="array16-at-the-limit"),
        pytest.param(b"\xc7\x00\x05", 3, id="empty-ext"),
        pytest.param(b"\xd5\xff\x00\x01", 4, id="bad-timestamp-is-well-formed"),
        pytest.param(b"\xa2\xc3\x28", 3, id="bad-utf8-is-well-formed"),
    ],
)
def test_boundaries(data, boundary):
    assert python_boundary(data) == boundary == native_boundary(data)


def test_walk_yields_every_item_with_depth_and_role():
    items = list(walk(io.BytesIO(bytes.fromhex("82a16101a162" "9102"))))
    assert [(i.offset, i.depth, i.role, i.kind, i.value) for i in items] == [
        (0, 0, "", "map", 2), (1, 1, "key", "str", "a"), (3, 1, "value", "int", 1),
        (4, 1, "key", "str", "b"), (6, 1, "value", "array", 1), (7, 2, "", "int", 2)]


def test_walk_reports_where_a_value_breaks():
    with pytest.raises(WireError) as caught:
        list(walk(io.BytesIO(bytes.fromhex("01 92 c0 c1".replace(" ", "")))))
    assert (caught.value.offset, caught.value.kind) == (3, FormatError)
    assert str(caught.value) == "at offset 3: invalid byte 0xc1 (it starts no value)"
