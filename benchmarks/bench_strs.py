"""Packing lists of short strs, split by kind: bench_core's 200k strs (a
quarter non-ASCII, at random places), their ASCII and non-ASCII ones alone,
and bench_loop's strs (every fourth non-ASCII). Thread CPU time medians of
one Packer.pack call on the whole list, beside orjson.dumps.

    python benchmarks/bench_strs.py [--rounds 9]

QUELM_TEXT_COPY=plain in the environment measures the copy CPUs without
masked byte loads take. To compare two builds, run it alternately with each
on PYTHONPATH.
"""
import argparse
import statistics
import time

import quelm
from bench_core import short_strs
from bench_loop import short_strs as loop_strs

try:
    import orjson
except ImportError:  # optional peer
    orjson = None


def median_ms(fn, value, rounds):
    fn(value)
    times = []
    for _ in range(rounds):
        start = time.thread_time()
        fn(value)
        times.append(time.thread_time() - start)
    return statistics.median(times) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    core = short_strs(200_000)
    lists = {
        "core, all": core,
        "core, ASCII": [s for s in core if s.isascii()],
        "core, non-ASCII": [s for s in core if not s.isascii()],
        "loop, all": loop_strs(200_000),
    }
    packer = quelm.Packer()
    for name, value in lists.items():
        ours = median_ms(packer.pack, value, args.rounds)
        line = f"{name:16} n={len(value):7}  quelm {ours:7.3f} ms ({ours * 1e6 / len(value):4.1f} ns/str)"
        if orjson is not None:
            theirs = median_ms(orjson.dumps, value, args.rounds)
            line += f"  orjson {orjson.__version__} {theirs:7.3f} ms  ratio {ours / theirs:.2f}"
        print(line)


if __name__ == "__main__":
    main()
