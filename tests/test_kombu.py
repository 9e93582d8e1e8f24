"""quelm.kombu on its own: what dumps writes, loads reads back."""

import dataclasses

from quelm.kombu import dumps, loads


def test_every_key_dumps_writes_comes_back_hashable():
    value = {(1, 2): 3, "a": [{frozenset({4}): (5,), (6, (7, "b")): None}], 8: {(): 9}}
    expected = {(1, 2): 3, "a": [{(4,): [5], (6, (7, "b")): None}], 8: {(): 9}}
    assert loads(dumps(value)) == expected
    key = dataclasses.make_dataclass("Key", ["x", "y"], frozen=True)
    # A key written as a map: a tuple of its pairs.
    pairs = (("x", 1), ("y", (("x", 2), ("y", (3,)))))
    assert loads(dumps({key(1, key(2, (3,))): 4})) == {pairs: 4}
