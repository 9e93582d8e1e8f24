"""Streaming decode throughput: 100,000 small encodings concatenated,
decoded by an Unpacker fed in 64 KiB chunks and by one reading a file,
compared with pickle.load over the same values one by one.

    PYTHONPATH=src python3 benchmarks/bench_stream.py [--count N] [--repeat R]
"""

from __future__ import annotations

import argparse
import io
import os
import pickle
import tempfile
import time

from quelm import Packer, Unpacker

CHUNK = 64 * 1024


def make_values(count: int) -> list:
    return [
        {"id": i, "name": f"user{i}", "tags": ["a", "bc"], "score": i * 0.5, "ok": i % 3 == 0}
        if i % 4
        else [i, -i, None, b"\x00\x01", "x" * (i % 20)]
        for i in range(count)
    ]


def best(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    values = make_values(args.count)
    packer = Packer()
    data = b"".join(packer.pack(v) for v in values)
    pickled = io.BytesIO()
    for v in values:
        pickle.dump(v, pickled, protocol=pickle.HIGHEST_PROTOCOL)
    pickled = pickled.getvalue()

    def fed_chunks():
        u = Unpacker()
        out = []
        for start in range(0, len(data), CHUNK):
            u.feed(data[start : start + CHUNK])
            out.extend(u)
        assert len(out) == args.count

    fd, path = tempfile.mkstemp()
    os.write(fd, data)
    os.close(fd)

    def from_file():
        with open(path, "rb") as f:
            out = list(Unpacker(f, read_size=CHUNK))
        assert len(out) == args.count

    def pickle_loads():
        f = io.BytesIO(pickled)
        load = pickle.load
        out = [load(f) for _ in range(args.count)]
        assert len(out) == args.count

    assert list(Unpacker(io.BytesIO(data))) == values
    try:
        rows = [
            ("Unpacker.feed 64 KiB chunks", best(args.repeat, fed_chunks), len(data)),
            ("Unpacker(file, read_size=64 KiB)", best(args.repeat, from_file), len(data)),
            ("pickle.load one by one", best(args.repeat, pickle_loads), len(pickled)),
        ]
    finally:
        os.unlink(path)
    print(f"{args.count} values; quelm stream {len(data)} bytes, pickle stream {len(pickled)} bytes")
    for name, seconds, size in rows:
        print(
            f"{name:34s} {seconds * 1e3:8.1f} ms  {args.count / seconds / 1e6:6.2f} M values/s"
            f"  {size / seconds / 1e6:7.1f} MB/s"
        )


if __name__ == "__main__":
    main()
