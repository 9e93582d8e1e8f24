"""Unpacker construction: arguments, their conversion order, the limits
derived from max_buffer_size, and re-initialisation (also when it fails
part-way, which must leave an object that refuses cleanly)."""

from __future__ import annotations

import gc
import io
import re

import pytest

from quelm import BufferFull, ExtType, OutOfData, Unpacker

NOT_READY = "Unpacker is not initialized"


class Reads:
    """A file_like that records the sizes asked of it."""

    def __init__(self, data: bytes = b""):
        self.data = data
        self.asked: list[int] = []

    def read(self, n):
        self.asked.append(n)
        chunk, self.data = self.data[:n], self.data[n:]
        return chunk


def header_error(u: Unpacker, header: str) -> str:
    u.feed(bytes.fromhex(header))
    with pytest.raises(ValueError) as info:
        u.unpack()
    return str(info.value)


@pytest.mark.parametrize(
    "kwargs, header, message",
    [
        pytest.param({}, "dd06400001", "104857601 exceeds max_array_len(104857600)", id="default-array"),
        pytest.param({}, "df03200001", "52428801 exceeds max_map_len(52428800)", id="default-map"),
        pytest.param({"max_buffer_size": 0}, "df40000000", "1073741824 exceeds max_map_len(1073741823)", id="unbounded-map"),
        pytest.param({"max_buffer_size": 0}, "dd80000000", "2147483648 exceeds max_array_len(2147483647)", id="unbounded-array"),
        pytest.param({"max_buffer_size": 1001}, "de01f5", "501 exceeds max_map_len(500)", id="odd-bound-map"),
        pytest.param({"max_buffer_size": 1001}, "dc03ea", "1002 exceeds max_array_len(1001)", id="odd-bound-array"),
        pytest.param({"max_array_len": -2}, "90", "0 exceeds max_array_len(-2)", id="minus-two-kept"),
        pytest.param({"max_map_len": 3}, "84", "4 exceeds max_map_len(3)", id="explicit-map"),
    ],
)
def test_limits_derived_from_buffer_bound(kwargs, header, message):
    assert header_error(Unpacker(**kwargs), header) == message


@pytest.mark.parametrize(
    "kwargs, header",
    [
        pytest.param({}, "dd06400000", id="default-array-at-limit"),
        pytest.param({"max_buffer_size": 1001}, "de01f4", id="map-at-limit"),
        pytest.param({"max_array_len": -1}, "dd06400000", id="explicit-minus-one"),
    ],
)
def test_limits_admit_their_bound(kwargs, header):
    u = Unpacker(**kwargs)
    u.feed(bytes.fromhex(header))
    with pytest.raises(OutOfData):
        u.unpack()


@pytest.mark.parametrize(
    "kwargs, first_read",
    [
        pytest.param({}, 1048576, id="default"),
        pytest.param({"max_buffer_size": 0}, 1048576, id="unbounded"),
        pytest.param({"max_buffer_size": 1001}, 1001, id="small-bound"),
        pytest.param({"read_size": 1000, "max_buffer_size": 1000}, 1000, id="equal"),
        pytest.param({"read_size": 7}, 7, id="explicit"),
    ],
)
def test_read_size_default(kwargs, first_read):
    source = Reads(b"\x01")
    u = Unpacker(source, **kwargs)
    assert u.unpack() == 1
    assert source.asked == [first_read]


def test_read_size_above_bound():
    with pytest.raises(ValueError, match=re.escape("read_size should be less or equal to max_buffer_size")):
        Unpacker(read_size=2000, max_buffer_size=1000)


def test_buffer_bound_is_max_buffer_size():
    u = Unpacker(max_buffer_size=8)
    u.feed(b"\x01" * 8)
    with pytest.raises(BufferFull):
        u.feed(b"\x01")


def test_read_size_is_keyword_only():
    with pytest.raises(TypeError):
        Unpacker(io.BytesIO(), 1024)


