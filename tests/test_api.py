import datetime
import io
import pathlib
import re
import threading
import tracemalloc

import pytest

import quelm
from quelm import ExtType, FormatError, OutOfData, StackError, Timestamp

UTC = datetime.timezone.utc


class Unseekable(io.RawIOBase):
    """A pipe-like binary stream: no seek, and it records every read size."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self.requests = []

    def readable(self):
        return True

    def readinto(self, buffer):
        self.requests.append(len(buffer))
        chunk = self._data.read(len(buffer))
        buffer[: len(chunk)] = chunk
        return len(chunk)

    def rest(self):
        return self._data.read()


def test_public_names():
    for name in quelm.__all__:
        assert hasattr(quelm, name), name
    assert quelm.dumps is quelm.packb and quelm.loads is quelm.unpackb
    assert quelm.dump is quelm.pack and quelm.load is quelm.unpack
    assert quelm.unpackb is quelm._cquelm.unpackb


def test_version_matches_the_project():
    pyproject = pathlib.Path(__file__).parents[1] / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("not run from a source tree")
    declared = re.search(r'^version = "([^"]+)"', pyproject.read_text(), re.M)
    assert declared is not None and quelm.__version__ == declared.group(1)


@pytest.mark.parametrize(
    "value, packed",
    [
        pytest.param(None, "c0", id="nil"),
        pytest.param(300, "cd012c", id="uint16"),
        pytest.param(-33, "d0df", id="int8"),
        pytest.param(1.5, "cb3ff8000000000000", id="float64"),
        pytest.param("abc", "a3616263", id="str"),
        pytest.param(b"", "c400", id="bin"),
        pytest.param([1, 2], "920102", id="array"),
        pytest.param({"a": 1}, "81a16101", id="map"),
        pytest.param(Timestamp(1, 1), "d7ff0000000400000001", id="timestamp64"),
        pytest.param(ExtType(5, b"abcd"), "d60561626364", id="fixext4"),
    ],
)
def test_packb_and_unpackb(value, packed):
    assert quelm.packb(value).hex() == packed
    assert quelm.unpackb(bytes.fromhex(packed)) == value


def test_packb_passes_packer_options():
    assert quelm.packb(1.5, use_single_float=True).hex() == "ca3fc00000"
    assert quelm.packb(b"", use_bin_type=False).hex() == "a0"
    assert quelm.packb(2**64, default=str) == b"\xb4" + str(2**64).encode()
    moment = datetime.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC)
    assert quelm.packb(moment, datetime=True).hex() == "d6ff00000001"
    assert quelm.packb([1], autoreset=False).hex() == "9101"


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError


PACKB_OPTION_CASES = [
    pytest.param({"use_single_float": True}, id="flag"),
    pytest.param({"use_bin_type": False, "strict_types": None}, id="flags"),
    pytest.param({"strict_types": True, "default": repr}, id="strict-with-default"),
    pytest.param({"datetime": True, "autoreset": False}, id="autoreset-off"),
    pytest.param({"use_single_float": 1, "use_bin_type": ""}, id="truth-tested-flags"),
    pytest.param({"unicode_errors": "replace"}, id="unicode-errors"),
    pytest.param({"buf_size": 1}, id="buf-size"),
]
PACKB_VALUE = [1.5, b"b", "\ud800", (1, 2), {"k": [2**64]},
               datetime.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC)]


@pytest.mark.parametrize("options", PACKB_OPTION_CASES)
def test_packb_options_match_a_packer_built_with_them(options):
    def encode():
        try:
            return quelm.packb(PACKB_VALUE, **options)
        except Exception as error:  # compared below, type and message
            return type(error), str(error)

    def reference():
        packer = quelm.Packer(**options)
        try:
            out = packer.pack(PACKB_VALUE)
        except Exception as error:
            return type(error), str(error)
        return packer.bytes() if out is None else out

    assert encode() == reference()
    # The options were for that call only.
    assert quelm.packb([1.5, b"", (1,)]).hex() == "93cb3ff8000000000000c4009101"


@pytest.mark.parametrize("options, error, message", [
    ({"default": 5}, TypeError, "default must be a callable."),
    ({"use_bin_typ": True}, TypeError, None),
    ({"autoreset": Falsy()}, ZeroDivisionError, None),
])
def test_packb_option_errors_are_the_constructors(options, error, message):
    with pytest.raises(error) as caught:
        quelm.packb(1, **options)
    with pytest.raises(error) as expected:
        quelm.Packer(**options)
    assert str(caught.value) == str(expected.value)
    if message is not None:
        assert str(caught.value) == message
    assert quelm.packb(1) == b"\x01"


def test_packb_default_hook_is_released_after_the_call():
    import weakref

    class Hook:
        def __call__(self, obj):
            raise ValueError("no")

    hook = Hook()
    ref = weakref.ref(hook)
    with pytest.raises(ValueError, match="no"):
        quelm.packb(object(), default=hook)
    del hook
    assert ref() is None
    with pytest.raises(TypeError, match="can not serialize 'object' object"):
        quelm.packb(object())


def test_packb_errors_leave_it_usable():
    with pytest.raises(TypeError, match="can not serialize 'object' object"):
        quelm.packb([1, object()])
    with pytest.raises(OverflowError):
        quelm.packb(2**64)
    assert quelm.packb([1, 2]).hex() == "920102"


def test_packb_of_a_small_value_allocates_no_large_buffer():
    quelm.packb({"a": 1})  # the first call may create the reused Packer
    tracemalloc.start()
    try:
        for _ in range(50):
            quelm.packb({"a": 1})
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 16 * 1024


def test_packb_does_not_keep_a_grown_buffer():
    big = b"x" * (4 << 20)
    quelm.packb(1)
    tracemalloc.start()
    try:
        baseline, _ = tracemalloc.get_traced_memory()
        packed = quelm.packb(big)
        assert len(packed) == len(big) + 5
        del packed
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - baseline < 1 << 20


class CallsPackbInItems(dict):
    """Packed through items(), which runs Python code mid-pack."""

    seen = []

    def items(self):
        self.seen.append(quelm.packb({"inner": [1, 2]}))
        return super().items()


def test_packb_reentered_from_items():
    CallsPackbInItems.seen.clear()
    outer = quelm.packb([CallsPackbInItems(a=1), "tail"])
    assert outer.hex() == "92" "81a16101" "a47461696c"
    assert CallsPackbInItems.seen == [quelm.packb({"inner": [1, 2]})]


class Wrapped:
    def __init__(self, inner):
        self.inner = inner


def nesting_hook(obj):
    return ExtType(1, quelm.packb(obj.inner, default=nesting_hook))


def plain_hook(obj):
    return ExtType(2, quelm.packb(obj.inner))


@pytest.mark.parametrize(
    "value, hook, packed",
    [
        pytest.param({"w": Wrapped([Wrapped("x")])}, nesting_hook,
                     "81a177" "c7050191" "d501a178", id="hook-calls-packb-with-the-hook"),
        pytest.param({"w": Wrapped([3, 4])}, plain_hook,
                     "81a177" "c7030292" "0304", id="hook-calls-plain-packb"),
    ],
)
def test_packb_reentered_from_default_hook(value, hook, packed):
    assert quelm.packb(value, default=hook).hex() == packed


def test_packb_reentered_without_options_nests_correctly():
    class Node(dict):
        def items(self):
            # While the outer packb holds a reused Packer, this inner call
            # must not write into it.
            inner = quelm.packb({"k": list(range(3))})
            return [("inner", inner)]

    packed = quelm.packb({"outer": Node(inner=None), "after": 7})
    assert quelm.unpackb(packed) == {
        "outer": {"inner": quelm.packb({"k": [0, 1, 2]})}, "after": 7}


def test_packb_from_threads():
    class Yielding(dict):
        def items(self):
            threading.Event().wait(0.0005)  # let other threads run mid-pack
            return super().items()

    errors = []

    def work(n):
        try:
            for i in range(30):
                value = {"n": n, "i": i, "nested": Yielding(x=[n] * 5)}
                assert quelm.unpackb(quelm.packb(value)) == {
                    "n": n, "i": i, "nested": {"x": [n] * 5}}
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


# ---------------------------------------------------------- pack / unpack

STREAM = bytes.fromhex("01" "81a16101" "92c3c0" "d6ff00000001")
VALUES = [1, {"a": 1}, [True, None], Timestamp(1, 0)]
ENDS = [1, 5, 8, 14]


def test_pack_writes_to_a_file():
    out = io.BytesIO()
    assert quelm.pack({"a": 1}, out) is None
    quelm.dump([1, 2], out, use_bin_type=False)
    assert out.getvalue().hex() == "81a16101920102"


def test_unpack_reads_one_value_at_a_time_from_a_seekable_file():
    stream = io.BytesIO(STREAM)
    for value, end in zip(VALUES, ENDS):
        assert quelm.unpack(stream) == value
        assert stream.tell() == end
    with pytest.raises(OutOfData):
        quelm.unpack(stream)


def test_unpack_reads_exactly_one_value_from_an_unseekable_stream():
    raw = Unseekable(STREAM + b"\xc1")
    for value in VALUES:
        assert quelm.load(raw) == value
    assert raw.rest() == b"\xc1"
    # It asked for no byte beyond the fourth value.
    assert sum(raw.requests) <= len(STREAM) + 1


def test_unpack_does_not_reread_a_large_file_per_value():
    class Counting(io.BytesIO):
        consumed = 0

        def read(self, n=-1):
            data = super().read(n)
            self.consumed += len(data)
            return data

    values = [{"i": i, "pad": "x" * 50} for i in range(200)]
    stream = Counting(b"".join(quelm.packb(value) for value in values) + b"\x00" * (4 << 20))
    assert [quelm.unpack(stream) for _ in values] == values
    assert stream.consumed < 200 * 8192


def test_unpack_passes_options():
    assert quelm.unpack(io.BytesIO(bytes.fromhex("920102")), use_list=False) == (1, 2)
    assert quelm.unpack(Unseekable(bytes.fromhex("920102")), use_list=False) == (1, 2)
    assert quelm.unpack(io.BytesIO(bytes.fromhex("d6ff00000001")), timestamp=2) == 10**9
    small = quelm.packb("x" * 100)
    assert quelm.unpack(io.BytesIO(small), max_buffer_size=200) == "x" * 100
    with pytest.raises(quelm.BufferFull):
        quelm.unpack(io.BytesIO(small), max_buffer_size=50)


@pytest.mark.parametrize("make", [io.BytesIO, Unseekable], ids=["seekable", "unseekable"])
@pytest.mark.parametrize(
    "data, error, message",
    [
        pytest.param(b"", OutOfData, "No more data to unpack.", id="empty"),
        pytest.param(bytes.fromhex("93 01 02".replace(" ", "")), OutOfData, None, id="truncated"),
        pytest.param(bytes.fromhex("cd01"), OutOfData, None, id="truncated-number"),
        pytest.param(bytes.fromhex("9101c1"), None, None, id="c1-after-value"),
        pytest.param(bytes.fromhex("92c1"), FormatError, None, id="c1-inside"),
        pytest.param(b"\x91" * 1025 + b"\x01", StackError, None, id="too-deep"),
    ],
)
def test_unpack_bad_input(make, data, error, message):
    stream = make(data)
    if error is None:
        assert quelm.unpack(stream) == [1]
        return
    with pytest.raises(error) as caught:
        quelm.unpack(stream)
    if message is not None:
        assert str(caught.value) == message


def test_unpack_of_an_unseekable_stream_honours_max_buffer_size():
    data = bytes.fromhex("c5 0400".replace(" ", "")) + b"x" * 1024
    stream = Unseekable(data)
    with pytest.raises(quelm.BufferFull):
        quelm.unpack(stream, max_buffer_size=512)
    # It stopped at the header, before reading the oversized payload.
    assert sum(stream.requests) <= 16
    assert quelm.unpack(Unseekable(data), max_buffer_size=2048) == b"x" * 1024


def test_typing_usage_runs():
    # The file that CI type-checks must also be right at run time.
    import runpy

    path = pathlib.Path(__file__).with_name("typing_usage.py")
    runpy.run_path(str(path), run_name="__main__")



def test_packer_subscripts_as_its_stub_declares():
    # Packer[bytes] in an annotation evaluated at run time, or as a base class.
    class Kept(quelm.Packer[None]):
        pass

    assert Kept.__orig_bases__[0].__args__ == (None,)
    assert Kept.__mro__[1] is quelm.Packer and Kept(autoreset=False).pack(1) is None


class HookFailed(Exception):
    pass


def _fail_on_b(pairs):
    if "b" in dict(pairs):
        raise HookFailed("b")
    return dict(pairs)


_LONG = quelm.packb([{"k": i, "s": "x" * (i % 40)} for i in range(300)])


@pytest.mark.parametrize("buffer_size", [1, 7, 64, 8192])
@pytest.mark.parametrize(
    "data, options",
    [
        pytest.param(STREAM + b"\xc1", {}, id="values"),
        pytest.param(_LONG + b"\x01", {}, id="long"),
        pytest.param(_LONG[:-3], {}, id="cut"),
        pytest.param(b"", {}, id="empty"),
        pytest.param(bytes.fromhex("9301c10203"), {}, id="c1-inside"),
        pytest.param(b"\x91" * 1025 + b"\x01\x02", {}, id="too-deep"),
        pytest.param(_LONG + b"\x01", {"max_buffer_size": 512}, id="over-limit"),
        pytest.param(_LONG + b"\x01", {"max_buffer_size": len(_LONG)}, id="at-limit"),
        pytest.param(bytes.fromhex("92 81a16101 81a16202 05".replace(" ", "")),
                     {"object_pairs_hook": _fail_on_b}, id="hook-fails"),
        pytest.param(bytes.fromhex("92 81a16202 c1 05".replace(" ", "")),
                     {"object_pairs_hook": _fail_on_b}, id="hook-fails-before-fault"),
        pytest.param(bytes.fromhex("92a2ffff05"), {}, id="bad-utf8"),
        pytest.param(bytes.fromhex("920102"), {"use_list": False}, id="options"),
    ],
)
def test_unpack_of_a_buffered_pipe_matches_the_item_reader(data, options, buffer_size):
    # A buffered reader that cannot seek is decoded from what it holds; each
    # outcome (value or exception and message) and the bytes left in the
    # stream must be those of the item reader on the same bytes.
    def outcomes(stream):
        seen = []
        for _ in range(6):
            try:
                seen.append(("value", quelm.unpack(stream, **options)))
            except Exception as error:  # compared below, whatever it is
                seen.append((type(error), str(error)))
        return seen, stream.read()

    exact = outcomes(Unseekable(data))
    buffered = io.BufferedReader(Unseekable(data), buffer_size=buffer_size)
    assert hasattr(buffered, "peek") and not buffered.seekable()
    assert outcomes(buffered) == exact
