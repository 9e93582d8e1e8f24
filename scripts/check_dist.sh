#!/usr/bin/env bash
# What a user installs, tested as installed: builds the sdist, then the wheel
# from that sdist alone (so the sdist is known to be complete), checks what
# each holds, installs the wheel with its test and engine extras (celery,
# dask, dramatiq, rq) into a fresh virtual environment and runs the whole
# test suite against it from outside the checkout, where src/ cannot be
# imported.
#   scripts/check_dist.sh PYTHON VENV
# leaves VENV with the installed wheel (CI type-checks against it next).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=$1
venv=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "--- sdist, then a wheel built from it"
rm -rf "$venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip build
"$venv/bin/python" -m build -q --outdir "$work/dist" . > "$work/build.log" 2>&1 \
  || { cat "$work/build.log"; exit 1; }
sdist=$(ls "$work"/dist/quelm-*.tar.gz)
wheel=$(ls "$work"/dist/quelm-*.whl)

"$venv/bin/python" - "$sdist" "$wheel" <<'EOF'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
problems = []
for need in ("quelm/__init__.py", "quelm/_cquelm.pyi", "quelm/py.typed", "quelm/kombu.py",
             "quelm/dask.py", "quelm/dramatiq.py", "quelm/rq.py"):
    if need not in names:
        problems.append(f"wheel lacks {need}")
modules = [n for n in names if n.startswith("quelm/_cquelm") and not n.endswith(".pyi")]
if len(modules) != 1:
    problems.append(f"wheel holds {len(modules)} extension modules: {modules}")
strays = [n for n in names if n.split("/")[0] in ("tests", "benchmarks", "fuzz", "src", "build")
          or "/tests/" in n or n.endswith((".cpp", ".h"))]
if strays:
    problems.append(f"wheel holds files outside the package: {strays[:5]}")
points = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
if not points or "[kombu.serializers]" not in zipfile.ZipFile(wheel).read(points[0]).decode():
    problems.append("wheel declares no kombu.serializers entry point")
members = {m.split("/", 1)[-1] for m in tarfile.open(sdist).getnames()}
for need in ("pyproject.toml", "CMakeLists.txt", "README.md", "src/_cquelm/module.cpp",
             "src/quelm/_cquelm.pyi", "tests/conftest.py"):
    if need not in members:
        problems.append(f"sdist lacks {need}")
if any(m.endswith((".so", ".pyd")) for m in members):
    problems.append("sdist holds a compiled module")
print("\n".join(problems) or f"ok: {len(names)} files in the wheel, {len(members)} in the sdist")
sys.exit(1 if problems else 0)
EOF

echo "--- the test suite against the installed wheel"
"$venv/bin/python" -m pip install -q "$wheel[test,celery,dask,dramatiq,rq]"
# From an empty directory, so that only the installed package is importable;
# QUELM_TEST_INSTALLED makes the suite check that this is so.
(cd "$work" && QUELM_TEST_INSTALLED=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider \
   --rootdir "$root" -c "$root/pyproject.toml" "$root/tests")
(cd "$work" && "$venv/bin/quelm" inspect "$root/examples/sample.qlm" > /dev/null)
