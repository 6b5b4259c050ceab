#!/usr/bin/env bash
# sanitize-test.sh - builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# (LeakSanitizer too, where the machine allows it) and runs the whole ctest suite. Any sanitizer
# report, in a test program or in a vesk-mcp or simulator process that a test started, fails
# the run, even when the test itself passed.
#
#   scripts/sanitize-test.sh [--build-dir DIR] [--jobs N] [--clients] [-- extra ctest arguments]
#
#   --clients  also run the official-client tests (tests/mcp-client/run.sh) and the quick stress
#              cases (tests/stress) against the sanitized vesk-mcp and simulator
#
# The compiler is CMake's choice unless CXX is set (CXX=clang++ works as well as g++).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-asan"
jobs=2
ctest_extra=()
clients=0
while [[ $# -gt 0 ]]; do
    case "$1" in
    --build-dir) build=$(realpath -m "$2"); shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --clients) clients=1; shift ;;
    --) shift; ctest_extra=("$@"); break ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "sanitize-test: unknown argument $1" >&2; exit 2 ;;
    esac
done

"$root/scripts/install-packages.sh" g++ cmake ninja-build qt6-base-dev qt6-base-dev-tools

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake "${generator[@]}" -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON
fi
cmake --build "$build" --parallel "$jobs"

# Every report goes to a file of its own (one per process), so that reports of child processes
# are not lost when a test only looks at their exit code.
reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

# LeakSanitizer cannot run under a tracer (a debugger, strace, some sandboxes).
leaks=1
if grep -qE '^TracerPid:[[:space:]]*[1-9]' /proc/self/status 2>/dev/null; then
    leaks=0
    echo "sanitize-test: running under a tracer, LeakSanitizer is off" >&2
fi

export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=$leaks:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:detect_invalid_pointer_pairs=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:halt_on_error=1:print_stacktrace=1"
suppressions="$root/scripts/lsan.supp"
if [[ -f "$suppressions" ]]; then
    export LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0"
fi

status=0
(cd "$build" && ctest --output-on-failure --no-tests=error --timeout 600 "${ctest_extra[@]}") || status=$?
if [[ $clients -eq 1 ]]; then
    "$root/tests/mcp-client/run.sh" "$build/vesk-mcp" "$build/sim/vesk-studio-sim" || status=$?
    PATH="$("$root/scripts/node-path.sh"):$PATH" node "$root/tests/stress/stress.mjs" "$build/vesk-mcp" "$build/sim/vesk-studio-sim" --quick || status=$?
fi

shopt -s nullglob
found=("$reports"/*)
if [[ ${#found[@]} -gt 0 ]]; then
    echo "sanitize-test: ${#found[@]} sanitizer report(s):" >&2
    for f in "${found[@]}"; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    [[ $status -eq 0 ]] && status=1
fi
if [[ $status -eq 0 ]]; then
    echo "sanitize-test: all tests passed with no sanitizer report (LeakSanitizer $([[ $leaks -eq 1 ]] && echo on || echo off))"
else
    echo "sanitize-test: FAILED (status $status)" >&2
fi
exit $status
