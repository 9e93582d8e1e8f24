#!/usr/bin/env bash
# Builds the fuzzing copy of the package with clang (see README.md):
#   build/fuzz-clang-pkg  -O1 -g, libFuzzer edge coverage of the extension
#                         (-fsanitize=fuzzer-no-link) with ASan + UBSan in the
#                         same build, assertions on.
#   fuzz/build_clang.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
# -fsanitize=function and vptr need handlers that the runtime atheris ships
# (asan_with_fuzzer.so, preloaded at run time) does not have.
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined,fuzzer-no-link"
flags+=" -fno-sanitize=function,vptr -fno-sanitize-recover=undefined"
cmake -S . -B build/fuzz-clang-$tag -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/fuzz-clang-$tag -j2 >/dev/null
rm -rf build/fuzz-clang-pkg
mkdir -p build/fuzz-clang-pkg/quelm
cp src/quelm/*.py build/fuzz-clang-pkg/quelm/
cp build/fuzz-clang-$tag/_cquelm*.so build/fuzz-clang-pkg/quelm/
