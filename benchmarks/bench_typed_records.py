"""What the record declarations cost: tagged unions, wire names, omitted
defaults and forbidden unknown fields, each next to the same records
without it.

Run:  PYTHONPATH=src python benchmarks/bench_typed_records.py [--runs N] [--size N]

Every row times one operation on a list of --size records (10,000 by
default) and prints the median of --runs runs (thread CPU time, so other
processes on the machine weigh less), the variants of a row interleaved run
by run; the ratio is the row's time over its baseline's. The rows:

- decode tagged: Decoder(list[A | B | C]), three record classes told apart
  by a tag field written first, against Decoder(list[One]), one class with
  the same fields and a str tag, decoding the same bytes;
- pack/decode renamed: quelm.record(rename=str.upper) (wire names of the
  same length) against the plain class;
- pack omit_defaults: no field at its default (every value compared, all
  written) and every optional field at its default (left out), against the
  plain class;
- decode forbid_unknown_fields: against the plain class, no unknown keys.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import random
import statistics
import time
from typing import Any, Callable, Dict, List, Literal, Sequence, Tuple, Union

import quelm


@dataclasses.dataclass
class Circle:
    kind: Literal["circle"]
    x: float
    y: float
    size: int
    label: str


@dataclasses.dataclass
class Square:
    kind: Literal["square"]
    x: float
    y: float
    size: int
    label: str


@dataclasses.dataclass
class Triangle:
    kind: Literal["triangle"]
    x: float
    y: float
    size: int
    label: str


@dataclasses.dataclass
class One:
    kind: str
    x: float
    y: float
    size: int
    label: str


@dataclasses.dataclass
class Plain:
    user_id: int
    score: float
    name: str
    active: bool = True
    level: int = 0
    note: str = ""


def declared(**options: Any) -> type:
    """Plain's fields in a class of their own, declared with *options*."""
    cls = dataclasses.make_dataclass(
        "Declared", [(f.name, f.type, f) for f in dataclasses.fields(Plain)])
    return quelm.record(**options)(cls)


Renamed = declared(rename=str.upper)
Omitting = declared(omit_defaults=True)
Strict = declared(forbid_unknown_fields=True)


def shapes(n: int) -> Tuple[List[Any], bytes]:
    rnd = random.Random(1)
    classes = [Circle, Square, Triangle]
    values = [classes[i % 3](("circle", "square", "triangle")[i % 3], rnd.random(), rnd.random(),
                             rnd.randrange(1000), f"shape{i}") for i in range(n)]
    return values, quelm.packb(values, typed=True)


def people(cls: type, n: int, at_defaults: bool) -> List[Any]:
    rnd = random.Random(2)
    if at_defaults:
        return [cls(i, rnd.random(), f"user{i}") for i in range(n)]
    return [cls(i, rnd.random(), f"user{i}", False, 1 + i % 5, "n") for i in range(n)]


def interleaved(fns: Sequence[Callable[[], Any]], runs: int) -> List[float]:
    """Median thread CPU time of each function, run in turn."""
    times: List[List[float]] = [[] for _ in fns]
    for fn in fns:  # warm-up: plans, caches
        fn()
    gc.disable()
    try:
        for _ in range(runs):
            for i, fn in enumerate(fns):
                start = time.thread_time()
                fn()
                times[i].append(time.thread_time() - start)
    finally:
        gc.enable()
    return [statistics.median(t) for t in times]


def row(name: str, fns: Dict[str, Callable[[], Any]], runs: int) -> None:
    medians = interleaved(list(fns.values()), runs)
    base = medians[0]
    for (label, _), t in zip(fns.items(), medians):
        print(f"{name:<28} {label:<28} {t * 1e3:9.3f} ms  {t / base:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=51)
    parser.add_argument("--size", type=int, default=10_000)
    args = parser.parse_args()
    n, runs = args.size, args.runs
    print(f"{n} records, median of {runs} runs, thread CPU time")

    _, tagged_bytes = shapes(n)
    tagged = quelm.Decoder(List[Union[Circle, Square, Triangle]])
    one = quelm.Decoder(List[One])
    row("decode tagged (3 classes)", {"one class, str tag": lambda: one.decode(tagged_bytes),
                                      "tagged union": lambda: tagged.decode(tagged_bytes)}, runs)

    plain, renamed = people(Plain, n, False), people(Renamed, n, False)
    plain_bytes, renamed_bytes = (quelm.packb(v, typed=True) for v in (plain, renamed))
    row("pack renamed", {"plain": lambda: quelm.packb(plain, typed=True),
                         "rename=str.upper": lambda: quelm.packb(renamed, typed=True)}, runs)
    plain_decoder, renamed_decoder = quelm.Decoder(List[Plain]), quelm.Decoder(List[Renamed])
    row("decode renamed", {"plain": lambda: plain_decoder.decode(plain_bytes),
                           "rename=str.upper": lambda: renamed_decoder.decode(renamed_bytes)},
        runs)

    omitting = people(Omitting, n, False)
    plain_at, omitting_at = people(Plain, n, True), people(Omitting, n, True)
    row("pack omit_defaults", {
        "plain, none at default": lambda: quelm.packb(plain, typed=True),
        "omit, none at default": lambda: quelm.packb(omitting, typed=True),
        "plain, 3 of 6 at default": lambda: quelm.packb(plain_at, typed=True),
        "omit, 3 of 6 at default": lambda: quelm.packb(omitting_at, typed=True)}, runs)

    strict_decoder = quelm.Decoder(List[Strict])
    row("decode forbid_unknown", {"plain": lambda: plain_decoder.decode(plain_bytes),
                                  "forbid_unknown_fields": lambda: strict_decoder.decode(plain_bytes)},
        runs)


if __name__ == "__main__":
    main()
