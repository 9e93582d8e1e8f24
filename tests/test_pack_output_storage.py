"""The Packer's output storage: a finished output is handed over as the
result bytes object, new storage starts for the next one, and nothing of a
result handed over may change when the Packer writes again."""
import gc
import tracemalloc

import pytest

from quelm import Packer, packb, unpackb


def blob(size, seed):
    """A list packing to a little over `size` bytes, different per seed."""
    return [bytes([(seed + i) % 251]) * 1000 for i in range(max(1, size // 1003))]


SIZES = [0, 1, 4095, 4096, 4097, 5000, 1 << 16, (1 << 16) + 1, 3 << 20]


def packers():
    return [
        pytest.param(lambda: Packer(), id="default"),
        pytest.param(lambda: Packer(buf_size=0), id="buf-size-0"),
        pytest.param(lambda: Packer(buf_size=4096), id="buf-size-4096"),
        pytest.param(lambda: Packer(buf_size=1 << 20), id="buf-size-1MiB"),
    ]


@pytest.mark.parametrize("make", packers())
def test_results_stay_whole_through_growth_and_shrink(make):
    # Every order of small and large outputs on one Packer: each result is
    # its own bytes object, which later packs neither overwrite nor free.
    p = make()
    values = [[i] if size == 0 else blob(size, i) for i, size in enumerate(SIZES + SIZES[::-1])]
    results = [p.pack(v) for v in values]
    gc.collect()
    for value, result in zip(values, results):
        assert type(result) is bytes
        assert unpackb(result) == value
        assert result == packb(value)
        # The hash is computed afresh, not read from uninitialised memory.
        assert hash(result) == hash(bytes(bytearray(result)))
    assert p.bytes() == b""


@pytest.mark.parametrize("autoreset", [True, False])
def test_views_and_reset_around_hand_overs(autoreset):
    p = Packer(autoreset=autoreset)
    big = blob(1 << 20, 1)
    out = p.pack(big)
    expected = packb(big)
    if autoreset:
        assert out == expected
        expected = b""
    with p.getbuffer() as view:
        assert bytes(view) == expected == p.bytes()
        with pytest.raises(BufferError, match="Existing exports of data"):
            p.pack(big)
        with pytest.raises(BufferError, match="Existing exports of data"):
            p.reset()
    p.reset()
    assert p.bytes() == b""
    out = p.pack(big)
    assert (out if autoreset else p.bytes()) == packb(big)


@pytest.mark.parametrize("make", [
    pytest.param(lambda big: (lambda p: (p.pack(big), p)[1])(Packer()), id="after-hand-over"),
    pytest.param(lambda big: Packer(buf_size=1), id="growing"),
    pytest.param(lambda big: Packer(autoreset=False, buf_size=1), id="kept"),
])
def test_memory_error_leaves_the_packer_usable(make):
    # Allocation number i fails, for each i: the pack either returns the
    # whole value or fails leaving nothing of it, and the Packer goes on.
    testcapi = pytest.importorskip("_testcapi")
    big = blob(1 << 18, 2)
    expected = packb(big)
    outcomes = set()
    for i in range(64):
        if "packed" in outcomes:
            break
        p = make(big)
        testcapi.set_nomemory(i, i + 1)
        try:
            out = p.pack(big)
        except MemoryError:
            out = MemoryError
        finally:
            testcapi.remove_mem_hooks()
        if out is MemoryError:
            outcomes.add("failed")
            assert p.bytes() == b""
        else:
            outcomes.add("packed")
            assert (out if out is not None else p.bytes()) == expected
        p.reset()
        out = p.pack(big)
        assert (out if out is not None else p.bytes()) == expected
    assert outcomes == {"failed", "packed"}


def test_small_outputs_after_a_huge_one_do_not_keep_its_storage():
    p = Packer()
    huge = p.pack(blob(64 << 20, 3))
    assert len(huge) > 60 << 20
    del huge
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for i in range(3):
            assert p.pack([i]) == bytes([0x91, i])
        held = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert held < 1 << 20
