"""Packing lists of short strs, split by kind: bench_core's 200k strs (a
quarter non-ASCII, at random places), their ASCII and non-ASCII ones alone,
and strs whose every fourth is non-ASCII, a pattern a branch predictor
learns (which spares a copy that branches on the kind). Thread CPU time medians of
one Packer.pack call on the whole list, interleaved with orjson.dumps.

    python benchmarks/bench_strs.py [--rounds 9]

QUELM_TEXT_COPY=plain in the environment measures the copy CPUs without
masked byte loads take. To compare two builds, run it alternately with each
on PYTHONPATH.
"""
import argparse
import random
from functools import partial
from typing import List

import quelm
from bench_core import interleaved_medians, short_strs

try:
    import orjson
except ImportError:  # optional peer
    orjson = None


def every_fourth_wide(n: int) -> List[str]:
    """1 to 24 characters; those at indices divisible by 4 have non-ASCII
    ones, the others none."""
    rnd = random.Random(4)
    ascii_letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ "
    wide = "éüñçßøå€Ωλж日本語中文한국😀"
    out = []
    for i in range(n):
        letters = ascii_letters + wide if i % 4 == 0 else ascii_letters
        text = "".join(rnd.choice(letters) for _ in range(rnd.randint(1, 24)))
        if i % 4 == 0 and text.isascii():
            text = rnd.choice(wide) + text[1:]
        out.append(text)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    core = short_strs(200_000)
    lists = {
        "core, all": core,
        "core, ASCII": [s for s in core if s.isascii()],
        "core, non-ASCII": [s for s in core if not s.isascii()],
        "every fourth wide": every_fourth_wide(200_000),
    }
    packer = quelm.Packer()
    for name, value in lists.items():
        runs = {"quelm": partial(packer.pack, value)}
        if orjson is not None:
            runs["orjson"] = partial(orjson.dumps, value)
        for run in runs.values():
            run()  # a non-ASCII str keeps its UTF-8 once encoded: warm both alike
        medians = {library: t * 1e3 for library, t in interleaved_medians(runs, args.rounds).items()}
        ours = medians["quelm"]
        line = f"{name:16} n={len(value):7}  quelm {ours:7.3f} ms ({ours * 1e6 / len(value):4.1f} ns/str)"
        if orjson is not None:
            theirs = medians["orjson"]
            line += f"  orjson {orjson.__version__} {theirs:7.3f} ms  ratio {ours / theirs:.2f}"
        print(line)


if __name__ == "__main__":
    main()
