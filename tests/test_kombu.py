"""quelm.kombu on its own: what dumps writes, loads reads back."""

import dataclasses

import pytest

from quelm.kombu import dumps, loads


def test_keys_written_as_arrays_come_back_as_tuples():
    value = {(1, 2): 3, "a": [{frozenset({4}): (5,), (6, (7, "b")): None}], 8: {(): 9}}
    expected = {(1, 2): 3, "a": [{(4,): [5], (6, (7, "b")): None}], 8: {(): 9}}
    assert loads(dumps(value)) == expected
    key = dataclasses.make_dataclass("Key", ["x"], frozen=True)(1)
    with pytest.raises(ValueError, match="a map key that is itself a map cannot be decoded"):
        loads(dumps({key: 1}))