def test_unknown_keyword():
    with pytest.raises(TypeError):
        Unpacker(bogus=1)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        pytest.param({"timestamp": 2**40}, OverflowError, "value too large to convert to int", id="timestamp-overflow"),
        pytest.param({"timestamp": "x"}, TypeError, "an integer is required", id="timestamp-type"),
        pytest.param({"timestamp": 4}, ValueError, "timestamp must be 0..3", id="timestamp-range"),
        pytest.param({"timestamp": -1}, ValueError, "timestamp must be 0..3", id="timestamp-negative"),
        pytest.param({"object_hook": 1}, TypeError, "object_hook must be a callable.", id="object-hook"),
        pytest.param({"object_pairs_hook": 1}, TypeError, "object_pairs_hook must be a callable.", id="pairs-hook"),
        pytest.param({"list_hook": 1}, TypeError, "list_hook must be a callable.", id="list-hook"),
        pytest.param({"ext_hook": 1}, TypeError, "ext_hook must be a callable.", id="ext-hook"),
        pytest.param(
            {"object_hook": dict, "object_pairs_hook": dict},
            TypeError,
            "object_pairs_hook and object_hook are mutually exclusive.",
            id="both-object-hooks",
        ),
        pytest.param({"read_size": 2, "max_buffer_size": 1}, ValueError, "read_size should be less or equal to max_buffer_size", id="read-size"),
        pytest.param({"read_size": -1}, MemoryError, "Unable to allocate internal buffer.", id="negative-read-size"),
        pytest.param({"max_buffer_size": -5}, ValueError, "read_size should be less or equal to max_buffer_size", id="negative-bound"),
    ],
)
def test_construction_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Unpacker(**kwargs)
    assert str(info.value) == message


def test_float_timestamp_is_truncated():
    Unpacker(timestamp=3.9)


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        pytest.param({"read_size": "1"}, TypeError, id="read-size"),
        pytest.param({"read_size": 1.0}, TypeError, id="read-size-float"),
        pytest.param({"max_buffer_size": 2**70}, OverflowError, id="bound"),
        pytest.param({"max_ext_len": None}, TypeError, id="limit"),
    ],
)
def test_size_conversion_errors(kwargs, exc):
    with pytest.raises(exc):
        Unpacker(**kwargs)


def test_conversion_order():
    # read_size is converted before timestamp, timestamp before the limits,
    # and every conversion before any hook is checked.
    calls = []

    class Index:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __index__(self):
            calls.append(self.name)
            return self.value

    class Flag:
        def __init__(self, name):
            self.name = name

        def __bool__(self):
            calls.append(self.name)
            return True

    class Int:
        def __int__(self):
            calls.append("timestamp")
            return 0

    Unpacker(
        max_ext_len=Index("max_ext_len", -1),
        max_str_len=Index("max_str_len", -1),
        max_buffer_size=Index("max_buffer_size", 100),
        strict_map_key=Flag("strict_map_key"),
        timestamp=Int(),
        raw=Flag("raw"),
        use_list=Flag("use_list"),
        read_size=Index("read_size", 0),
    )
    assert calls == [
        "read_size", "use_list", "raw", "timestamp", "strict_map_key",
        "max_buffer_size", "max_str_len", "max_ext_len",
    ]


def test_conversion_failure_comes_before_hook_check():
    with pytest.raises(TypeError, match="an integer is required"):
        Unpacker(object_hook=1, timestamp="x")


@pytest.mark.parametrize(
    "errors",
    [pytest.param("replace", id="str"), pytest.param(b"replace", id="bytes"), pytest.param(bytearray(b"replace"), id="bytearray")],
)
def test_unicode_errors_accepted(errors):
    u = Unpacker(unicode_errors=errors)
    u.feed(b"\xa2a\xff")
    assert u.unpack() == "a\ufffd"


def test_unicode_errors_is_copied():
    # The handler's name is kept by value: changing or dropping the bytearray
    # it came from does not change the handler.
    name = bytearray(b"replace")
    u = Unpacker(unicode_errors=name)
    name[:] = b"strict\x00\x00"
    del name
    gc.collect()
    u.feed(b"\xa1\xff")
    assert u.unpack() == "\ufffd"


@pytest.mark.parametrize(
    "errors, exc",
    [pytest.param("r\u00e9place", UnicodeEncodeError, id="non-ascii"), pytest.param(1, TypeError, id="int")],
)
def test_unicode_errors_refused(errors, exc):
    with pytest.raises(exc):
        Unpacker(unicode_errors=errors)


def test_default_ext_hook_is_ext_type():
    u = Unpacker()
    u.feed(bytes.fromhex("d40561"))
    assert u.unpack() == ExtType(5, b"a")


def test_file_like_read_not_callable():
    class Source:
        read = 3

    with pytest.raises(TypeError, match=re.escape("`file_like.read` must be a callable.")):
        Unpacker(Source())


def test_file_like_without_read():
    with pytest.raises(AttributeError):
        Unpacker(object())


def test_false_file_like_without_read_is_no_source():
    class Empty:
        def __len__(self):
            return 0

    u = Unpacker(Empty())
    u.feed(b"\x01")
    assert u.unpack() == 1


