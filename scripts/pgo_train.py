"""The training run of a profile-guided build: the benchmark's workloads,
packed and unpacked the ways programs do, by a quelm built with
QUELM_PGO=generate (its profile is written when this process exits).

    python scripts/pgo_train.py

Run from the source tree with that build installed; scripts/pgo_wheel.sh runs
both stages for a release wheel.
"""

import os
import sys
from typing import List

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks"))

import quelm  # noqa: E402
import bench_core as bench  # noqa: E402


def main() -> None:
    scale = 2  # half the benchmark's sizes: the same paths, in half the time
    workloads = [
        bench.api_records(10_000 // scale),
        bench.mixed_ints(1_000_000 // scale),
        bench.floats(1_000_000 // scale),
        bench.short_strs(200_000 // scale),
        bench.big_bytes((8 << 20) // scale),
        bench.pipe_records(50_000 // scale),
    ]
    packer = quelm.Packer()
    for _ in range(3):
        for data in workloads:
            packed = packer.pack(data)
            assert quelm.unpackb(packed) == data
            assert quelm.packb(data) == packed == quelm.Packer().pack(data)
            unpacker = quelm.Unpacker()
            for i in range(0, len(packed), 1 << 16):
                unpacker.feed(packed[i : i + (1 << 16)])
            assert list(unpacker) == [data]
        for d in bench.tiny_dicts(100_000 // scale):
            assert quelm.unpackb(packer.pack(d)) == d
        records = bench.typed_records(10_000 // scale)
        typed = quelm.Packer(typed=True)
        decoder = quelm.Decoder(List[bench.Item])
        assert decoder.decode(typed.pack(records)) == records


if __name__ == "__main__":
    main()
