#!/usr/bin/env bash
# Guided fuzzing of one harness against build/fuzz-pkg (see README.md).
#   fuzz/run.sh unpackb|roundtrip|packer|mutation [libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")"
name=$1; shift
root=$(cd .. && pwd)
corpus=$root/build/fuzz-corpus/$name
mkdir -p "$corpus" "$root/build/fuzz-artifacts"
[ -n "$(ls -A "$corpus")" ] || python3 seeds.py "$name" "$corpus"
# gcc's comparison tracing also covers floating-point compares, which
# libFuzzer does not implement: empty hooks satisfy the loader.
export LD_PRELOAD=$root/build/fuzz-pkg/cov_stubs.so
# The debug allocator checks every PyMem block for overruns and fills freed
# memory, catching what ASan would between two replays under ASan.
export PYTHONMALLOC=debug
exec python3 "fuzz_$name.py" -use_value_profile=1 -max_len=4096 -rss_limit_mb=2048 \
  -artifact_prefix="$root/build/fuzz-artifacts/$name-" "$@" "$corpus"
