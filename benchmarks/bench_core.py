"""Packing and unpacking speed of quelm next to pickle, marshal, json and orjson.

Run:  python benchmarks/bench_core.py [--repeat N] [--quick] [--json PATH]

For every workload it times, in this one process, each library's encoder and
decoder on the same data and prints the median time and the ratio of quelm's
time to each peer's (below 1.00 means quelm is faster). A library that cannot
represent a workload (json and orjson have no bytes) is shown as "n/a".
--json also writes every timing to PATH (format in results_json.py), which
benchmarks/plot.py draws.
"""

from __future__ import annotations

import argparse
import gc
import json
import marshal
import pickle
import random
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import quelm
import results_json

try:
    import orjson
except ImportError:  # optional peer
    orjson = None


def api_records(n: int) -> List[Dict[str, Any]]:
    rnd = random.Random(1)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    return [
        {
            "id": i,
            "name": rnd.choice(words) + str(i),
            "score": rnd.random() * 100,
            "active": rnd.random() < 0.5,
            "parent": None if i % 3 else i // 3,
            "tags": [rnd.choice(words) for _ in range(3)],
            "count": rnd.randrange(1000),
        }
        for i in range(n)
    ]


def mixed_ints(n: int) -> List[int]:
    rnd = random.Random(2)
    bounds = [100, 30000, 2**31, 2**62]
    return [rnd.randrange(-b, b) for b in (bounds[i % 4] for i in range(n))]


def floats(n: int) -> List[float]:
    rnd = random.Random(3)
    return [rnd.uniform(-1e6, 1e6) for _ in range(n)]


def short_strs(n: int) -> List[str]:
    rnd = random.Random(4)
    ascii_words = ["user", "order", "status", "pending", "shipped", "id", "name"]
    other = ["café", "naïve", "日本語", "Ωmega", "żółw", "€uro"]
    return [
        (rnd.choice(other) if i % 4 == 0 else rnd.choice(ascii_words)) + str(i % 100)
        for i in range(n)
    ]


def big_bytes(size: int) -> bytes:
    return random.Random(5).randbytes(size) if hasattr(random.Random, "randbytes") else bytes(size)


def tiny_dicts(n: int) -> List[Dict[str, int]]:
    return [{"a": i, "b": i & 7} for i in range(n)]


# A codec is (name, encode, decode); decode takes what encode returned.
Codec = Tuple[str, Callable[[Any], Any], Callable[[Any], Any]]


def codecs() -> List[Codec]:
    packer = quelm.Packer()
    result: List[Codec] = [
        ("quelm", packer.pack, quelm.unpackb),
        ("pickle", lambda o: pickle.dumps(o, protocol=5), pickle.loads),
        ("marshal", marshal.dumps, marshal.loads),
        ("json", json.dumps, json.loads),
    ]
    if orjson is not None:
        result.append(("orjson", orjson.dumps, orjson.loads))
    return result


