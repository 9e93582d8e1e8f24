"""quelm.kombu's dumps and loads on their own (no kombu or Celery needed):
what dumps writes, loads reads back."""

import dataclasses

import pytest

from quelm.kombu import dumps, loads


@dataclasses.dataclass(frozen=True)
class Point:
    x: int


@pytest.mark.parametrize("value, expected", [
    ({(1, 2): 3}, {(1, 2): 3}),
    ({frozenset({4}): [5], "a": {(6, (7, "b")): (8,)}}, {(4,): [5], "a": {(6, (7, "b")): [8]}}),
    ([{(): None}, {1: 2}], [{(): None}, {1: 2}]),
    ({Point(1): 1}, ValueError("a map key that is itself a map cannot be decoded")),
])
def test_keys_written_as_arrays_come_back_as_tuples(value, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=str(expected)):
            loads(dumps(value))
    else:
        assert loads(dumps(value)) == expected
