#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
"$python" -m pip install -q pytest hypothesis >/dev/null 2>&1 || true
scripts/devbuild.sh --sanitize --python "$python"
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not instrumented: its own allocations are not
# leak-checked, and pymalloc is bypassed so that ASan sees every object.
export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export HYPOTHESIS_PROFILE=${HYPOTHESIS_PROFILE:-ci}
status=0
PYTHONPATH=src "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
rm -f src/quelm/_cquelm*.so
exit $status
