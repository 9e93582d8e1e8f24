"""Writes a starting corpus for a harness: encodings of assorted values made
by the test suite's hand encoder, plus a few hostile headers.
    python3 seeds.py unpackb|roundtrip|stream DIRECTORY"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import _encoding as enc  # noqa: E402

VALUES = [
    None, True, False, 0, 1, -1, 127, 128, -33, 2**16, 2**32, 2**63, -(2**63), 2**64 - 1,
    1.5, float("nan"), -0.0, "", "a", "é" * 20, "x" * 40, b"", b"\x00" * 300,
    [], [1, [2, [3]]], {}, {"a": 1, "b": [None, {"c": b"d"}]}, {1: 2, b"k": "v"},
    [{"k": [1.25, "s"]}] * 3,
]

PAYLOADS = [enc.encode(v) for v in VALUES] + [
    enc.encode(1.5, single_float=True),
    enc.timestamp(1, 5), enc.timestamp(2**33, 999999999), enc.timestamp(-1, 0),
    enc.ext(3, b"abc"), enc.ext(-1, b"\x00" * 12), enc.ext(5, b"x" * 300),
    b"\xdd\xff\xff\xff\xff", b"\xdf\xff\xff\xff\xff", b"\xdb\xff\xff\xff\xff",
    b"\xc9\xff\xff\xff\xff\x01", b"\x91" * 40, b"\xc1", b"\xa1\xff",
]


def main():
    name, directory = sys.argv[1], sys.argv[2]
    os.makedirs(directory, exist_ok=True)
    for i, payload in enumerate(PAYLOADS):
        # The first bytes choose the options: all zero keeps the defaults.
        prefix = b"\x00" * {"unpackb": 3, "roundtrip": 1, "stream": 4}.get(name, 0)
        with open(os.path.join(directory, "seed-%03d" % i), "wb") as f:
            f.write(prefix + payload)


if __name__ == "__main__":
    main()