def test_reinit_drops_partial_value_and_buffer():
    u = Unpacker()
    # An array with one item read, then a str whose payload is cut off: the
    # str's three bytes are still in the buffer, unconsumed.
    u.feed(bytes.fromhex("9201a5616263"))
    with pytest.raises(OutOfData):
        u.unpack()
    assert u.tell() == 3
    u.__init__()
    assert u.tell() == 0
    u.feed(b"\x05")
    assert u.unpack() == 5
    assert u.tell() == 1


def test_reinit_replaces_settings():
    u = Unpacker(use_list=False)
    u.__init__(use_list=True, max_array_len=1)
    u.feed(bytes.fromhex("9101"))
    assert u.unpack() == [1]
    u.feed(bytes.fromhex("920102"))
    with pytest.raises(ValueError, match=re.escape("2 exceeds max_array_len(1)")):
        u.unpack()


def every_operation(u: Unpacker):
    """Calls every operation; each must work or raise, never crash."""
    outcomes = []
    for call in (
        lambda: u.feed(b"\x01"),
        u.unpack,
        u.skip,
        u.read_array_header,
        u.read_map_header,
        lambda: u.read_bytes(1),
        u.tell,
        lambda: next(u),
        lambda: list(u),
    ):
        try:
            outcomes.append(call())
        except Exception as e:  # noqa: BLE001 - any clean exception will do
            outcomes.append(e)
    return outcomes


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        pytest.param({"file_like": BadBool()}, ZeroDivisionError, id="file-like-truth"),
        pytest.param({"file_like": object()}, AttributeError, id="file-like-read-missing"),
        pytest.param({"read_size": 9, "max_buffer_size": 8}, ValueError, id="read-size"),
        pytest.param({"read_size": -3}, MemoryError, id="allocation"),
        pytest.param({"unicode_errors": 5}, TypeError, id="unicode-errors"),
        pytest.param({"object_hook": 5}, TypeError, id="hook"),
        pytest.param({"timestamp": 9}, ValueError, id="timestamp"),
    ],
)
def test_failed_reinit_leaves_object_refusing(kwargs, exc):
    hook_calls = []
    u = Unpacker(object_hook=lambda d: hook_calls.append(d) or d, unicode_errors="replace")
    u.feed(bytes.fromhex("81a16101"))
    u.feed(bytes.fromhex("81a162"))
    assert u.unpack() == {"a": 1}
    with pytest.raises(OutOfData):
        u.unpack()  # half a value is now held by the context
    with pytest.raises(exc):
        u.__init__(**kwargs)
    gc.collect()
    outcomes = every_operation(u)
    for outcome in outcomes[:6] + outcomes[7:]:
        assert isinstance(outcome, RuntimeError)
        assert str(outcome) == NOT_READY
    assert outcomes[6] == 0
    assert hook_calls == [{"a": 1}]
    # A later successful initialisation brings it back.
    u.__init__()
    u.feed(b"\x07")
    assert u.unpack() == 7


def test_new_without_init_refuses():
    u = Unpacker.__new__(Unpacker)
    outcomes = every_operation(u)
    assert [str(o) for o in outcomes[:6]] == [NOT_READY] * 6
    assert outcomes[6] == 0
    u.__init__()
    assert every_operation(u)[:2] == [None, 1]


def test_subclass_that_skips_init():
    class Lazy(Unpacker):
        def __init__(self):
            pass

    u = Lazy()
    with pytest.raises(RuntimeError, match=NOT_READY):
        u.unpack()
    Unpacker.__init__(u)
    u.feed(b"\x01")
    assert u.unpack() == 1


def test_reinit_releases_old_hooks():
    class Hook:
        def __call__(self, d):
            return d

    hook = Hook()
    u = Unpacker(object_hook=hook)
    import weakref

    ref = weakref.ref(hook)
    del hook
    u.__init__()
    gc.collect()
    assert ref() is None


def test_gc_collects_cycle_through_hook():
    import weakref

    class Holder:
        pass

    holder = Holder()
    holder.u = Unpacker(object_hook=lambda d: holder)
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_pickling_refused():
    import copy
    import pickle

    u = Unpacker()
    message = "self.ctx cannot be converted to a Python object for pickling"
    with pytest.raises(TypeError, match=re.escape(message)):
        pickle.dumps(u)
    with pytest.raises(TypeError, match=re.escape(message)):
        copy.copy(u)
    with pytest.raises(TypeError, match=re.escape(message)):
        u.__reduce__()
    with pytest.raises(TypeError, match=re.escape(message)):
        u.__setstate__({})


def test_type_identity():
    assert Unpacker.__module__ == "quelm._cquelm"
    assert Unpacker.__qualname__ == "Unpacker"

    class Sub(Unpacker):
        pass

    s = Sub()
    s.feed(b"\x01")
    assert s.unpack() == 1
