"""The leak check shared by tests/test_leaks_*.py: a call repeated many
times must leave the interpreter's live allocations and the objects the
collector tracks where they were. `pytest --leak-loops N` sets how many
times (at least 200 for the bound below to mean anything)."""

import gc
import sys

DEFAULT_LOOPS = 2000
# What caches, free lists and interning may still add after the warm-up,
# whatever the number of loops; a leak of one block per call exceeds it.
SLACK = 50


def loops(config) -> int:
    return config.getoption("--leak-loops") or DEFAULT_LOOPS


def references() -> int:
    """References held: to the singletons, which no allocation count sees
    (until 3.12 they are not immortal), and in all on a debug build."""
    held = sum(sys.getrefcount(o) for o in (None, True, False))
    return held + getattr(sys, "gettotalrefcount", lambda: 0)()


def assert_no_growth(run, count: int) -> None:
    for _ in range(200):  # warm-up: caches, interned keys, free lists
        run()
    gc.collect()
    blocks = sys.getallocatedblocks()
    objects = len(gc.get_objects())
    refs = references()
    for _ in range(count):
        run()
    gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    grown_objects = len(gc.get_objects()) - objects
    grown_refs = references() - refs
    assert grown_blocks < SLACK, (blocks, grown_blocks)
    assert grown_objects < SLACK, (objects, grown_objects)
    assert grown_refs < SLACK, (refs, grown_refs)
