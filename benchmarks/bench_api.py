"""Cost of the convenience function packb against a reused Packer.

    python benchmarks/bench_api.py [--check]

packb must not pay for a fresh 256 KiB Packer buffer on every call: on a
small dict it should stay within 1.5 times the time of Packer.pack on a
Packer kept by the caller. With --check the script exits with status 1 when
the ratio is above that. Also shown: packb with an option (applied to the
reused Packer for the call) and a fresh default Packer per call, the cost
packb avoids.
"""

import sys
import timeit

import quelm

SMALL = {"id": 17, "name": "probe", "ok": True, "pos": [1.5, -2.0]}
TARGET = 1.5


def best(stmt, number):
    return min(timeit.repeat(stmt, number=number, repeat=3)) / number


def interleaved(first, second, number=200_000, rounds=7):
    """Best times of two statements measured in alternation, so that load
    from other processes weighs on both alike."""
    a, b = [], []
    for _ in range(rounds):
        a.append(best(first, number))
        b.append(best(second, number))
    return min(a), min(b)


def main() -> int:
    packer = quelm.Packer()
    packb = quelm.packb
    reused, convenience = interleaved(lambda: packer.pack(SMALL), lambda: packb(SMALL))
    with_option = best(lambda: packb(SMALL, use_single_float=True), number=50_000)
    fresh = best(lambda: quelm.Packer().pack(SMALL), number=20_000)
    ratio = convenience / reused
    print(f"Packer.pack, reused Packer   {reused * 1e9:8.0f} ns")
    print(f"packb                        {convenience * 1e9:8.0f} ns   ratio {ratio:.2f} "
          f"(target <= {TARGET})")
    print(f"packb with an option         {with_option * 1e9:8.0f} ns")
    print(f"fresh default Packer().pack  {fresh * 1e9:8.0f} ns")
    if "--check" in sys.argv[1:] and ratio > TARGET:
        print("ratio above target", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
