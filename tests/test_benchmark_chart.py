"""The README's performance chart: how benchmarks/plot.py reads a benchmark's
--json output, and that the README states the run the committed chart shows."""

import importlib.util
import json
import pathlib

import pytest

ROOT = pathlib.Path(__file__).parents[1]
PLOT = ROOT / "benchmarks" / "plot.py"
RESULTS = ROOT / "docs" / "benchmarks.json"

pytestmark = pytest.mark.skipif(not PLOT.exists(), reason="not run from a source tree")


@pytest.fixture(scope="module")
def plot():
    spec = importlib.util.spec_from_file_location("plot", PLOT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ROWS = [
    {"workload": w, "library": lib, "direction": d, "median_ms": ms}
    for w, lib, d, ms in [("records", "quelm", "pack", 2.0), ("records", "json", "pack", 5.0),
                          ("blobs", "quelm", "pack", 1.0), ("blobs", "json", "pack", None),
                          ("records", "quelm", "unpack", 4.0)]
]


def test_times_are_relative_to_quelm_per_workload(plot, tmp_path):
    workloads, libraries, relative, quelm_ms = plot.ratios(ROWS, "pack")
    assert (workloads, libraries, quelm_ms) == (["records", "blobs"], ["quelm", "json"],
                                                {"records": 2.0, "blobs": 1.0})
    assert relative == {("records", "quelm"): 1.0, ("records", "json"): 2.5,
                        ("blobs", "quelm"): 1.0, ("blobs", "json"): None}
    pytest.importorskip("matplotlib")
    plot.draw({"machine": "m", "python": "p", "command": "c", "repeat": 1, "results": ROWS},
              str(tmp_path / "chart.svg"))
    assert "json: n/a" in (tmp_path / "chart.svg").read_text(encoding="utf-8")


def test_readme_states_the_run_of_the_committed_chart():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Performance"):]
    section = section[:section.index("\n## ", 1)]
    run = json.loads(RESULTS.read_text(encoding="utf-8"))
    assert "](docs/benchmarks.svg)" in section and (ROOT / "docs" / "benchmarks.svg").exists()
    for fact in (run["machine"], run["python"], run["command"]):
        assert fact in section.replace("\n", " ")
    workloads = {r["workload"] for r in run["results"]}
    libraries = {r["library"] for r in run["results"]}
    assert len(workloads) >= 6 and {"quelm", "pickle", "marshal", "json"} <= libraries

