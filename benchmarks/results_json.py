"""The --json output of the benchmarks: every timing as a row, with where and
how it was taken, for benchmarks/plot.py and for comparing runs.

    {"command": ..., "python": ..., "machine": ..., "repeat": N,
     "versions": {"quelm": "0.1.0", "orjson": ..., ...},
     "results": [{"workload": ..., "library": ..., "direction": "pack",
                  "median_ms": 1.23}, ...]}

``versions`` holds the release of every library measured that does not come
with Python. ``median_ms`` is null where a library cannot represent the
workload; the rows of the user's loop also hold ``minflt_per_call``, the
minor page faults per call.
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


def write(path: str, command: str, rows: List[Dict[str, Any]], repeat: int,
          versions: Dict[str, str]) -> None:
    """Write *rows* to *path* with the machine, the Python, the command (the
    arguments of this run added when *command* names the script) and the
    libraries' versions."""
    if command.endswith(".py"):
        command = " ".join([command, *sys.argv[1:]])
    document = {
        "command": command,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.system()} {platform.machine()}, {cpu_model()}, "
                   f"{os.cpu_count()} logical cores",
        "repeat": repeat,
        "versions": versions,
        "results": rows,
    }
    with open(path, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=1)
        out.write("\n")
