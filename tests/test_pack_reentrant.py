"""Python code run in the middle of a pack: hooks, __len__, items(),
comparisons and attribute reads that re-enter the Packer, mutate or free
what is being packed, or take views of the buffer. Also what a failed call
leaves behind."""

import re
import sys

import pytest

from quelm import ExtType, Packer, Timestamp

GUARD = "Existing exports of data: Packer cannot be changed"


def test_failed_pack_keeps_earlier_output_without_autoreset():
    p = Packer(autoreset=False)
    p.pack(1)
    p.pack(2)
    with pytest.raises(TypeError):
        p.pack([3, 4, object()])
    assert p.bytes() == b"\x01\x02"
    p.pack(5)
    assert p.bytes() == b"\x01\x02\x05"


def test_failed_pack_empties_with_autoreset():
    p = Packer()
    with pytest.raises(TypeError):
        p.pack([3, 4, object()])
    assert p.bytes() == b""
    assert p.pack(5) == b"\x05"


def test_value_freed_by_hook_stays_alive_while_packed():
    class Victim:
        pass

    data = {"k": Victim(), "z": 1}
    seen = []

    def default(obj):
        data.clear()
        data.update(a=1, b=2)
        # The popped value is still referenced by the walk (and the argument).
        seen.append(sys.getrefcount(obj))
        return "still-alive"

    out = Packer(default=default).pack([data])
    assert out == b"\x91\x82\xa1k\xabstill-alive\xa1b\x02"
    assert seen == [3]


def test_ext_code_read_resizes_the_data():
    payload = bytearray(b"z" * 5000)

    class Sneaky(ExtType):
        @property
        def code(self):
            payload.clear()
            return 5

    value = tuple.__new__(Sneaky, (0, payload))
    assert Packer().pack(value) == b"\xc7\x00\x05"


def test_timestamp_index_mutates():
    victim = [Timestamp(1, 0)]

    class Ns:
        def __index__(self):
            victim.clear()
            return 7

    ts = object.__new__(Timestamp)
    object.__setattr__(ts, "seconds", 1)
    object.__setattr__(ts, "nanoseconds", Ns())
    victim.extend([ts, 1])
    with pytest.raises(RuntimeError):
        Packer().pack(victim)


def test_view_taken_by_default_and_kept():
    views = []
    p = Packer(autoreset=False)
    p.pack("before")

    def default(obj):
        views.append(p.getbuffer())
        return "after"

    p.__init__(autoreset=False, default=default)
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.pack([object()])
    view = views.pop()
    # The view still shows the bytes it was taken over.
    assert view.tobytes() == b"\xa6before\x91"
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.pack(1)
    view.release()
    assert p.bytes() == b"\xa6before"
    p.pack(1)
    assert p.bytes() == b"\xa6before\x01"


def test_view_taken_by_default_before_growth():
    views = []

    def default(obj):
        views.append(p.getbuffer())
        return b"x" * 100000

    p = Packer(buf_size=1, default=default)
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.pack([object()])
    assert views[0].tobytes() == b"\x91"
    views.pop().release()
    assert p.pack(1) == b"\x01"


def test_view_taken_and_released_by_default():
    p = Packer()

    def default(obj):
        with p.getbuffer() as view:
            assert view.tobytes() == b"\x92\x01"
        return 2

    p.__init__(default=default)
    assert p.pack([1, object()]) == b"\x92\x01\x02"


def test_view_of_inner_result_outlives_autoreset():
    p = Packer()
    views = []

    def default(obj):
        p.pack(0)
        views.append(p.getbuffer())
        return 1

    p.__init__(default=default)
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.pack([object(), 2])
    view = views.pop()
    # The inner call took its own bytes back out; the outer header remains.
    assert view.tobytes() == b"\x92"
    view.release()


def test_view_taken_while_pairs_iterate():
    p = Packer(autoreset=False)
    views = []

    def pairs():
        yield 1, 2
        views.append(p.getbuffer())
        yield 3, 4

    class Pairs:
        def __len__(self):
            return 2

        def __iter__(self):
            return pairs()

    p.pack(0)
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.pack_map_pairs(Pairs())
    assert views[0].tobytes() == b"\x00\x82\x01\x02"
    views.pop().release()
    assert p.bytes() == b"\x00"


def test_reinit_from_hook_during_pack():
    p = Packer(unicode_errors="replace")

    def default(obj):
        p.__init__(unicode_errors="ignore", default=None)
        return "a\ud800"

    p.__init__(unicode_errors="replace", default=default)
    assert p.pack(["\ud800", object(), "\ud800"]) == b"\x93\xa1?\xa1a\xa0"


