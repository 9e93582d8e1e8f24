"""Writes examples/sample.qlm, the sample stream that the guide inspects.

    python examples/make_sample.py

The stream is four values packed one after another by quelm's own Packer:
a record with a field of every kind, a list of readings packed as 32-bit
floats, a map with non-string keys, and a bare timestamp from before 1970.
"""

import datetime
import math
import pathlib

import quelm

UTC = datetime.timezone.utc

record = {
    "id": 4711,
    "name": "probe-7",
    "active": True,
    "parent": None,
    "offset": -33,
    "counter": 2**64 - 1,
    "delta": -(2**63),
    "ratio": 0.1,
    "unknown": math.nan,
    "label": "température",
    "checksum": bytes.fromhex("8f3c0a5be1d2"),
    "tags": ["alpha", "beta", "gamma"],
    "position": {"x": 1.5, "y": -2.25, "z": 0.0},
    "seen": datetime.datetime(2024, 5, 17, 12, 30, 0, 250000, tzinfo=UTC),
    "boot": quelm.Timestamp(1_700_000_000, 0),
    "vendor": quelm.ExtType(42, b"\x01\x02\x03"),
    "notes": "x" * 80,
}

readings = [20.5, 21.0, 21.75, -3.5]
by_channel = {1: "left", 2: "right", (3, 4): "both"}
moon_landing = quelm.Timestamp.from_datetime(
    datetime.datetime(1969, 7, 20, 20, 17, 40, tzinfo=UTC))


def main() -> None:
    path = pathlib.Path(__file__).with_name("sample.qlm")
    with open(path, "wb") as out:
        quelm.pack(record, out, datetime=True)
        quelm.pack(readings, out, use_single_float=True)
        quelm.pack(by_channel, out)
        quelm.pack(moon_landing, out)
    print(f"wrote {path} ({path.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
