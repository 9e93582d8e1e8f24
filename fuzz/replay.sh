#!/usr/bin/env bash
# Replays inputs (files or corpus directories) through one harness against
# the ASan + UBSan build in build/fuzz-asan-pkg; the first report aborts.
#   fuzz/replay.sh unpackb|roundtrip|packer|mutation PATH...
set -euo pipefail
name=$1; shift
paths=()
for path in "$@"; do paths+=("$(realpath "$path")"); done
cd "$(dirname "$0")"
root=$(cd .. && pwd)
export QUELM_FUZZ_PKG=$root/build/fuzz-asan-pkg
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter is not instrumented and keeps its own allocations to the
# end, so leak detection is off; reference leaks are the test suite's job.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
exec python3 "fuzz_$name.py" -runs=0 "${paths[@]}"
