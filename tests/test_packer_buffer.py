"""Buffer access: bytes(), getbuffer(), the buffer protocol, reset(), the
export guard, pickling refusal and garbage collection."""

import copy
import gc
import pickle
import re
import weakref

import pytest

from quelm import Packer

GUARD = "Existing exports of data: Packer cannot be changed"

GUARDED = [
    pytest.param(lambda p: p.pack(1), id="pack"),
    pytest.param(lambda p: p.reset(), id="reset"),
    pytest.param(lambda p: p.pack_array_header(1), id="pack_array_header"),
    pytest.param(lambda p: p.pack_map_header(1), id="pack_map_header"),
    pytest.param(lambda p: p.pack_map_pairs([(1, 2)]), id="pack_map_pairs"),
    pytest.param(lambda p: p.pack_ext_type(1, b"a"), id="pack_ext_type"),
]


@pytest.mark.parametrize("operation", GUARDED)
@pytest.mark.parametrize("autoreset", [False, True])
def test_view_blocks_changes_until_released(operation, autoreset):
    p = Packer(autoreset=autoreset)
    if not autoreset:
        p.pack(7)
    view = p.getbuffer()
    before = bytes(view)
    with pytest.raises(BufferError, match=re.escape(GUARD)) as info:
        operation(p)
    assert info.value.args == (GUARD,)
    assert bytes(view) == before
    assert p.bytes() == before
    view.release()
    operation(p)


def test_guard_runs_before_arguments_are_inspected():
    p = Packer()
    with p.getbuffer():
        class Loud:
            def __len__(self):
                raise AssertionError("len() was called")

            def __iter__(self):
                raise AssertionError("iterated")

        with pytest.raises(BufferError, match=re.escape(GUARD)):
            p.pack_map_pairs(Loud())
        with pytest.raises(BufferError, match=re.escape(GUARD)):
            p.pack_ext_type(1, Loud())
        # The size of a header is converted first.
        with pytest.raises(TypeError, match=re.escape("an integer is required")):
            p.pack_array_header("1")
        with pytest.raises(TypeError, match=re.escape("an integer is required")):
            p.pack_map_header(None)


def test_two_views_both_block():
    p = Packer(autoreset=False)
    p.pack([1, 2])
    first = p.getbuffer()
    second = memoryview(p)
    assert p.bytes() == b"\x92\x01\x02"
    first.release()
    with pytest.raises(BufferError, match=re.escape(GUARD)):
        p.reset()
    second.release()
    p.reset()
    assert p.bytes() == b""


def test_view_properties():
    p = Packer(autoreset=False)
    empty = p.getbuffer()
    assert empty.nbytes == 0
    empty.release()
    p.pack("ab")
    view = p.getbuffer()
    assert view.readonly
    assert view.format == "B"
    assert view.itemsize == 1
    assert view.ndim == 1
    assert view.tobytes() == b"\xa2ab"
    assert view.obj is p
    with pytest.raises(TypeError):
        view[0] = 0
    view.release()
    p.pack(1)
    assert p.bytes() == b"\xa2ab\x01"


def test_view_keeps_packer_alive():
    p = Packer(autoreset=False)
    p.pack(b"x" * 100)
    view = p.getbuffer()
    del p
    gc.collect()
    assert view.tobytes() == b"\xc4\x64" + b"x" * 100
    view.release()


def test_writable_view_refused_without_leaving_exports():
    import ctypes

    p = Packer(autoreset=False)
    p.pack(1)
    with pytest.raises((BufferError, TypeError)):
        (ctypes.c_char * 1).from_buffer(p)
    p.reset()
    p.pack(2)
    assert p.bytes() == b"\x02"


def test_bytes_does_not_empty():
    p = Packer(autoreset=False)
    p.pack(1)
    assert p.bytes() == b"\x01"
    assert p.bytes() == b"\x01"
    p.reset()
    assert p.bytes() == b""


def test_autoreset_bytes_is_empty_after_pack():
    p = Packer()
    assert p.pack(1) == b"\x01"
    assert p.bytes() == b""


@pytest.mark.parametrize("method", ["reset", "bytes", "getbuffer"])
def test_no_arguments_accepted(method):
    with pytest.raises(TypeError):
        getattr(Packer(), method)(1)
    with pytest.raises(TypeError):
        getattr(Packer(), method)(x=1)


def test_pickling_refused():
    message = "no default __reduce__ due to non-trivial __cinit__"
    p = Packer()
    with pytest.raises(TypeError, match=re.escape(message)):
        pickle.dumps(p)
    with pytest.raises(TypeError, match=re.escape(message)):
        copy.copy(p)
    with pytest.raises(TypeError, match=re.escape(message)):
        p.__reduce__()
    with pytest.raises(TypeError, match=re.escape(message)):
        p.__setstate__(None)
    with pytest.raises(TypeError):
        p.__setstate__()


def test_cycle_through_default_is_collected():
    class Hook:
        def __call__(self, obj):
            return None

    hook = Hook()
    hook.packer = Packer(default=hook)
    ref = weakref.ref(hook)
    del hook
    gc.collect()
    assert ref() is None


def test_cycle_through_unicode_errors_subclass_is_collected():
    class Name(bytearray):
        pass

    name = Name(b"strict")
    name.packer = Packer(unicode_errors=name)
    ref = weakref.ref(name)
    del name
    gc.collect()
    assert ref() is None


def test_gc_referents():
    def hook(o):
        return None

    p = Packer(default=hook, unicode_errors="replace")
    referents = gc.get_referents(p)
    assert hook in referents
    assert "replace" in referents
