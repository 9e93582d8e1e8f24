#!/usr/bin/env bash
# Development build: compiles the extension with CMake into build/dev-<python>
# (or build/asan-<python> with --sanitize) and copies it next to the Python
# sources, so that `PYTHONPATH=src python -m pytest` tests the working tree.
#   scripts/devbuild.sh [--sanitize] [--debug] [--python PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
sanitize=OFF
build_type=Release
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=ON; build_type=RelWithDebInfo ;;
    --debug) build_type=Debug ;;
    --python) python=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
kind=dev; [ "$sanitize" = ON ] && kind=asan
dir=build/$kind-$tag-$build_type
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$build_type -DQUELM_SANITIZE=$sanitize \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$dir" -j2
rm -f src/quelm/_cquelm*.so
cp "$dir"/_cquelm*.so src/quelm/
