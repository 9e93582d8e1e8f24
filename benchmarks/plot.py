"""Draw the --json output of a benchmark as a bar chart.

Run:  python benchmarks/plot.py RESULTS.json [-o docs/benchmarks.svg]

One panel per direction (pack, unpack); in each, one group of bars per
workload and one bar per library, in the order the benchmark reported them.
A bar's length is the library's median time divided by quelm's on the same
workload (logarithmic axis; left of 1 is faster than quelm), and quelm's own
bar is labelled with its time. A library that cannot represent a
workload gets no bar and an "n/a" mark; one not measured on it (the pipe
row has no packing, the typed records no marshal) gets neither. Workloads
and library colours are the same in both panels; the legend gives each
library's version, and a bar of the user's loop its minor page faults per
call when there are any. The machine, Python and command of
the run are written under the chart. Needs matplotlib (the "bench" extra).
"""

from __future__ import annotations

import argparse
import json
from typing import Any, Dict, List, Optional, Tuple

REFERENCE = "quelm"


def ordered(values: List[str]) -> List[str]:
    return list(dict.fromkeys(values))


# Not measured on a workload at all, as opposed to None: cannot represent it.
ABSENT = -1.0


def ratios(rows: List[Dict[str, Any]], direction: str, workloads: List[str],
           libraries: List[str]
           ) -> Tuple[Dict[Tuple[str, str], Optional[float]], Dict[str, float]]:
    """Time relative to quelm per (workload, library) (None where the library
    cannot represent the workload, ABSENT where it was not measured), and
    quelm's own milliseconds per workload, for one direction."""
    mine = [r for r in rows if r["direction"] == direction]
    ms = {(r["workload"], r["library"]): r["median_ms"] for r in mine}
    reference = {w: ms[(w, REFERENCE)] for w in workloads if ms.get((w, REFERENCE))}
    relative: Dict[Tuple[str, str], Optional[float]] = {}
    for w in workloads:
        for lib in libraries:
            if (w, lib) not in ms or w not in reference:
                relative[(w, lib)] = ABSENT
            elif ms[(w, lib)] is None:
                relative[(w, lib)] = None
            else:
                relative[(w, lib)] = ms[(w, lib)] / reference[w]
    return relative, reference


def legend_name(library: str, versions: Dict[str, str]) -> str:
    """The legend's name of a library: with its version, where the run has it
    (pickle, marshal and json come with the Python stated under the chart;
    quelm's variants go with quelm's)."""
    version = versions.get(library)
    return f"{library} {version}" if version else library


def draw(document: Dict[str, Any], out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter

    plt.rcParams.update({"svg.fonttype": "none", "font.size": 9,
                         "font.family": "sans-serif"})
    rows = document["results"]
    directions = ordered([r["direction"] for r in rows])
    workloads = ordered([r["workload"] for r in rows])
    libraries = ordered([r["library"] for r in rows])
    height = 0.6 + 0.32 * len(workloads) * max(len(libraries), 3) / 3
    fig, axes = plt.subplots(1, len(directions), figsize=(11, height + 1.2), sharey=True,
                             squeeze=False)
    # Eleven libraries and variants and more: one colour each.
    colours = list(plt.get_cmap("tab10").colors) + list(plt.get_cmap("Dark2").colors)
    faults = {(r["workload"], r["library"], r["direction"]): r["minflt_per_call"]
              for r in rows if r.get("minflt_per_call", 0) >= 1}
    for ax, direction in zip(axes[0], directions):
        relative, reference = ratios(rows, direction, workloads, libraries)
        bar = 0.8 / len(libraries)
        for j, lib in enumerate(libraries):
            for i, w in enumerate(workloads):
                y = i + (j - (len(libraries) - 1) / 2) * bar
                value = relative[(w, lib)]
                if value == ABSENT:
                    continue
                if value is None:
                    ax.text(0.01, y, f"{lib}: n/a", va="center", fontsize=6,
                            color=colours[j % len(colours)], transform=ax.get_yaxis_transform())
                    continue
                ax.barh(y, value, height=bar, color=colours[j % len(colours)], label=lib)
                if lib == REFERENCE:
                    ax.text(1.04, y, f"{reference[w]:.3g} ms", va="center", fontsize=6)
                if (w, lib, direction) in faults:
                    at = value * (1.6 if lib == REFERENCE else 1.04)  # past the ms
                    ax.text(at, y, f"{faults[(w, lib, direction)]:.0f} faults/call",
                            va="center", fontsize=6, color=colours[j % len(colours)])
        ax.set_xscale("log")
        ax.xaxis.set_major_locator(FixedLocator([f * 10.0**e for e in range(-3, 4)
                                                 for f in (1, 2, 5)]))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}×"))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_yticks(range(len(workloads)))
        ax.set_yticklabels(workloads)
        ax.set_title(f"{direction}: time relative to quelm (lower is faster)")
        ax.grid(axis="x", which="both", alpha=0.3)
    axes[0][0].invert_yaxis()  # shared: the first workload and library on top
    legend: Dict[str, Any] = {}
    for ax in axes[0]:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            legend.setdefault(label, handle)
    labels = [lib for lib in libraries if lib in legend]
    versions = document.get("versions", {})
    fig.legend([legend[lib] for lib in labels], [legend_name(lib, versions) for lib in labels],
               loc="upper center",
               ncol=min(len(labels), 5), frameon=False)
    fig.text(0.01, 0.01, f"{document['machine']}; {document['python']}; "
             f"median of {document['repeat']} runs; {document['command']}", fontsize=7)
    fig.tight_layout(rect=(0, 0.04, 1, 0.93))
    fig.savefig(out, metadata={"Date": None} if out.endswith(".svg") else None)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="the file a benchmark's --json wrote")
    parser.add_argument("-o", "--output", default="docs/benchmarks.svg")
    args = parser.parse_args(argv)
    with open(args.results, encoding="utf-8") as f:
        draw(json.load(f), args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
