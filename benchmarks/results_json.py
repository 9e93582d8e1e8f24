"""The --json output of the benchmarks: every timing as a row, with where and
how it was taken, for benchmarks/plot.py and for comparing runs.

    {"command": ..., "python": ..., "machine": ..., "repeat": N,
     "results": [{"workload": ..., "library": ..., "direction": "pack",
                  "median_ms": 1.23}, ...]}

``median_ms`` is null where a library cannot represent the workload.
"""

from __future__ import annotations

import json
import os
import platform
import sys
from typing import Any, Dict, List, Optional, Tuple

DIRECTIONS = (("pack", 0), ("unpack", 1))


def timing_rows(workload: str, by_library: Dict[str, Optional[Tuple[float, float]]]
                ) -> List[Dict[str, Any]]:
    """One row per library and direction from (pack, unpack) seconds, or None."""
    return [
        {"workload": workload, "library": name, "direction": direction,
         "median_ms": None if times is None else times[index] * 1e3}
        for name, times in by_library.items()
        for direction, index in DIRECTIONS
    ]


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def write(path: str, script: str, rows: List[Dict[str, Any]], repeat: int) -> None:
    """Write *rows* to *path* with the machine, the Python and the command."""
    document = {
        "command": " ".join(["python", script, *sys.argv[1:]]),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.system()} {platform.machine()}, {cpu_model()}, "
                   f"{os.cpu_count()} logical cores",
        "repeat": repeat,
        "results": rows,
    }
    with open(path, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=1)
        out.write("\n")
