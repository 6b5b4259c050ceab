#!/usr/bin/env bash
# run.sh - builds vesk-mcp (Release) and the benchmark tools, then measures vesk-mcp beside two
# peers that do the same job (socat as a plain byte relay, and a relay made with the official MCP
# TypeScript SDK) against one fast far end; vesk-mcp twice, with the far end answering in Qt's
# form and in the SDKs' member order with white space. Prints a markdown table and writes
# bench/results.json.
#
#   bench/run.sh           full run (a few minutes)
#   bench/run.sh --quick   a short run that only proves everything still works (well under 1 min)
#   bench/run.sh --pin     driver and far end on CPU 0, each server on CPU 1 (steadier, slower
#                          round trips on a small virtual machine)
#
# Environment: BENCH_BUILD_DIR (default <repo>/build-bench), BENCH_JSON (default
# bench/results.json).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
extra=()
for arg in "$@"; do
    case "$arg" in
    --quick | --pin) extra+=("$arg") ;;
    -h | --help)
        sed -n '2,15p' "${BASH_SOURCE[0]}"
        exit 0
        ;;
    *)
        echo "run.sh: unknown argument $arg" >&2
        exit 2
        ;;
    esac
done
build=${BENCH_BUILD_DIR:-$root/build-bench}
json=${BENCH_JSON:-$here/results.json}

# --- what the machine needs -------------------------------------------------------------------
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v socat >/dev/null || missing+=(socat)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
dpkg -s qt6-base-dev >/dev/null 2>&1 || missing+=(qt6-base-dev)
if ((${#missing[@]})); then
    echo "run.sh: installing ${missing[*]}" >&2
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
node_major=$(node -p 'process.versions.node.split(".")[0]')
if ((node_major < 18)); then
    echo "run.sh: the SDK relay needs Node 18 or later, found $(node --version)" >&2
    exit 1
fi

# --- builds --------------------------------------------------------------------------------------
jobs=${BENCH_JOBS:-2}
if [[ ! -f $build/build.ninja ]]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
ninja -C "$build" -j "$jobs" vesk-mcp >/dev/null
for tool in farend driver; do
    if [[ ! -x $build/bench-$tool || $here/$tool.cpp -nt $build/bench-$tool ]]; then
        g++ -O2 -std=c++17 -Wall -Wextra -o "$build/bench-$tool" "$here/$tool.cpp"
    fi
done
relay=$here/peers/sdk-relay
if [[ ! -d $relay/node_modules/@modelcontextprotocol/sdk \
    || $relay/package-lock.json -nt $relay/node_modules/.package-lock.json ]]; then
    (cd "$relay" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi

# --- the run -----------------------------------------------------------------------------------
logs=$build/bench-logs
mkdir -p "$logs"
rm -f "$logs"/*.log
sock=$(mktemp -u "${TMPDIR:-/tmp}/vesk-bench.XXXXXX")
echo "run.sh: vesk-mcp $("$build/vesk-mcp" --version | head -1 | cut -d' ' -f2)," \
    "socat $(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/\1/p')," \
    "node $(node --version), @modelcontextprotocol/sdk" \
    "$(node -p "require('$relay/node_modules/@modelcontextprotocol/sdk/package.json').version")," \
    "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
status=0
"$build/bench-driver" "${extra[@]}" \
    --farend "$build/bench-farend" --sock "$sock" --logdir "$logs" --json "$json" \
    --farend-arg --sdk --farend-arg "{sock}.sdk" \
    --peer direct \
    --peer "vesk-mcp=$build/vesk-mcp --pipe {sock} --poll-ms 2000" \
    --peer "vesk-mcp-sdk-order=$build/vesk-mcp --pipe {sock}.sdk --poll-ms 2000" \
    --peer "socat=socat -b 1048576 STDIO UNIX-CONNECT:{sock}" \
    --peer "sdk-relay=node $relay/relay.mjs {sock}" || status=$?
echo "run.sh: figures written to $json; the servers' stderr is in $logs" >&2
"$here/chart.sh" "$json" "${json%.json}.svg" || status=1 # the SVG chart beside the figures
exit $status
