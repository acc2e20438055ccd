#!/usr/bin/env bash
# Runs the whole pytest suite against a build of the module with AddressSanitizer (leak checking
# on) and UndefinedBehaviorSanitizer. Usage: scripts/sanitize.sh BUILD_DIR [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
shift

# The interpreter is not built with ASan, so the runtime must be loaded first. libstdc++ is
# preloaded too: the runtime looks up the real __cxa_throw when it starts, and the interpreter
# itself does not link libstdc++.
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"

# Python's small-object allocator hides allocations from ASan; plain malloc exposes them all.
export PYTHONMALLOC=malloc
# numpy's import leaves objects unreachable at exit (its string ufuncs' promoters), which LSan
# reports; their stacks pass through the interpreter's frames, which the fast unwinder cannot
# follow, so no suppression can name numpy. The tests that need numpy (and those of values from
# pyarrow, polars and pandas, which import it) skip in the run with leak checking and run again,
# on their own, with ASan and UBSan but without it.
export KELVRA_SANITIZE=1
logs="$build_dir/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:log_path=$PWD/$logs/asan:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$logs/ubsan"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitize/lsan.supp:print_suppressions=0"

# LeakSanitizer stops the process's threads at exit with a tracer of its own; on a loaded machine
# that tracer has been seen to crash ("Tracer caught signal 11", "LeakSanitizer has encountered a
# fatal error"), a fault of the checker that says nothing about the code. When that is all the
# reports hold, the pass with leak checking runs once more, and its reports are the ones that count.
tracer_crash_only() {
    compgen -G "$logs/*" >/dev/null || return 1
    ! grep -hv -e 'Tracer caught signal' -e 'LeakSanitizer has encountered a fatal error' \
        -e '^==[0-9]*==HINT: ' "$logs"/* | grep -q .
}

status=0
LD_PRELOAD="$preload" PYTHONPATH="$PWD/$build_dir" .venv/bin/python -m pytest -p no:cacheprovider "$@" || status=$?
if tracer_crash_only; then
    echo "sanitize: LeakSanitizer's tracer crashed (no finding); running the pass again" >&2
    cat "$logs"/* >&2
    rm -f "$logs"/*
    status=0
    LD_PRELOAD="$preload" PYTHONPATH="$PWD/$build_dir" .venv/bin/python -m pytest -p no:cacheprovider "$@" || status=$?
fi
KELVRA_SANITIZE= ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" LD_PRELOAD="$preload" \
    PYTHONPATH="$PWD/$build_dir" .venv/bin/python -m pytest -p no:cacheprovider -q \
    tests/test_numpy_values.py tests/test_arrow_import.py || status=$?

# Reports are written to files: pytest captures the test's stderr, and an aborting process
# would take the captured text with it.
if compgen -G "$logs/*" >/dev/null; then
    echo "sanitize: sanitizer reports:" >&2
    cat "$logs"/* >&2
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "sanitize: clean (ASan + LSan + UBSan)"
fi
exit "$status"
