#!/usr/bin/env bash
# Builds vesk-mcp.exe, vesk-studio-sim.exe and the tests for 64-bit Windows on Debian 12 with
# mingw-w64 and a static Qt (scripts/windows-build.sh: from ../shared/windows when that archive is
# there, else built from Debian's source once), then runs the tests under wine.
# Run as root on a fresh machine. Safe to run again: only missing packages are installed, the Qt
# is made once into build-win/qt6-mingw, and the build and the wine prefix are reused.
#   VESK_JOBS=n        parallel compile and test jobs (default: the number of cores)
#   VESK_QT_ARCHIVE=   see scripts/windows-build.sh
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
build=$project/build-win
started=$(date +%s)
jobs=${VESK_JOBS:-$(nproc)}
wine_run=$project/scripts/wine-run.sh

phase() { echo "== $* (at $(($(date +%s) - started)) s)"; }

# wine first, so that its prefix can be made while the compiler runs; the rest follows below.
mkdir -p "$build"
"$project/scripts/install-packages.sh" wine64 wine

# One persistent wine server for the whole run, so that each test program starts in well under a
# second. A fresh prefix costs 7-13 s on its first start: it is made while the compiler runs.
# The same settings as wine-run.sh, which CTest uses as the emulator.
export WINEPREFIX=${WINEPREFIX:-$HOME/.vesk-wine} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
mkdir -p "$WINEPREFIX"
ownServer=false
if wineserver -p 2>/dev/null; then
    ownServer=true # stopped at the end; a server that was already running is left alone
fi
trap 'if $ownServer; then wineserver -k 2>/dev/null || true; fi' EXIT
"$wine_run" wineboot -i >"$build/wineboot.log" 2>&1 &
boot=$!

phase "packages (about 1.7 GB when none is installed yet), Qt, configuring, building"
"$project/scripts/windows-build.sh"

# A fresh wineserver starts wine's own background processes (services.exe, explorer.exe /desktop,
# winedevice.exe, rpcss.exe, ...) as its first programs need them, and they inherit that program's
# stdout and stderr. Under CTest that is a test's output pipe, held open for as long as the
# process lives (with a persistent server, up to the test's time-out), and CTest waits for it. So
# the first programs run here with their output in a file: the Windows suite needs every one of
# those background processes. Its result is ignored here; CTest runs it again.
phase "starting wine"
if ! wait $boot; then
    cat "$build/wineboot.log"
    exit 1
fi
if [ -f "$build/tst_windows.exe" ]; then
    timeout 300 "$wine_run" "$build/tst_windows.exe" >"$build/wine-warmup.log" 2>&1 </dev/null || true
else
    "$wine_run" "$build/vesk-mcp.exe" --version >"$build/wine-warmup.log" 2>&1 </dev/null
fi
phase "testing under wine"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
phase "done"
