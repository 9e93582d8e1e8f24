"""Lists of strs, packed by the list walk's run of strs, give the bytes of
the str writer on both of its copies: the masked one (where the CPU has it)
in this process, the plain one in a child with QUELM_TEXT_COPY=plain."""

import os
import random
import struct
import subprocess
import sys

import pytest

from quelm import Packer, packb

WIDE = {1: "a", 2: "é", 3: "€", 4: "😀"}


class Text(str):
    pass


def header(n, use_bin_type=True):
    if n <= 31:
        return bytes([0xA0 | n])
    if n <= 0xFF and use_bin_type:
        return bytes([0xD9, n])
    if n <= 0xFFFF:
        return b"\xda" + struct.pack(">H", n)
    return b"\xdb" + struct.pack(">I", n)


def texts():
    """Every UTF-8 length from 0 to 70 in every character width, the wide
    character first, in the middle and last; and a few long ones."""
    out = [""]
    for n in range(1, 71):
        for width, char in WIDE.items():
            if n < width:
                continue
            fill = n - width
            out += ["b" * fill + char, char + "c" * fill, "d" * (fill // 2) + char + "e" * (fill - fill // 2)]
    return out + ["f" * 255, "g" * 256, "h€" * 300, "i" * 70000]


def expected(items, use_bin_type=True, errors="strict"):
    out = bytearray(b"\xdc" + struct.pack(">H", len(items)))
    for item in items:
        if isinstance(item, str):
            data = item.encode("utf-8", errors)
            out += header(len(data), use_bin_type) + data
        else:
            out += bytes([item])
    return bytes(out)


def fresh(items):
    """Equal strs that have no cached UTF-8 form yet."""
    return [("".join(list(x)) if type(x) is str else x) for x in items]


def check_all():
    rnd = random.Random(19)
    base = texts()
    mixed = base + [7, 0, Text("sub"), Text("é" * 40)] * 20
    rnd.shuffle(mixed)
    for items in (base, mixed):
        for use_bin_type in (True, False):
            want = expected(items, use_bin_type)
            values = fresh(items)
            # Uncached, then cached by the first pack.
            assert packb(values, use_bin_type=use_bin_type) == want
            assert packb(values, use_bin_type=use_bin_type) == want
            # A run that grows the buffer many times, and one that starts
            # after earlier output.
            assert Packer(buf_size=1, use_bin_type=use_bin_type).pack(values) == want
            p = Packer(autoreset=False, use_bin_type=use_bin_type)
            p.pack(1)
            p.pack(values)
            assert p.bytes() == b"\x01" + want
    lone = ["a\ud800", "\udfff" * 20] + base[:50]
    want = expected(lone, errors="surrogatepass")
    assert Packer(unicode_errors="surrogatepass").pack(fresh(lone)) == want
    p = Packer(autoreset=False)
    p.pack("x")
    view = p.getbuffer()
    try:
        p.pack(["abc", "é"])
    except BufferError:
        pass
    else:
        raise AssertionError("packing into an exported buffer succeeded")
    view.release()
    assert p.bytes() == b"\xa1x"


@pytest.mark.parametrize("copy", ["default", "plain"])
def test_str_runs_match_the_str_writer(copy):
    if copy == "default":
        check_all()
        return
    env = dict(os.environ, QUELM_TEXT_COPY="plain")
    code = "import runpy, sys; runpy.run_path(sys.argv[1])['check_all']()"
    result = subprocess.run([sys.executable, "-c", code, __file__], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
