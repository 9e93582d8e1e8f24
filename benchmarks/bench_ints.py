"""Unpacking 1M ints of random widths in random order, against the
construction floor (benchmarks/floor, built first), interleaved run by run.

Run:  python benchmarks/bench_ints.py [--repeat N]
      valgrind --tool=callgrind --collect-atstart=no \\
          --toggle-collect='*unpackb_vectorcall*' python benchmarks/bench_ints.py --once
      (and --toggle-collect=floor_build): instructions per item = total / 1e6

Prints the median thread CPU time of each and the ratio; --once makes one
call of each, for callgrind.
"""

import argparse

import quelm

import bench_core


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=31)
    parser.add_argument("--once", action="store_true", help="one call of each, untimed")
    args = parser.parse_args()
    floor = bench_core.load_floor()
    assert floor is not None, "build benchmarks/floor first"
    data = bench_core.mixed_ints(1_000_000)
    packed, tape = quelm.packb(data), floor.tape(data)
    assert quelm.unpackb(packed) == data == floor.build(tape)
    if args.once:
        return
    medians = bench_core.interleaved_medians(
        {"quelm": lambda: quelm.unpackb(packed), "floor": lambda: floor.build(tape)}, args.repeat)
    print(f"unpackb {medians['quelm'] * 1e3:.2f} ms, floor {medians['floor'] * 1e3:.2f} ms, "
          f"ratio {medians['quelm'] / medians['floor']:.3f} (median of {args.repeat})")


if __name__ == "__main__":
    main()
