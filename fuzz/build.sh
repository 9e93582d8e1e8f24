#!/usr/bin/env bash
# Builds the two fuzzing copies of the package (see fuzz/README.md):
#   build/fuzz-pkg       -O1 -g with gcc's comparison tracing, for guided runs
#   build/fuzz-asan-pkg  ASan + UBSan, for replaying the corpus
# Both leave src/quelm free for a normal build.
#   fuzz/build.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
package() {  # package BUILD_DIR DEST
  rm -rf "$2/quelm"
  mkdir -p "$2/quelm"
  cp src/quelm/*.py "$2/quelm/"
  cp "$1"/_cquelm*.so "$2/quelm/"
}
cmake -S . -B build/fuzz-cov-$tag -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize-coverage=trace-cmp" \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/fuzz-cov-$tag -j2
package build/fuzz-cov-$tag build/fuzz-pkg
cmake -S . -B build/fuzz-asan-$tag -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELM_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/fuzz-asan-$tag -j2
package build/fuzz-asan-$tag build/fuzz-asan-pkg
gcc -shared -fPIC -O1 -o build/fuzz-pkg/cov_stubs.so fuzz/cov_stubs.c
