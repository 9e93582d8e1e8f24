#!/usr/bin/env bash
# The fuzzing step of CI: every harness replays its committed corpus
# (fuzz/corpus/NAME) and then fuzzes for FUZZ_SECONDS (60) from it, against
# the clang build with edge coverage, ASan and UBSan. Any sanitizer report,
# crash, unexpected exception or failed check fails the step; the inputs
# responsible land in build/fuzz-artifacts/. Prints the executions per
# harness.
#   fuzz/ci.sh [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(unpackb roundtrip packer mutation stream decoder typed_pack)

if ! command -v clang++ >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
venv=$root/build/fuzz-venv
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -c "import atheris" 2>/dev/null || "$venv/bin/python" -m pip install -q atheris
bash fuzz/build_clang.sh "$venv/bin/python"

runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
# The interpreter is not instrumented and keeps its own allocations to the
# end, so leak detection is off; reference leaks are the test suite's job.
run() {
  env QUELM_FUZZ_PKG="$root/build/fuzz-clang-pkg" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$venv/bin/python" "$@"
}
mkdir -p build/fuzz-artifacts
cd fuzz
status=0
for name in "${names[@]}"; do
  work=$root/build/fuzz-ci/$name
  log=$root/build/fuzz-ci/$name.log
  rm -rf "$work"
  mkdir -p "$work"
  cp corpus/"$name"/* "$work"/
  started=$(date +%s)
  if run "fuzz_$name.py" -runs=0 -artifact_prefix="$root/build/fuzz-artifacts/$name-" \
       corpus/"$name" >"$log" 2>&1 &&
     run "fuzz_$name.py" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$root/build/fuzz-artifacts/$name-" "$work" \
       >>"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz $name: $runs runs, $edges, $(( $(date +%s) - started )) s"
  else
    echo "fuzz $name: FAILED (log: $log)"
    grep -A 4 "Uncaught Python exception" "$log" | head -n 12 || true
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
