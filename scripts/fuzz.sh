#!/usr/bin/env bash
# fuzz.sh - builds the libFuzzer targets of fuzz/ with clang and runs each for a bounded time,
# starting from the committed seeds in fuzz/corpus/<target>/. Prints the executions reached.
# A crash or a broken invariant fails the run; the input is kept in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [--seconds N] [--jobs N] [--merge] [target...]
#
#   --seconds N  run each target N seconds (default 60)
#   --merge      afterwards, add the inputs that found new coverage to fuzz/corpus/<target>/
#                (minimised with -merge=1; for runs by hand)
# Inputs found during a run are kept in build-fuzz/corpus/<target>/ and reused next time.
# Reproduce a failure with: build-fuzz/<target> build-fuzz/artifacts/<target>/crash-...
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-fuzz"
seconds=60
jobs=2
merge=0
targets=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
    esac
done
[[ ${#targets[@]} -gt 0 ]] || targets=(fuzz_linecutter fuzz_client_line fuzz_app_stream fuzz_canonical_json fuzz_answer_paths)

"$root/scripts/install-packages.sh" cmake ninja-build qt6-base-dev qt6-base-dev-tools

cxx=${FUZZ_CXX:-}
if [[ -z "$cxx" ]]; then
    for candidate in clang++ clang++-14; do
        command -v "$candidate" >/dev/null && { cxx=$candidate; break; }
    done
fi
runtime_missing() {
    [[ -z "$cxx" ]] || ! "$cxx" -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /
}
if runtime_missing && [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "== installing clang and its fuzzer runtime"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
    cxx=${FUZZ_CXX:-clang++}
fi
[[ -n "$cxx" ]] && command -v "$cxx" >/dev/null \
    || { echo "fuzz: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A build directory configured from fuzz/ alone, as it once was, is configured anew.
grep -qs '^VESK_FUZZ:BOOL=ON' "$build/CMakeCache.txt" || rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake "${generator[@]}" -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON -DVESK_SANITIZE=ON -DBUILD_TESTING=OFF \
        >/dev/null
fi
cmake --build "$build" --parallel "$jobs" --target "${targets[@]}"

# Leak checks stay with the sanitizer build of the tests: here Qt's caches that outlive one input
# would make libFuzzer rerun nearly every input under LeakSanitizer, ten times slower.
export ASAN_OPTIONS="${ASAN_OPTIONS:-malloc_context_size=8:detect_leaks=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

status=0
summary=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/$target.log"
    mkdir -p "$corpus" "$artifacts"
    cp -n "$root/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    echo "== $target: ${seconds} s"
    dict=()
    [[ $target == fuzz_linecutter ]] || dict=(-dict="$root/fuzz/jsonrpc.dict")
    rc=0
    # -close_fd_mask=2 silences the program's diagnostic log; failures still show (they go to
    # the sanitizer's report stream).
    "$build/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -detect_leaks=0 \
 \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
        "$corpus" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$( (grep -aoE 'cov: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
    size=$(find "$corpus" -type f | wc -l)
    if [[ $rc -ne 0 ]]; then
        status=1
        echo "fuzz: $target FAILED (exit $rc); log: $log" >&2
        grep -aE 'vesk-fuzz|ERROR|SUMMARY|==[0-9]+==|#[0-9]+ 0x' "$log" | head -40 >&2 || true
        ls -1 "$artifacts" >&2
    fi
    line="$target: ${runs:-0} executions in ${seconds} s (${rate:-0}/s), coverage ${cov:-?}, corpus $size, $([[ $rc -eq 0 ]] && echo ok || echo FAILED)"
    summary+=("$line")
    echo "$line"
    if [[ $merge -eq 1 && $rc -eq 0 ]]; then
        "$build/$target" -merge=1 -close_fd_mask=2 "$root/fuzz/corpus/$target" "$corpus" >/dev/null 2>&1
        echo "   seeds now: $(find "$root/fuzz/corpus/$target" -type f | wc -l)"
    fi
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