def median_time(fn: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return statistics.median(times)


def measure(name: str, codec: Codec, data: Any, one_call_each: bool,
            repeat: int) -> Optional[Tuple[float, float]]:
    _, encode, decode = codec
    try:
        if one_call_each:
            encoded = [encode(x) for x in data]
            if [decode(e) for e in encoded[:100]] != data[:100]:
                return None
        else:
            encoded = encode(data)
            if decode(encoded) != data:
                return None
    except (TypeError, ValueError):
        return None
    if one_call_each:
        t_enc = median_time(lambda: [encode(x) for x in data], repeat)
        t_dec = median_time(lambda: [decode(e) for e in encoded], repeat)
    else:
        t_enc = median_time(lambda: encode(data), repeat)
        t_dec = median_time(lambda: decode(encoded), repeat)
    return t_enc, t_dec


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="a tenth of the data")
    parser.add_argument("--json", metavar="PATH", help="also write every timing to PATH")
    args = parser.parse_args(argv)
    rows: List[Dict[str, Any]] = []
    scale = 10 if args.quick else 1

    workloads = [
        ("10k API records", api_records(10_000 // scale), False),
        ("1M mixed ints", mixed_ints(1_000_000 // scale), False),
        ("1M floats", floats(1_000_000 // scale), False),
        ("200k short strs", short_strs(200_000 // scale), False),
        ("64 MiB bytes", big_bytes((64 << 20) // scale), False),
        ("100k tiny dicts, 1 call each", tiny_dicts(100_000 // scale), True),
    ]
    peers = codecs()
    print(f"Python {sys.version.split()[0]}, median of {args.repeat} runs; "
          "ratio = quelm time / peer time (below 1.00: quelm faster)")
    header = f"{'workload':30} {'dir':6} {'quelm ms':>10}"
    for name, _, _ in peers[1:]:
        header += f" {name + ' ms':>12} {'ratio':>6}"
    print(header)
    for title, data, each in workloads:
        results = {codec[0]: measure(title, codec, data, each, args.repeat) for codec in peers}
        rows += results_json.timing_rows(title, results)
        for direction, index in (("pack", 0), ("unpack", 1)):
            ours = results["quelm"]
            assert ours is not None, f"quelm failed the round trip on {title}"
            line = f"{title:30} {direction:6} {ours[index] * 1e3:10.2f}"
            for name, _, _ in peers[1:]:
                theirs = results[name]
                if theirs is None:
                    line += f" {'n/a':>12} {'':>6}"
                else:
                    line += f" {theirs[index] * 1e3:12.2f} {ours[index] / theirs[index]:6.2f}"
            print(line, flush=True)
        if title.endswith("bytes"):
            floor = median_time(lambda: bytearray(data), args.repeat)
            print(f"{'  (plain copy of the bytes)':30} {'copy':6} {floor * 1e3:10.2f}")
    typed_records_table(args.repeat, scale)
    if args.json:
        results_json.write(args.json, "benchmarks/bench_core.py", rows, args.repeat)


# ---- typed records: dataclasses packed natively (Packer(typed=True)) ------

import dataclasses  # noqa: E402
import datetime as _dt  # noqa: E402
import enum  # noqa: E402
import uuid  # noqa: E402


class Status(enum.Enum):
    ACTIVE = "active"
    PAUSED = "paused"
    CLOSED = "closed"


@dataclasses.dataclass
class Item:
    id: int
    name: str
    score: float
    tags: List[str]
    created: _dt.datetime
    uid: uuid.UUID
    status: Status


def typed_records(n: int) -> List[Item]:
    rnd = random.Random(6)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    start = _dt.datetime(2024, 1, 1, tzinfo=_dt.timezone.utc)
    statuses = list(Status)
    return [
        Item(i, rnd.choice(words) + str(i), rnd.random() * 100,
             [rnd.choice(words) for _ in range(3)],
             start + _dt.timedelta(seconds=rnd.randrange(10**8), microseconds=rnd.randrange(10**6)),
             uuid.UUID(int=rnd.getrandbits(128)), rnd.choice(statuses))
        for i in range(n)
    ]


def typed_hook(o: Any) -> Any:
    """What a program passes as `default` without typed=True."""
    if dataclasses.is_dataclass(o) and not isinstance(o, type):
        return {f.name: getattr(o, f.name) for f in dataclasses.fields(o)}
    if isinstance(o, enum.Enum):
        return o.value
    if isinstance(o, uuid.UUID):
        return str(o)
    raise TypeError(type(o).__name__)


def typed_encoders() -> List[Tuple[str, Callable[[Any], Any]]]:
    result: List[Tuple[str, Callable[[Any], Any]]] = [
        ("quelm typed", quelm.Packer(typed=True).pack),
        ("quelm hook", quelm.Packer(default=typed_hook, datetime=True).pack),
        ("pickle", lambda o: pickle.dumps(o, protocol=5)),
    ]
    if orjson is not None:
        result.append(("orjson", orjson.dumps))
    try:
        import pydantic
    except ImportError:  # optional peer, never a dependency
        pass
    else:
        result.append(("pydantic", pydantic.TypeAdapter(List[Item]).dump_json))
    return result


def typed_records_table(repeat: int, scale: int) -> None:
    """Median thread CPU time of each encoder, the encoders interleaved."""
    records = typed_records(10_000 // scale)
    encoders = typed_encoders()
    hook_route = dict(encoders)["quelm hook"](records)
    assert dict(encoders)["quelm typed"](records) == hook_route, "typed and hook routes differ"
    times: Dict[str, List[float]] = {name: [] for name, _ in encoders}
    for _ in range(max(repeat, 5)):
        for name, encode in encoders:
            gc.collect()
            gc.disable()
            try:
                start = time.thread_time()
                encode(records)
                times[name].append(time.thread_time() - start)
            finally:
                gc.enable()
    medians = {name: statistics.median(t) for name, t in times.items()}
    peers = [m for name, m in medians.items() if not name.startswith("quelm")]
    best = min(peers)
    print(f"\n{len(records)} dataclass records, pack, median thread CPU time of {max(repeat, 5)}")
    for name, m in medians.items():
        print(f"  {name:12} {m * 1e3:8.2f} ms   {m / best:5.2f} x best peer")


if __name__ == "__main__":
    main()
