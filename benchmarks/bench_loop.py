"""The loop a user writes: one process packing the same kind of value over
and over, with a fresh Packer each time, with packb, and with one reused
Packer, beside orjson.dumps. Prints wall time and minor page faults per
call; the page faults show whether the allocator maps fresh memory on
every call. The data is bench_core's, whose non-ASCII strs fall at random
rather than in a pattern a branch predictor learns.

    python benchmarks/bench_loop.py [--calls 1000] [--rounds 5]

Run it from a venv with the `bench` extra, so that orjson is the current
release rather than whatever the machine has.
"""
import argparse
import gc
import resource
import statistics
import time
from typing import Any, Callable, Dict, List

import quelm
from bench_core import api_records, short_strs

try:
    import orjson
except ImportError:  # optional peer
    orjson = None


def loops(value: Any) -> Dict[str, Callable[[int], None]]:
    """Each entry runs n calls the way a user's loop would, keeping the last
    result alive until the next one replaces it."""
    reused = quelm.Packer()

    def fresh(n: int) -> None:
        out = None
        for _ in range(n):
            out = quelm.Packer().pack(value)
        del out

    def packb(n: int) -> None:
        out = None
        for _ in range(n):
            out = quelm.packb(value)
        del out

    def reuse(n: int) -> None:
        out = None
        for _ in range(n):
            out = reused.pack(value)
        del out

    runs = {"Packer().pack": fresh, "packb": packb, "reused Packer.pack": reuse}
    if orjson is not None:
        def dumps(n: int) -> None:
            out = None
            for _ in range(n):
                out = orjson.dumps(value)
            del out
        runs["orjson.dumps"] = dumps
    return runs


def measure(runs: Dict[str, Callable[[int], None]], calls: int, rounds: int) -> Dict[str, tuple]:
    """Median ms per call over the rounds, and page faults per call over all
    of them. Each round runs every loop once, interleaved; each loop's first
    call in a round is left out, as it inherits the heap the previous loop
    left (a user's loop runs alone)."""
    per = max(1, calls // rounds)
    times: Dict[str, List[float]] = {name: [] for name in runs}
    faults: Dict[str, int] = {name: 0 for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            gc.collect()
            gc.disable()
            try:
                run(1)
                before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
                start = time.perf_counter()
                run(per)
                elapsed = time.perf_counter() - start
                faults[name] += resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
            finally:
                gc.enable()
            times[name].append(elapsed / per)
    return {name: (statistics.median(times[name]) * 1e3, faults[name] / (per * rounds))
            for name in runs}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=["strs", "records"])
    args = parser.parse_args()
    workloads = {"strs": ("200k short strs", short_strs(200_000)),
                 "records": ("10k API records", api_records(10_000))}
    versions = f"quelm {quelm.__version__}" if hasattr(quelm, "__version__") else "quelm"
    if orjson is not None:
        versions += f", orjson {orjson.__version__}"
    print(versions)
    for key, (title, value) in workloads.items():
        if args.only and key != args.only:
            continue
        size = len(quelm.packb(value))
        print(f"\n{title} ({size / 1024:.0f} KiB packed), {args.calls} calls: "
              "median ms per call, minor page faults per call")
        results = measure(loops(value), args.calls, args.rounds)
        base = results.get("orjson.dumps", (None,))[0]
        for name, (ms, faults) in results.items():
            ratio = f"{ms / base:5.2f} x orjson" if base else ""
            print(f"  {name:20} {ms:8.3f} ms  {faults:8.1f} faults  {ratio}")


if __name__ == "__main__":
    main()
