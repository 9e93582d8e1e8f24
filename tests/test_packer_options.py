"""Packer construction: options, argument conversion and their messages."""

import re

import pytest

from quelm import Packer


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class HasInt:
    def __int__(self):
        return 3


def test_class_documentation():
    first, second = Packer.__doc__.split("\n")[:2]
    assert first == (
        "Packer(default=None, *, bool use_single_float=False, bool autoreset=True, "
        "bool use_bin_type=True, bool strict_types=False, bool datetime=False, "
        "unicode_errors=None, buf_size=0x40000)"
    )
    assert second == "Quelm Packer"
    for option in ("default", "use_single_float", "autoreset", "use_bin_type",
                   "strict_types", "datetime", "unicode_errors", "buf_size"):
        assert option in Packer.__doc__


@pytest.mark.parametrize(
    "method, doc",
    [
        ("pack", "Packer.pack(self, obj)"),
        ("pack_ext_type", "Packer.pack_ext_type(self, typecode, data)"),
        ("pack_array_header", "Packer.pack_array_header(self, long long size)"),
        ("pack_map_header", "Packer.pack_map_header(self, long long size)"),
        ("pack_map_pairs", "Packer.pack_map_pairs(self, pairs)\n\nPack *pairs* as quelm map "
         "type.\n\n*pairs* should be a sequence of pairs.\n(`len(pairs)` and `for k, v in "
         "pairs:` should be supported.)"),
        ("reset", "Packer.reset(self)\n\nReset internal buffer.\n\nThis method is useful only "
         "when autoreset=False."),
        ("bytes", "Packer.bytes(self)\n\nReturn internal buffer contents as bytes object"),
        ("getbuffer", "Packer.getbuffer(self)\n\nReturn memoryview of internal buffer.\n\n"
         "Note: Packer now supports buffer protocol. You can use memoryview(packer)."),
    ],
)
def test_method_docstrings(method, doc):
    assert getattr(Packer, method).__doc__ == doc


def test_type_identity():
    assert Packer.__module__ == "quelm._cquelm"
    assert Packer.__qualname__ == "Packer"

    class Sub(Packer):
        pass

    assert Sub(autoreset=True).pack([1]) == b"\x91\x01"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((1,), {}, id="one-positional"),
        pytest.param((None,), {}, id="default-by-position"),
        pytest.param((1, 2), {}, id="two-positional"),
        pytest.param((), {"bogus": 1}, id="unknown-keyword"),
    ],
)
def test_constructor_rejects(args, kwargs):
    with pytest.raises(TypeError):
        Packer(*args, **kwargs)


@pytest.mark.parametrize(
    "buf_size, error, message",
    [
        pytest.param(-1, OverflowError, "can't convert negative value to size_t", id="negative"),
        pytest.param("10", TypeError, "an integer is required", id="str"),
        pytest.param(None, TypeError, "an integer is required", id="none"),
        pytest.param(2**64, OverflowError, None, id="too-large"),
        pytest.param(2**63, MemoryError, "Unable to allocate internal buffer.", id="unallocatable"),
    ],
)
def test_buf_size_rejects(buf_size, error, message):
    with pytest.raises(error) as info:
        Packer(buf_size=buf_size)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("buf_size", [0, 1, 3.9, HasInt(), True])
def test_buf_size_accepts(buf_size):
    assert Packer(buf_size=buf_size).pack([1, "a"]) == b"\x92\x01\xa1a"


def test_flags_by_truth_value():
    assert Packer(autoreset=Truthy(False)).pack(1) is None
    assert Packer(autoreset=None).pack(1) is None
    assert Packer(use_single_float=[0]).pack(1.5) == bytes.fromhex("ca3fc00000")
    assert Packer(use_bin_type=0).pack(b"") == b"\xa0"
    assert Packer(use_bin_type="").pack(b"") == b"\xa0"
    with pytest.raises(ZeroDivisionError, match="no truth"):
        Packer(strict_types=BadBool())


def test_default_must_be_callable():
    with pytest.raises(TypeError, match=re.escape("default must be a callable.")):
        Packer(default=1)


@pytest.mark.parametrize(
    "errors, error",
    [
        pytest.param("é", UnicodeEncodeError, id="non-ascii-str"),
        pytest.param(1, TypeError, id="int"),
        pytest.param(memoryview(b"strict"), TypeError, id="memoryview"),
    ],
)
def test_unicode_errors_rejects(errors, error):
    with pytest.raises(error):
        Packer(unicode_errors=errors)


@pytest.mark.parametrize("errors", ["replace", b"replace", bytearray(b"replace")])
def test_unicode_errors_forms(errors):
    p = Packer(unicode_errors=errors)
    assert p.pack("a\ud800b") == b"\xa3a?b"


def test_unicode_errors_absent_refuses_surrogates():
    with pytest.raises(UnicodeEncodeError):
        Packer().pack("a\ud800b")
    with pytest.raises(LookupError):
        Packer(unicode_errors="no-such-handler").pack("a\ud800b")


def test_unicode_errors_name_is_a_copy():
    # Changing or freeing the object the name came from must not change the
    # name the Packer uses (nor leave it pointing at released storage).
    name = bytearray(b"replace")
    p = Packer(unicode_errors=name)
    name[:] = b"x" * 1000
    name.clear()
    del name
    assert p.pack("\ud800") == b"\xa1?"


def test_reinitialisation_keeps_buffer_and_changes_options():
    p = Packer(autoreset=False)
    p.pack(1)
    p.__init__(autoreset=False, use_bin_type=False, unicode_errors="ignore")
    p.pack(b"ab")
    p.pack("x\ud800")
    assert p.bytes() == b"\x01\xa2ab\xa1x"
    # A failed re-initialisation keeps the previous handler name.
    with pytest.raises(TypeError):
        p.__init__(autoreset=False, unicode_errors=5)
    p.pack("\ud800")
    assert p.bytes().endswith(b"\xa0")


def test_buf_size_keyword_and_allocation_only():
    p = Packer.__new__(Packer, buf_size=4)
    # Allocation alone leaves every option off.
    assert p.pack(b"") is None
    assert p.bytes() == b"\xa0"
