#!/usr/bin/env bash
# The whole test suite under Debian's debug interpreter (python3.11-dbg, a
# Py_DEBUG build: the interpreter checks reference counts and its own
# assertions, also inside the extension, which is compiled against its
# headers with assertions on), run with -X dev. A failed assertion aborts
# and a negative reference count is fatal: either fails the run.
#   scripts/debug_python.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=/usr/bin/python3.11-dbg
if [ ! -x "$python" ] || [ ! -e /usr/include/python3.11d/Python.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg python3.11-dev \
    python3.11-venv >/dev/null
fi
venv=$root/build/dbg-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# attrs too, so that the typed tests' attrs cases run here as well.
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis attrs
# Debian's python3.11d include directory holds symlinks into python3.11, so
# the compiler finds the release pyconfig.h beside them: Py_DEBUG is given
# here, or the extension would be built without the debug checks.
cmake -S . -B build/dbg-311d -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g -DPy_DEBUG" \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/dbg-311d -j2 >/dev/null
# A copy of the package beside the tree, so that src/ keeps its own build.
package=$root/build/dbg-pkg
rm -rf "$package"
mkdir -p "$package/quelm"
cp src/quelm/*.py src/quelm/*.pyi src/quelm/py.typed "$package/quelm/"
cp build/dbg-311d/_cquelm*.so "$package/quelm/"
export HYPOTHESIS_PROFILE=${HYPOTHESIS_PROFILE:-ci}
PYTHONPATH=$package "$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider "$@"
