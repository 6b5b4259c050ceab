#!/usr/bin/env bash
# windows-zip-test.sh - checks a Windows release zip the way a user meets it: verifies its
# .sha256, unpacks it into an empty folder, checks the files it must hold and the version resource,
# then under wine starts vesk-studio-sim.exe and vesk-mcp.exe from that folder and draws a wall
# through them (initialize, tools/call add_wall, tools/call list_elements). Where a Windows Qt
# is at hand (build-win/qt6-mingw, or VESK_RELINK_QT), it also relinks vesk-mcp.exe from the
# zip's relink kit and runs the result. Last, the MCP Bundle beside the zip (.mcpb, with its
# .sha256) is run as Claude Desktop runs it, against the zip's stand-in (scripts/mcpb.sh test).
#
#   scripts/windows-zip-test.sh dist/vesk-mcp-<version>-win64.zip
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[[ $# -eq 1 ]] || { echo "usage: $0 ZIP" >&2; exit 2; }
zip=$(realpath "$1")
name=$(basename "$zip" .zip)
version=${name#vesk-mcp-}
version=${version%-win64}
wine_run=$project/scripts/wine-run.sh
"$project/scripts/install-packages.sh" unzip wine64 wine binutils-mingw-w64-x86-64

fail() { echo "windows-zip-test: FAILED: $*" >&2; exit 1; }

(cd "$(dirname "$zip")" && sha256sum --quiet -c "$name.zip.sha256") || fail "the zip does not match $name.zip.sha256"
work=$(mktemp -d /tmp/vesk-zip-test.XXXXXX)
sim=""
export WINEPREFIX=${WINEPREFIX:-$HOME/.vesk-wine} WINEDEBUG=-all
ownServer=false
cleanup() {
    exec 3>&- 2>/dev/null || true
    if [[ -n $sim ]]; then kill "$sim" 2>/dev/null || true; fi
    if $ownServer; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
unzip -q "$zip" -d "$work"
dir=$work/$name
for file in vesk-mcp.exe vesk-studio-sim.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt \
    licenses/LGPL-3.txt licenses/GPL-3.txt licenses/qt6-base-copyright.txt \
    relink/README.txt relink/link-vesk-mcp.sh relink/vesk-mcp/libvesk_core.a; do
    [[ -s $dir/$file ]] || fail "$file is missing from the zip"
done
resource=$(x86_64-w64-mingw32-strings -el "$dir/vesk-mcp.exe")
for value in "$version" "MCP server for Vesk Studio" vesk-mcp.exe "The vesk-mcp authors"; do
    grep -qxF "$value" <<<"$resource" || fail "the version resource has no \"$value\""
done
echo "   contents and version resource: ok"

# One wine server for both programs; a fresh prefix takes 10 s or more to start.
mkdir -p "$WINEPREFIX"
if wineserver -p 2>/dev/null; then ownServer=true; fi
cd "$dir"
pipe=vesk-zip-test-$$
"$wine_run" ./vesk-studio-sim.exe --pipe "$pipe" >"$work/sim.out" 2>"$work/sim.err" </dev/null &
sim=$!
for ((i = 0; i < 600; i++)); do
    grep -q "sim: listening" "$work/sim.err" && break
    kill -0 "$sim" 2>/dev/null || fail "vesk-studio-sim.exe ended: $(cat "$work/sim.err")"
    sleep 0.1
done
grep -q "sim: listening" "$work/sim.err" || fail "vesk-studio-sim.exe did not listen within 60 s"

# The client keeps stdin open until the last answer is in, as an AI client would.
mkfifo "$work/in"
"$wine_run" ./vesk-mcp.exe --pipe "$pipe" <"$work/in" >"$work/out" 2>"$work/err" &
client=$!
exec 3>"$work/in"
cat >&3 <<'EOF'
{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"zip-test","version":"1"}}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"add_wall","arguments":{"x1":0,"y1":0,"x2":5000,"y2":0}}}
{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"list_elements","arguments":{}}}
EOF
for ((i = 0; i < 600; i++)); do
    grep -q '"id":3' "$work/out" && break
    sleep 0.1
done
exec 3>&-
status=0
wait "$client" || status=$?
show() { printf -- '--- vesk-mcp stdout\n%s\n--- vesk-mcp stderr\n%s\n--- sim stderr\n%s\n' \
    "$(cat "$work/out")" "$(cat "$work/err")" "$(cat "$work/sim.err")" >&2; }
[[ $status -eq 0 ]] || { show; fail "vesk-mcp.exe ended with $status"; }
answer() { grep -m1 "\"id\":$1," "$work/out" | grep -F "$2" >/dev/null; } # answer ID TEXT
answer 1 "\"serverInfo\":{\"name\":\"vesk-studio\",\"title\":\"Vesk Studio\",\"version\":\"$version\"}" ||
    { show; fail "no initialize result with version $version"; }
answer 2 '"text":"Added wall W1 ' && answer 2 '"isError":false' || { show; fail "add_wall was not answered"; }
answer 3 'W1: wall from (0, 0) to (5000, 0)' || { show; fail "list_elements does not show the wall"; }
grep -q '"name":"add_wall"' "$work/sim.out" || { show; fail "the call did not reach the stand-in"; }

relinkQt=${VESK_RELINK_QT:-$project/build-win/qt6-mingw}
relinked=""
if [[ -d $relinkQt/lib ]]; then
    QT=$relinkQt sh relink/link-vesk-mcp.sh || fail "the relink kit does not link"
    "$wine_run" relink/vesk-mcp.exe --version </dev/null 2>/dev/null | grep -qF "vesk-mcp $version " ||
        fail "the relinked vesk-mcp.exe does not run"
    relinked=", relinked with $relinkQt"
fi
(cd "$(dirname "$zip")" && sha256sum --quiet -c "$name.mcpb.sha256") || fail "the bundle does not match $name.mcpb.sha256"
"$project/scripts/mcpb.sh" test "${zip%.zip}.mcpb" "$dir/vesk-studio-sim.exe" "$version" || fail "the bundle test"
echo "windows-zip-test: $name.zip passed (unpacked, stand-in and vesk-mcp.exe started from it, a wall drawn$relinked; the bundle run as Claude Desktop runs it)"
