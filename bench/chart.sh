#!/usr/bin/env bash
# chart.sh - draws the benchmark's figures as an SVG: round-trip latency (p50, p99) and
# large-result throughput (text, and answers of numbers) for each server, from the results that
# bench-driver writes (--json).
#
#   bench/chart.sh RESULTS.json [CHART.svg]     (default: RESULTS with .svg for .json)
#
# Installs gnuplot (Debian's gnuplot-nox) when it is missing; node reads the JSON.
set -euo pipefail
[[ $# -ge 1 && $# -le 2 ]] || { echo "usage: $0 RESULTS.json [CHART.svg]" >&2; exit 2; }
json=$(realpath "$1")
svg=$(realpath -m "${2:-${1%.json}.svg}")
if ! command -v gnuplot >/dev/null; then
    "$(dirname "${BASH_SOURCE[0]}")/../scripts/install-packages.sh" gnuplot-nox
fi
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# Two tables, one row per server: "name p50 p99" and "name MB/s per result": each size of text,
# then each size of numbers.
node - "$json" "$data" <<'EOF'
const fs = require('fs');
const [json, dir] = process.argv.slice(2);
const results = JSON.parse(fs.readFileSync(json, 'utf8'));
const peers = Object.entries(results.peers);
const sizesOf = prefix => [...new Set(peers.flatMap(([, f]) => Object.keys(f)))]
    .map(k => new RegExp(`^${prefix}(\\d+)MiB_MBps$`).exec(k)).filter(Boolean).map(m => Number(m[1]))
    .sort((a, b) => a - b);
const columns = [...sizesOf('r').map(s => [`r${s}MiB_MBps`, `${s} MiB`]),
                 ...sizesOf('n').map(s => [`n${s}MiB_MBps`, `${s} MiB numbers`])];
const cell = v => (typeof v === 'number' && v > 0 ? String(v) : 'NaN');
fs.writeFileSync(`${dir}/latency.dat`, peers.map(([name, f]) =>
    `"${name}" ${cell(f.seq_p50_us)} ${cell(f.seq_p99_us)}\n`).join(''));
fs.writeFileSync(`${dir}/throughput.dat`, `peer ${columns.map(([, t]) => `"${t}"`).join(' ')}\n`
    + peers.map(([name, f]) => `"${name}" ${columns.map(([k]) => cell(f[k])).join(' ')}\n`).join(''));
fs.writeFileSync(`${dir}/columns`, String(columns.length + 1));
fs.writeFileSync(`${dir}/mode`, results.mode === 'quick' ? ' (quick run: few samples)' : '');
EOF

gnuplot <<EOF
set terminal svg size 1000,440 dynamic enhanced font "sans,12" background rgb "white"
set output "$svg"
set multiplot layout 1,2 title "vesk-mcp beside other relays to the same far end$(cat "$data/mode")"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set logscale y
set xtics nomirror rotate by -20
set title "Sequential small calls: round trip (µs, lower is better)"
plot "$data/latency.dat" using 2:xtic(1) title "p50", "" using 3 title "p99"
set title "Large results, text and numbers: throughput (MB/s, higher is better)"
set key below horizontal
plot for [c=2:$(cat "$data/columns")] "$data/throughput.dat" using c:xtic(1) title columnheader(c)
unset multiplot
EOF
echo "chart.sh: $svg" >&2
