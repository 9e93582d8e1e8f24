"""Two builds of quelm side by side (say, with and without profile-guided
optimisation, or before and after a change), on the hot workloads, in
alternating processes so that a busy machine disturbs both alike.

    python benchmarks/bench_builds.py A_DIR B_DIR [--rounds 4]

Each directory holds a `quelm` package with its extension module: an
unpacked wheel (`unzip quelm-*.whl -d A_DIR`) or a source tree's `src`.
Prints each workload's median thread CPU time per build (the pipe row's
wall time, with pickle.load's beside it as a check on the machine), and B's
change relative to A.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from typing import Any, Callable, Dict

HERE = os.path.dirname(os.path.abspath(__file__))


def workloads() -> Dict[str, Callable[[], Any]]:
    sys.path.insert(0, HERE)
    import quelm
    import bench_core as bench

    strs, records = bench.short_strs(200_000), bench.api_records(10_000)
    typed = bench.typed_records(10_000)
    ints = quelm.packb(bench.mixed_ints(1_000_000))
    packer, typed_packer = quelm.Packer(), quelm.Packer(typed=True)
    packed_records, packed_typed = quelm.packb(records), typed_packer.pack(typed)
    decoder = quelm.Decoder(list[bench.Item])  # type: ignore[misc]
    return {
        "200k short strs, pack": lambda: packer.pack(strs),
        "10k API records, pack": lambda: packer.pack(records),
        "10k typed records, pack": lambda: typed_packer.pack(typed),
        "1M ints, unpack": lambda: quelm.unpackb(ints),
        "10k API records, unpack": lambda: quelm.unpackb(packed_records),
        "10k typed records, decode": lambda: decoder.decode(packed_typed),
    }


def measure_here(repeat: int) -> Dict[str, float]:
    import pickle

    import quelm
    from bench_core import interleaved_medians, pipe_records, time_from_pipe

    runs = workloads()
    for call in runs.values():
        call()
    medians = {name: t * 1e3 for name, t in interleaved_medians(runs, repeat).items()}
    # Wall time, with the writer in another process: the build's own time
    # and, beside it, pickle.load's in the same runs, which no build changes.
    data = pipe_records(50_000)
    piped = time_from_pipe({"quelm": (quelm.unpack, quelm.packb(data)),
                            "pickle": (pickle.load, pickle.dumps(data, protocol=5))},
                           data, max(repeat, 15))
    medians["1 MB from a pipe (wall)"] = piped["quelm"] * 1e3
    medians["  its pickle.load (wall)"] = piped["pickle"] * 1e3
    return medians


def measure_in(build: str, repeat: int) -> Dict[str, float]:
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    out = subprocess.run([sys.executable, __file__, "--child", str(repeat)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a", nargs="?")
    parser.add_argument("b", nargs="?")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure_here(args.child)))
        return
    if not (args.a and args.b):
        parser.error("give the directories of two builds")
    runs: Dict[str, list] = {args.a: [], args.b: []}
    for _ in range(args.rounds):
        for build in runs:
            runs[build].append(measure_in(build, args.repeat))
    print(f"median ms of {args.rounds} rounds x {args.repeat} runs; A = {args.a}, B = {args.b}")
    for name in runs[args.a][0]:
        a = statistics.median(r[name] for r in runs[args.a])
        b = statistics.median(r[name] for r in runs[args.b])
        print(f"  {name:28} A {a:8.3f}  B {b:8.3f}  B/A {b / a - 1:+6.1%}")


if __name__ == "__main__":
    main()
