"""Hostile callers: hooks that mutate what the decoder still reads, and
allocation failures injected at every step of packing and decoding. Run
under the sanitizer build (scripts/sanitize.sh) these are the regression
tests of what fuzzing and review found."""

import datetime
import gc
import subprocess
import sys

import pytest

from quelm import ExtType, Packer, Timestamp, unpackb

import _encoding as enc

testcapi = pytest.importorskip("_testcapi")


class TestMutatedArguments:
    def test_bytearray_error_handler_resized_by_hook(self):
        # The handler name is read only when a str fails to decode, after
        # the hook has moved the bytearray's storage.
        name = bytearray(b"strict")

        def hook(lst):
            name.extend(b"x" * 100000)
            name[:] = b"replace"
            return lst

        payload = b"\x92\x91\x01\xa1\xff"
        with pytest.raises(UnicodeDecodeError):
            unpackb(payload, list_hook=hook, unicode_errors=name)
        assert name == b"replace"

    def test_bytearray_error_handler_used_as_passed(self):
        name = bytearray(b"replace")

        def hook(lst):
            name[:] = b"strict"
            return lst

        assert unpackb(b"\x92\x91\x01\xa1\xff", list_hook=hook, unicode_errors=name) == [
            [1],
            "\ufffd",
        ]

    def test_hook_collects_garbage_between_items(self):
        # Containers still being filled are hidden from the collector; the
        # completed ones it may see must be whole.
        def hook(obj):
            for o in gc.get_objects():
                if type(o) in (list, tuple):
                    len(o)
                    for item in o:
                        type(item)
            return obj

        payload = enc.encode([[1, [2, 3]], {"a": [4]}, [5] * 20])
        for use_list in (True, False):
            expected = unpackb(payload, use_list=use_list)
            assert unpackb(payload, use_list=use_list, list_hook=hook, object_hook=hook) == expected

    def test_key_whose_hash_reenters(self):
        class Key:
            def __hash__(self):
                unpackb(enc.encode({"k": [1, 2]}))
                gc.collect()
                return 1

            def __eq__(self, other):
                return self is other

        key = Key()
        payload = b"\x82" + enc.ext(5, b"") + b"\x01" + enc.ext(6, b"") + b"\x02"
        out = unpackb(payload, ext_hook=lambda code, data: key if code == 5 else Key(),
                      strict_map_key=False)
        assert len(out) == 2 and out[key] == 1


def test_packb_cache_out_of_reach():
    # Any Packer Python code can find may be re-initialised by it; the one
    # packb keeps for itself must not be among them.
    script = """if True:
        import gc
        from quelm import Packer, packb
        packb(1)
        for obj in gc.get_objects():
            if isinstance(obj, Packer):
                obj.__init__(autoreset=False, use_bin_type=False)
        print(packb([1, b"x"]))
    """
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True)
    assert out.stdout.strip() == repr(b"\x92\x01\xc4\x01x")


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
class TestCleanupKeepsTheError:
    """Objects released while a failed decoding is cleaned up run their
    __del__, which may fail or decode again; the caller still sees the
    failure that stopped the decoding."""

    class Noisy:
        def __del__(self):
            unpackb(b"\x93\x01\x02\x03")
            raise KeyError("from __del__")

    @pytest.mark.parametrize(
        "payload, error",
        [
            pytest.param(b"\x92\x81\xa1a\x01\xc1", "FormatError", id="invalid-byte"),
            pytest.param(b"\x92\x81\xa1a\x01" + b"\x91" * 1030, "StackError", id="too-deep"),
            pytest.param(b"\x93\x81\xa1a\x01\x81\xa1b\x02", "ValueError", id="incomplete"),
            pytest.param(b"\x92\x81\xa1a\x01\xa1\xff", "UnicodeDecodeError", id="bad-utf8"),
        ],
    )
    def test_error_survives_del(self, payload, error):
        with pytest.raises(Exception) as info:
            unpackb(payload, object_hook=lambda d: self.Noisy())
        assert type(info.value).__name__ == error

    def test_pending_key_released(self):
        # A completed key waits in its frame for the value that never comes.
        payload = b"\x81" + enc.ext(4, b"k") + b"\x92\x01"
        with pytest.raises(ValueError, match="incomplete input"):
            unpackb(payload, ext_hook=lambda code, data: self.Noisy(), strict_map_key=False)


# Values whose packing and decoding between them reach every allocating
# path: containers, strings, ints beyond a machine word, extension values,
# timestamps and the default hook.
UTC = datetime.timezone.utc
VALUE = {
    "list": [1, -1, 2**40, -(2**40), 2**64 - 1, 1.5, None, True],
    "text": ["", "a", "é" * 40, "x" * 300],
    "bytes": [b"", b"\x00" * 300, bytearray(b"ab"), memoryview(b"cd")],
    "nested": ({"k": ({"j": []},)},),
    "ext": ExtType(5, b"data"),
    "ts": Timestamp(2**35, 999),
    7: "int key",  # decoded with strict_map_key=False
}
PACKED = Packer().pack(VALUE)
SPREAD = bytes(b for c in PACKED for b in (c, 0))  # PACKED at every other byte


