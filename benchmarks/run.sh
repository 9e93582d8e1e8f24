#!/usr/bin/env bash
# The benchmark as anyone can reproduce it, in one command: a venv of its own
# (never the machine's packages) with quelm built from this tree and the
# "bench" extra, which brings every peer at its current release; the floor
# module; then benchmarks/bench_core.py, timing this thread's CPU time, writes
# docs/benchmarks.json (with each library's version) and plot.py draws
# docs/benchmarks.svg from it. Takes a few minutes.
#   bash benchmarks/run.sh [bench_core.py options, e.g. --quick]
# VENV (default .venv-bench) and PYTHON (default python3) choose the venv and
# the interpreter it is made from; OUT (default docs) where the files go.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=$(realpath -m "${VENV:-.venv-bench}")
out=${OUT:-docs}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade ".[bench]"
"$venv/bin/python" benchmarks/floor/setup.py -q build_ext --inplace
# The package under test is the venv's, never the one next to the sources.
unset PYTHONPATH
"$venv/bin/python" benchmarks/bench_core.py --cpu --json "$out/benchmarks.json" \
  --command "bash benchmarks/run.sh${*:+ $*}" "$@"
"$venv/bin/python" benchmarks/plot.py "$out/benchmarks.json" -o "$out/benchmarks.svg"
