"""The README's performance chart is the committed one, and the README states
the run it shows (benchmarks/bench_core.py --json, drawn by benchmarks/plot.py)."""

import json
import pathlib

import pytest

ROOT = pathlib.Path(__file__).parents[1]
RESULTS = ROOT / "docs" / "benchmarks.json"


@pytest.mark.skipif(not RESULTS.exists(), reason="not run from a source tree")
def test_readme_states_the_run_of_the_committed_chart():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Performance")[1].split("\n## ")[0].replace("\n", " ")
    run = json.loads(RESULTS.read_text(encoding="utf-8"))
    assert "](docs/benchmarks.svg)" in section and (ROOT / "docs" / "benchmarks.svg").exists()
    for fact in (run["machine"], run["python"], run["command"], f"median of {run['repeat']}"):
        assert fact in section
    workloads = {r["workload"] for r in run["results"]}
    libraries = {r["library"] for r in run["results"]}
    assert len(workloads) >= 6 and {"quelm", "pickle", "marshal", "json"} <= libraries
    svg = (ROOT / "docs" / "benchmarks.svg").read_text(encoding="utf-8")
    assert all(name in svg for name in workloads | libraries)
