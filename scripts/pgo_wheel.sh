#!/usr/bin/env bash
# The first stage of a profile-guided release build, for the Python that runs
# it (cibuildwheel's before-build): builds a wheel with QUELM_PGO=generate,
# installs it in a venv of its own and runs the training, which leaves the
# profile in $QUELM_PGO_DIR (default /tmp/quelm-pgo/profile). The wheel itself
# is then built, in the same build directory, with QUELM_PGO=use and that
# directory ([tool.cibuildwheel] config-settings in pyproject.toml).
#   bash scripts/pgo_wheel.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python}
profile=${QUELM_PGO_DIR:-/tmp/quelm-pgo/profile}
work=$(dirname "$profile")/stage1
rm -rf "$profile" "$work"
mkdir -p "$profile" "$work"
"$python" -m pip wheel . --no-deps -w "$work/wheel" \
  -Ccmake.define.QUELM_PGO=generate -Ccmake.define.QUELM_PGO_DIR="$profile"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$work"/wheel/*.whl
(unset PYTHONPATH; "$work/venv/bin/python" scripts/pgo_train.py)
rm -rf "$work"
