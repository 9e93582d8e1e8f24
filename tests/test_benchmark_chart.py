"""The README's performance chart is the committed one, and the README states
the run it shows (benchmarks/run.sh: bench_core.py --json, drawn by
benchmarks/plot.py), with the version of every library it measured."""

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
    versions = [f"{library} {version}" for library, version in run["versions"].items()]
    for fact in (run["machine"], run["python"], run["command"], f"median of {run['repeat']}",
                 *versions):
        assert fact in section
    workloads = {r["workload"] for r in run["results"]}
    libraries = {r["library"] for r in run["results"]}
    assert len(workloads) >= 6 and {"quelm", "pickle", "marshal", "json"} <= libraries
    assert {"orjson", "pydantic"} <= run["versions"].keys()  # the peers were measured
    svg = (ROOT / "docs" / "benchmarks.svg").read_text(encoding="utf-8")
    assert all(name in svg for name in workloads | libraries | set(versions))