def fail_each_allocation(call, limit=400):
    """Runs call() with allocation number i failing, for every i until a
    run no longer reaches the failure. Returns the results of the runs that
    succeeded anyway."""
    results = []
    for i in range(limit):
        testcapi.set_nomemory(i, i + 1)
        try:
            results.append(call())
        except MemoryError:
            continue
        finally:
            testcapi.remove_mem_hooks()
    return results


def decode_cases():
    ts = enc.timestamp(2**33, 5)
    return [
        pytest.param(lambda: unpackb(PACKED, strict_map_key=False), id="default"),
        pytest.param(lambda: unpackb(PACKED, strict_map_key=False, use_list=False, raw=True),
                     id="tuples-raw"),
        pytest.param(
            lambda: unpackb(PACKED, strict_map_key=False, object_pairs_hook=list, list_hook=tuple),
            id="hooks",
        ),
        pytest.param(lambda: unpackb(PACKED, strict_map_key=False, unicode_errors="replace"),
                     id="errors"),
        pytest.param(lambda: unpackb(bytearray(PACKED), strict_map_key=False), id="bytearray"),
        pytest.param(lambda: unpackb(memoryview(SPREAD)[::2], strict_map_key=False),
                     id="non-contiguous"),
        *(pytest.param(lambda m=m: unpackb(ts, timestamp=m), id="ts%d" % m) for m in range(4)),
    ]


@pytest.mark.parametrize("call", decode_cases())
def test_decoding_survives_allocation_failures(call):
    expected = call()
    for result in fail_each_allocation(call):
        assert result == expected


def test_decoding_failures_survive_allocation_failures():
    calls = [
        lambda: unpackb(PACKED + b"\x01"),
        lambda: unpackb(PACKED[:-1]),
        lambda: unpackb(b"\x92\x01\xc1"),
        lambda: unpackb(b"\x91" * 1025),
        lambda: unpackb(b"\x92\xa1a\xa3abc", max_str_len=2),
        lambda: unpackb(b"\x81\x01\x02"),
    ]
    for call in calls:
        for i in range(200):
            testcapi.set_nomemory(i, i + 1)
            try:
                call()
            except MemoryError:
                pass
            except ValueError as e:
                # Raising a named exception class may itself run out of
                # memory, which must not turn into a NameError.
                assert not isinstance(e, NameError)
            finally:
                testcapi.remove_mem_hooks()


class Custom:
    pass


# Hooks live outside the calls under test: the interpreters from 3.12 on
# crash when creating a function object runs out of memory.
def to_list(obj):
    return [1, "x"]


def pack_cases():
    def streaming():
        p = Packer(autoreset=False)
        p.pack_array_header(3)
        p.pack_map_header(1)
        p.pack_map_pairs([("a", VALUE), ("b", 2)])
        p.pack_ext_type(3, b"xyz")
        with p.getbuffer() as view:
            out = bytes(view)
        assert out == p.bytes()
        return out

    aware = datetime.datetime(2024, 5, 1, 12, 0, 0, 5, tzinfo=UTC)
    return [
        pytest.param(lambda: Packer().pack(VALUE), id="default"),
        pytest.param(lambda: Packer(buf_size=1).pack(VALUE), id="growth"),
        pytest.param(lambda: Packer(use_single_float=True, use_bin_type=False).pack(VALUE),
                     id="options"),
        pytest.param(lambda: Packer(unicode_errors="surrogatepass").pack(["\ud800", VALUE]),
                     id="errors"),
        pytest.param(lambda: Packer(default=to_list).pack([Custom(), VALUE]),
                     id="default-hook"),
        pytest.param(lambda: Packer(datetime=True).pack([aware, VALUE]), id="datetime"),
        pytest.param(streaming, id="streaming"),
        pytest.param(lambda: Packer().pack(b"\x00" * (2 << 20)), id="direct-bytes"),
    ]


@pytest.mark.parametrize("call", pack_cases())
def test_packing_survives_allocation_failures(call):
    expected = call()
    for result in fail_each_allocation(call):
        assert result == expected


def test_packer_usable_after_a_failed_growth():
    p = Packer(autoreset=False, buf_size=1)
    p.pack(1)
    data = b"x" * 1000
    testcapi.set_nomemory(0, 0)  # every allocation fails from here
    try:
        p.pack(data)
    except MemoryError:
        failed = True
    else:
        failed = False
    finally:
        testcapi.remove_mem_hooks()
    assert failed
    assert p.bytes() == b"\x01"
    p.pack("ok")
    assert unpackb(p.bytes()[1:]) == "ok"


def test_allocation_failure_in_packer_construction():
    made = fail_each_allocation(lambda: Packer(buf_size=64, unicode_errors="replace"))
    assert all(type(p) is Packer and p.pack("é") == b"\xa2\xc3\xa9" for p in made)
