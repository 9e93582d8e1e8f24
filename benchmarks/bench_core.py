"""Packing and unpacking speed of quelm next to pickle, marshal, json and orjson.

Run:  python benchmarks/bench_core.py [--repeat N] [--quick] [--json PATH]

With the floor module built (python benchmarks/floor/setup.py build_ext
--inplace), each workload also shows the time to build its decoded objects
from a pre-parsed tape, the limit any decoder approaches.

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


WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def word(rnd: random.Random) -> str:
    """A new str object each time, with a value that seldom repeats: no
    string is shared between records for a memo (pickle's) to store once."""
    return rnd.choice(WORDS) + str(rnd.randrange(10**6))


def api_records(n: int) -> List[Dict[str, Any]]:
    rnd = random.Random(1)
    return [
        {
            "id": i,
            "name": rnd.choice(WORDS) + str(i),
            "score": rnd.random() * 100,
            "active": rnd.random() < 0.5,
            "parent": None if i % 3 else i // 3,
            "tags": [word(rnd) for _ in range(3)],
            "count": rnd.randrange(1000),
        }
        for i in range(n)
    ]


def mixed_ints(n: int) -> List[int]:
    """Every integer width (tiny, 8, 16, 32 and 64 bits), either sign, in an
    order no branch predictor learns."""
    rnd = random.Random(2)
    bounds = [2**5, 2**7, 2**15, 2**31, 2**63]
    return [rnd.randrange(-b, b) for b in (rnd.choice(bounds) for _ in range(n))]


def floats(n: int) -> List[float]:
    rnd = random.Random(3)
    return [rnd.uniform(-1e6, 1e6) for _ in range(n)]


ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"
OTHER_LETTERS = "éüßçñøåłżΩπλждя日本語中文€→"


def short_strs(n: int) -> List[str]:
    """1 to 24 characters, of random length; a quarter of them, at random,
    hold non-ASCII characters among the ASCII ones."""
    rnd = random.Random(4)
    result = []
    for _ in range(n):
        chars = rnd.choices(ASCII_LETTERS, k=rnd.randint(1, 24))
        if rnd.random() < 0.25:
            for _ in range(rnd.randint(1, (len(chars) + 2) // 3)):
                chars[rnd.randrange(len(chars))] = rnd.choice(OTHER_LETTERS)
        result.append("".join(chars))
    return result


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


# What median_time reads: wall time, or with --cpu this thread's CPU time,
# which other processes on a busy machine disturb much less.
clock = time.perf_counter


def median_time(fn: Callable[[], Any], repeat: int) -> float:
    """The median time of fn(); the value it returns is freed outside the
    clock, for every library alike."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = clock()
            result = fn()
            times.append(clock() - start)
            del result
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


def load_floor() -> Any:
    """The benchmark-only floor module (benchmarks/floor), if it was built."""
    import os

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor"))
    try:
        import _floor
    except ImportError:
        return None
    finally:
        del sys.path[0]
    return _floor


def floor_row(floor: Any, title: str, data: Any, each: bool, repeat: int,
              encoded: Any) -> List[Dict[str, Any]]:
    """The time to build the decoded objects from a pre-parsed tape, and
    quelm's unpack time as a multiple of it, the two interleaved run by run
    (so that both meet the allocator in the same state); returns the row for
    --json."""
    if floor is None:
        return []
    try:
        tapes = [floor.tape(x) for x in data] if each else floor.tape(data)
    except (TypeError, OverflowError):
        return []
    if each:
        runs = {"floor": lambda: [floor.build(tp) for tp in tapes],
                "quelm": lambda: [quelm.unpackb(e) for e in encoded]}
    else:
        runs = {"floor": lambda: floor.build(tapes), "quelm": lambda: quelm.unpackb(encoded)}
    medians = interleaved_medians(runs, repeat)
    t, ours = medians["floor"], medians["quelm"]
    print(f"{'  (objects from a tape)':30} {'floor':6} {t * 1e3:10.2f}"
          f"  unpack / floor {ours / t:.2f}")
    return [{"workload": title, "library": FLOOR, "direction": "unpack", "median_ms": t * 1e3}]


FLOOR = "floor (objects from a tape)"


def pipe_records(n: int) -> List[Dict[str, Any]]:
    return [{"id": i, "name": "n%d" % i, "ok": i % 2 == 0} for i in range(n)]


def time_from_pipe(loads: Dict[str, Tuple[Callable[[Any], Any], bytes]], expected: Any,
                   repeat: int) -> Dict[str, float]:
    """Median wall time of each load(reader) on a buffered pipe that another
    process fills with its encoding, the loaders interleaved run by run; each
    run checks the value and that the byte after it is still there, and
    frees the value before the next. Wall
    time, because waiting for the writer is part of what a reader costs; the
    writer is another process because a writer thread in this process would
    contend for the interpreter lock with the reader."""
    import os
    import subprocess
    import tempfile

    sources = {}
    for name, (_, encoded) in loads.items():
        with tempfile.NamedTemporaryFile(delete=False) as source:
            source.write(encoded + b"\x00")
        sources[name] = source.name
    copy = "import shutil, sys; shutil.copyfileobj(open(sys.argv[1], 'rb'), sys.stdout.buffer)"
    times: Dict[str, List[float]] = {name: [] for name in loads}
    try:
        for _ in range(repeat):
            for name, (load, _) in loads.items():
                with subprocess.Popen([sys.executable, "-c", copy, sources[name]],
                                      stdout=subprocess.PIPE) as writer:
                    reader = writer.stdout
                    assert reader is not None
                    reader.peek(1)  # the writer has started
                    gc.collect()
                    gc.disable()
                    try:
                        start = time.perf_counter()
                        value = load(reader)
                        times[name].append(time.perf_counter() - start)
                    finally:
                        gc.enable()
                    assert value == expected and reader.read() == b"\x00"
                    # Freed outside the clock, as median_time does: kept, it
                    # would make the next load build its objects in fresh
                    # memory, a cost of the loop, not of the load.
                    del value
    finally:
        for path in sources.values():
            os.unlink(path)
    return {name: statistics.median(t) for name, t in times.items()}


def pipe_rows(repeat: int, scale: int) -> List[Dict[str, Any]]:
    """One value of about 1 MB read from a buffered pipe (wall time); returns
    the rows for --json. Wall time with another process on the other side
    varies more than thread time, so this row takes at least 15 runs."""
    data = pipe_records(50_000 // scale)
    repeat = max(repeat, 15)
    medians = time_from_pipe({"quelm": (quelm.unpack, quelm.packb(data)),
                              "pickle": (pickle.load, pickle.dumps(data, protocol=5))},
                             data, repeat)
    ours, theirs = medians["quelm"], medians["pickle"]
    title = "1 MB value from a pipe"
    print(f"{title:30} {'unpack':6} {ours * 1e3:10.2f}  pickle.load {theirs * 1e3:.2f} ms,"
          f" ratio {ours / theirs:.2f} (wall time)")
    return [{"workload": title, "library": library, "direction": "unpack", "median_ms": t * 1e3}
            for library, t in (("quelm", ours), ("pickle", theirs))]


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="a tenth of the data")
    parser.add_argument("--json", metavar="PATH", help="also write every timing to PATH")
    parser.add_argument("--cpu", action="store_true",
                        help="time this thread's CPU time instead of wall time")
    parser.add_argument("--command", help="the command to state in --json's output "
                        "(default: python benchmarks/bench_core.py and the arguments)")
    parser.add_argument("--user-loop", nargs=2, metavar=("WORKLOAD", "VARIANT"),
                        help=argparse.SUPPRESS)  # one run of the user's loop, as JSON
    parser.add_argument("--scale", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    rows: List[Dict[str, Any]] = []
    scale = 10 if args.quick else 1
    if args.cpu:
        global clock
        clock = time.thread_time
    if args.user_loop:
        print(json.dumps(user_loop(*args.user_loop, args.scale, args.calls)))
        return

    workloads = [
        ("10k API records", api_records(10_000 // scale), False),
        ("1M ints, random widths", mixed_ints(1_000_000 // scale), False),
        ("1M floats", floats(1_000_000 // scale), False),
        ("200k short strs", short_strs(200_000 // scale), False),
        ("64 MiB bytes", big_bytes((64 << 20) // scale), False),
        ("100k tiny dicts, 1 call each", tiny_dicts(100_000 // scale), True),
    ]
    peers = codecs()
    floor_module = load_floor()
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
        encoded = [quelm.packb(x) for x in data] if each else quelm.packb(data)
        rows += floor_row(floor_module, title, data, each, args.repeat, encoded)
        if title.endswith("bytes"):
            floor = median_time(lambda: bytearray(data), args.repeat)
            print(f"{'  (plain copy of the bytes)':30} {'copy':6} {floor * 1e3:10.2f}")
    rows += pipe_rows(args.repeat, scale)
    rows += user_loop_rows(scale, 1000 // scale)
    rows += typed_records_tables(10_000 // scale, args.repeat)
    if args.json:
        results_json.write(args.json, args.command or "python benchmarks/bench_core.py",
                           rows, args.repeat, peer_versions(rows))


def peer_versions(rows: List[Dict[str, Any]]) -> Dict[str, str]:
    """The release of each library measured that is not part of Python
    (pickle, marshal and json come with the interpreter the run states)."""
    from importlib import metadata

    result = {}
    for library in ordered(r["library"].split()[0] for r in rows):
        if library in ("pickle", "marshal", "json", FLOOR.split()[0]):
            continue
        try:
            result[library] = metadata.version(library)
        except metadata.PackageNotFoundError:  # quelm from a source tree
            result[library] = "(source tree)"
    return result


def ordered(values: Any) -> List[str]:
    return list(dict.fromkeys(values))


# ---- the loop a user writes: one value per call, many calls in one process --
# What a server packing one response per request pays: each call's time and
# the minor page faults it causes, which one call repeated on a quiet heap
# hides. Each variant runs in a fresh process of its own, as a user's program
# would: in this one, the workloads before have already moved the
# allocator's thresholds. The variants: a Packer made afresh per call,
# packb, a Packer reused (the reference, "quelm"), and orjson.dumps.

LOOP_WORKLOADS: Dict[str, Callable[[int], Any]] = {
    "10k API records": lambda scale: api_records(10_000 // scale),
    "200k short strs": lambda scale: short_strs(200_000 // scale),
}


def loop_variants() -> Dict[str, Callable[[Any], Any]]:
    reused = quelm.Packer()
    variants: Dict[str, Callable[[Any], Any]] = {
        "quelm": reused.pack,
        "quelm Packer()": lambda o: quelm.Packer().pack(o),
        "quelm packb": quelm.packb,
    }
    if orjson is not None:
        variants["orjson"] = orjson.dumps
    return variants


def minor_faults() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def user_loop(workload: str, variant: str, scale: int, calls: int) -> Dict[str, float]:
    """In the process of its own: *calls* calls, in ten rounds; the median
    wall time per call of a round (what the server running the loop waits,
    the kernel's work on its page faults included), and the minor faults per
    call of them all.
    A few calls before them are not counted: the first outputs of a size
    move the C allocator's thresholds (glibc's from mmap to its heap) and
    map its pages once per process, whatever the library; the faults counted
    are those every later call pays."""
    data = LOOP_WORKLOADS[workload](scale)
    run = loop_variants()[variant]
    for _ in range(3):
        run(data)
    rounds = 10
    per_round = max(calls // rounds, 1)
    times = []
    before = minor_faults()
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(per_round):
            run(data)
        times.append((time.perf_counter() - start) / per_round)
    return {"median_ms": statistics.median(times) * 1e3,
            "minflt_per_call": (minor_faults() - before) / (rounds * per_round)}


def user_loop_rows(scale: int, calls: int) -> List[Dict[str, Any]]:
    """Prints the table; returns its rows (with minor faults per call) for --json."""
    import subprocess

    rows: List[Dict[str, Any]] = []
    for workload in LOOP_WORKLOADS:
        title = f"{workload}, {calls:,} calls"
        print(f"\n{title} in a fresh process each, wall time per call (median of 10 rounds)")
        for variant in loop_variants():
            command = [sys.executable, __file__, "--user-loop", workload, variant,
                       "--scale", str(scale), "--calls", str(calls)]
            result = json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE,
                                               universal_newlines=True).stdout)
            print(f"  {variant:16} {result['median_ms']:8.3f} ms"
                  f"  {result['minflt_per_call']:8.1f} minor faults")
            rows.append({"workload": title, "library": variant, "direction": "pack",
                         **result})
    return rows


# ---- typed records: dataclasses packed natively and decoded into their type --
# 10,000 dataclass records with int, str, float, list-of-str, aware datetime,
# UUID and Enum fields. Packing: Packer(typed=True) against the default-hook
# route, pickle, orjson (native dataclasses) and pydantic's dump_json.
# Decoding into list[Item]: quelm's Decoder against pickle, pydantic's
# validate_json of its own dump_json bytes, and by hand (unpackb, then each
# record built and its fields converted). Times are thread CPU time, the
# peers interleaved.

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


def typed_by_hand(packed: bytes) -> List[Item]:
    """What a program does without a typed decoder."""
    return [Item(d["id"], d["name"], d["score"], d["tags"], d["created"], uuid.UUID(d["uid"]),
                 Status(d["status"])) for d in quelm.unpackb(packed, timestamp=3)]


def interleaved_medians(runs: Dict[str, Callable[[], Any]], repeat: int) -> Dict[str, float]:
    """Median thread CPU time of each run, interleaved run by run; the values
    they return are freed outside the clock."""
    times: Dict[str, List[float]] = {name: [] for name in runs}
    for _ in range(repeat):
        for name, run in runs.items():
            gc.collect()
            gc.disable()
            try:
                start = time.thread_time()
                result = run()
                times[name].append(time.thread_time() - start)
                del result
            finally:
                gc.enable()
    return {name: statistics.median(t) for name, t in times.items()}


def typed_records_tables(n: int, repeat: int) -> List[Dict[str, Any]]:
    """Prints both tables; returns their rows for --json."""
    records = typed_records(n)
    packer = quelm.Packer(typed=True)
    packed = packer.pack(records)
    hooked = quelm.Packer(default=typed_hook, datetime=True)
    assert hooked.pack(records) == packed, "typed and hook routes differ"
    pickled = pickle.dumps(records, protocol=5)
    encoders: Dict[str, Callable[[], Any]] = {
        "quelm": lambda: packer.pack(records),
        "quelm hook": lambda: hooked.pack(records),
        "pickle": lambda: pickle.dumps(records, protocol=5),
    }
    decoder = quelm.Decoder(List[Item])
    decoders: Dict[str, Callable[[], Any]] = {
        "quelm": lambda: decoder.decode(packed),
        "quelm by hand": lambda: typed_by_hand(packed),
        "pickle": lambda: pickle.loads(pickled),
    }
    if orjson is not None:
        encoders["orjson"] = lambda: orjson.dumps(records)
    try:
        import pydantic
    except ImportError:  # optional peer, never a dependency
        pass
    else:
        adapter = pydantic.TypeAdapter(List[Item])
        as_json = adapter.dump_json(records)
        encoders["pydantic"] = lambda: adapter.dump_json(records)
        decoders["pydantic"] = lambda: adapter.validate_json(as_json)
    for name, run in decoders.items():
        assert run() == records, name
    workload = f"{n:,} typed records"
    rows: List[Dict[str, Any]] = []
    repeat = max(repeat, 5)
    for direction, runs in (("pack", encoders), ("unpack", decoders)):
        medians = interleaved_medians(runs, repeat)
        best = min(m for name, m in medians.items() if not name.startswith("quelm"))
        print(f"\n{workload}, {direction}, median thread CPU time of {repeat}")
        for name, m in medians.items():
            print(f"  {name:14} {m * 1e3:8.2f} ms   {m / best:5.2f} x best peer")
            rows.append({"workload": workload, "library": name, "direction": direction,
                         "median_ms": m * 1e3})
    return rows


if __name__ == "__main__":
    main()
