"""Instructions per item of the hot loops, counted by callgrind: exact and
repeatable where times on a shared machine are not, so that a change to a
loop can be judged by what it makes the processor do.

    python benchmarks/bench_instructions.py [WORKLOAD ...]

Runs itself once per workload under `valgrind --tool=callgrind`, counting
only inside quelm's entry point for that workload, and prints one call's
count divided by the number of items. One call's count is the difference
between a run of three calls and a run of two, so that the first call,
which warms caches such as the strs' UTF-8 forms, is not in it. Needs
valgrind on the PATH.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from typing import Any, Callable, Dict, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# name: (C function to count inside, items, what one call does)
WORKLOADS: Dict[str, Tuple[str, int, str]] = {
    "strs-pack": ("packer_pack", 200_000, "a reused Packer packs 200k short strs"),
    "records-pack": ("packer_pack", 10_000, "a reused Packer packs 10k API records"),
    "typed-pack": ("packer_pack", 10_000, "Packer(typed=True) packs 10k dataclass records"),
    "ints-unpack": ("unpackb_vectorcall", 1_000_000, "unpackb of 1M ints of random widths"),
    "floor-ints": ("floor_build", 1_000_000, "the floor builds the same 1M ints from a tape"),
}


def call_for(workload: str) -> Callable[[], Any]:
    import quelm
    import bench_core

    if workload == "strs-pack":
        value, packer = bench_core.short_strs(200_000), quelm.Packer()
        return lambda: packer.pack(value)
    if workload == "records-pack":
        value, packer = bench_core.api_records(10_000), quelm.Packer()
        return lambda: packer.pack(value)
    if workload == "typed-pack":
        value, packer = bench_core.typed_records(10_000), quelm.Packer(typed=True)
        return lambda: packer.pack(value)
    ints = bench_core.mixed_ints(1_000_000)
    if workload == "ints-unpack":
        packed = quelm.packb(ints)
        return lambda: quelm.unpackb(packed)
    floor = bench_core.load_floor()
    if floor is None:
        raise SystemExit("build benchmarks/floor first (see benchmarks/run.sh)")
    tape = floor.tape(ints)
    return lambda: floor.build(tape)


def counted(workload: str, calls: int) -> int:
    function = WORKLOADS[workload][0]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        f"--toggle-collect=*{function}*", f"--callgrind-out-file={out}",
                        sys.executable, os.path.abspath(__file__), "--run", workload,
                        "--calls", str(calls)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out, encoding="utf-8") as f:
            summary = re.search(r"^summary: (\d+)", f.read(), re.M)
    assert summary is not None, "callgrind wrote no summary"
    return int(summary.group(1))


def count(workload: str) -> float:
    return (counted(workload, 3) - counted(workload, 2)) / WORKLOADS[workload][1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("workloads", nargs="*", choices=[[], *WORKLOADS], default=[])
    parser.add_argument("--run", help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, default=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        call = call_for(args.run)
        for _ in range(args.calls):
            call()
        return
    for workload in args.workloads or WORKLOADS:
        print(f"{workload:14} {count(workload):8.1f} instructions per item   "
              f"({WORKLOADS[workload][2]})", flush=True)


if __name__ == "__main__":
    main()