class LongList(list):
    def __iter__(self):
        return iter([1, 2])


def nested_without_autoreset():
    p = Packer(autoreset=False)
    p.__init__(autoreset=False, default=lambda obj: p.pack(1))
    p.pack([object()])


LEAK_CALLS = [
    pytest.param(lambda p: p.pack([1, object()]), id="unsupported"),
    pytest.param(lambda p: p.pack(2**64), id="overflow"),
    pytest.param(lambda p: Packer(default=str).pack([2**64, "x"]), id="default-hook"),
    pytest.param(lambda p: p.pack({"a": [1, {2}]}), id="nested"),
    pytest.param(lambda p: p.pack(ExtType(1, b"ab")), id="ext"),
    pytest.param(lambda p: p.pack(Timestamp(-1, 5)), id="timestamp"),
    pytest.param(lambda p: p.pack(memoryview(b"abc")), id="memoryview"),
    pytest.param(lambda p: p.pack_map_pairs([(1,)]), id="pairs-fail"),
    pytest.param(lambda p: p.pack_map_pairs(iter([(1, 2)] * 3)), id="pairs-no-len"),
    pytest.param(lambda p: p.pack_map_pairs({1: 2}.items()), id="pairs-iterated"),
    pytest.param(lambda p: p.pack_ext_type(1, 5), id="ext-type-fail"),
    pytest.param(lambda p: p.pack([[[]]] * 3), id="success"),
    pytest.param(lambda p: p.pack({"k": "v" * 100, 1: b"b", 2.5: None}), id="dict-success"),
    pytest.param(lambda p: Packer(unicode_errors="replace").pack("\ud800"), id="errors"),
    pytest.param(lambda p: p.getbuffer().release(), id="view"),
    pytest.param(lambda p: p.pack(LongList([1])), id="length-mismatch"),
    pytest.param(lambda p: Packer(default=lambda o: p.pack(str(o))).pack([1j, 2]),
                 id="nested-call"),
    pytest.param(lambda p: nested_without_autoreset(), id="nested-refused"),
]


@pytest.mark.parametrize("call", LEAK_CALLS)
def test_no_reference_leaks(call):
    import gc
    import tracemalloc

    p = Packer()

    def run():
        try:
            call(p)
        except (TypeError, ValueError, OverflowError, RuntimeError):
            pass

    for _ in range(20):
        run()
    gc.collect()
    objects = len(gc.get_objects())
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024
    assert len(gc.get_objects()) <= objects + 5
    if total is not None:
        assert sys.gettotalrefcount() - total < 50


def test_reference_counts_of_packed_objects_unchanged():
    key, value, item = "k" * 40, b"v" * 40, 2**40
    data = bytearray(b"ext")
    ext = tuple.__new__(ExtType, (3, data))
    result = [item]
    pairs = [(key, value)]
    objects = [key, value, item, data, ext, result, pairs]
    before = [sys.getrefcount(o) for o in objects]
    p = Packer(default=lambda o: result)
    strict = Packer(strict_types=True, default=lambda o: result)
    for _ in range(100):
        p.pack([{key: value}, item, ext, object(), (item,)])
        p.pack_map_pairs(pairs)
        strict.pack((key, value))
        with pytest.raises(TypeError):
            Packer().pack([{key: value}, item, object()])
        with pytest.raises(ValueError):
            p.pack_map_pairs([(key, value), (item,)])
    assert [sys.getrefcount(o) for o in objects] == before


def test_value_freed_while_its_key_is_packed():
    # The hook runs for the key and drops the dict's entries: the value,
    # whose only other reference was the dict, must still be packable.
    class Key:
        pass

    data = {Key(): [1, 2, [3] * 50]}

    def default(obj):
        data.clear()
        return "k"

    p = Packer(autoreset=False, default=default)
    with pytest.raises(RuntimeError,
                       match=re.escape("dictionary changed size during iteration")):
        p.pack(data)
    assert p.bytes() == b""


def test_item_freed_while_packed():
    # The comparison drops the list's reference to the int being packed,
    # whose digits are read after it returns.
    class Holder(int):
        def __gt__(self, other):
            items.clear()
            return True

    items = [Holder(2**40), "x" * 100]
    with pytest.raises(RuntimeError, match=re.escape("list changed size during iteration")):
        Packer().pack(items)
