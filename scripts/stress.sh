#!/usr/bin/env bash
# stress.sh - vesk-mcp under load and abuse, with figures (tests/stress/stress.mjs): lines of
# 256 MiB and one byte more on stdin and from the far end, 100 000 requests written without
# waiting, the far end killed and restarted during a stream of calls, stdout closed by the client.
# Prints the time and peak resident memory of each case and "N passed, N failed".
#
#   scripts/stress.sh [--build-dir DIR] [--quick] [case...]
#
#   --build-dir DIR  where vesk-mcp and vesk-studio-sim are built (default build-robust,
#                    configured as RelWithDebInfo when missing)
#   --quick          a smaller flood and flap and no 256 MiB lines (about 10 s, for CI)
#   case             stdin-line, app-line, flood, flap, cancel-flood, stdout-closed (default: all)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-robust"
pass=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --build-dir) build=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) pass+=("$1"); shift ;;
    esac
done

"$root/scripts/install-packages.sh" g++ cmake ninja-build qt6-base-dev qt6-base-dev-tools
PATH="$("$root/scripts/node-path.sh"):$PATH"

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake "${generator[@]}" -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --parallel 2 --target vesk-mcp vesk-studio-sim >/dev/null

node "$root/tests/stress/stress.mjs" "$build/vesk-mcp" "$build/sim/vesk-studio-sim" "${pass[@]}"
