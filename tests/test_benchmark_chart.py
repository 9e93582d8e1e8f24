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


def row(workload, library, direction, ms):
    return {"workload": workload, "library": library, "direction": direction, "median_ms": ms}


ROWS = [
    row("records", "quelm", "pack", 2.0), row("records", "json", "pack", 5.0),
    row("records", "quelm", "unpack", 4.0), row("records", "json", "unpack", 1.0),
    row("blobs", "quelm", "pack", 1.0), row("blobs", "json", "pack", None),
    row("blobs", "quelm", "unpack", 3.0), row("blobs", "json", "unpack", None),
    row("typed", "pydantic", "pack", 9.0), row("typed", "quelm", "pack", 3.0),
]


@pytest.mark.parametrize("direction, relative, reference", [
    ("pack", {("records", "json"): 2.5, ("blobs", "json"): None, ("typed", "pydantic"): 3.0,
              ("records", "pydantic"): None}, {"records": 2.0, "blobs": 1.0, "typed": 3.0}),
    ("unpack", {("records", "json"): 0.25, ("records", "quelm"): 1.0},
     {"records": 4.0, "blobs": 3.0}),
])
def test_times_are_relative_to_quelm_per_workload(plot, direction, relative, reference):
    workloads, libraries, got, ms = plot.ratios(ROWS, direction)
    assert workloads == list(reference) and ms == reference
    for key, value in relative.items():
        assert got[key] == value


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


def test_chart_draws_every_library(plot, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "chart.svg"
    plot.draw({"machine": "m", "python": "p", "command": "c", "repeat": 1, "results": ROWS},
              str(out))
    text = out.read_text(encoding="utf-8")
    assert all(name in text for name in ("quelm", "json", "pydantic", "json: n/a", "records"))
