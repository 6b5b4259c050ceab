#!/usr/bin/env bash
# Builds vesk-mcp.exe, vesk-studio-sim.exe and the tests for 64-bit Windows on Debian 12 with
# mingw-w64 and the static Qt kept in ../shared/windows, then runs the tests under wine.
# Run as root on a fresh machine. Safe to run again: only missing packages are installed, Qt is
# unpacked once into build-win/qt6-mingw, and the build and the wine prefix are reused.
#   VESK_JOBS=n   parallel compile and test jobs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
build=$project/build-win
started=$(date +%s)
jobs=${VESK_JOBS:-$(nproc)}

phase() { echo "== $* (at $(($(date +%s) - started)) s)"; }

# CI keeps ../shared beside its clone; the emulator path handed to CMake must be absolute.
shared=$(cd "$project/../shared/windows" && pwd)
archive=$shared/qt6.4.2-mingw-w64-static.tar.xz

# wine64 only recommends "wine", which holds the wine and wineserver commands: named here so that
# a machine that skips recommended packages gets them too. xz-utils unpacks the Windows Qt.
phase "packages (about 1.7 GB when none is installed yet)"
"$project/scripts/install-packages.sh" g++-mingw-w64-x86-64-posix wine64 wine qt6-base-dev \
    qt6-base-dev-tools ninja-build cmake xz-utils

# Unpacked next to a temporary name first, so that an interrupted run never leaves half a Qt.
qt=$build/qt6-mingw
if [ ! -x "$qt/bin/qt-cmake" ]; then
    phase "unpacking $(basename "$archive")"
    rm -rf "$build/qt6-mingw.partial"
    mkdir -p "$build/qt6-mingw.partial"
    tar -xJf "$archive" -C "$build/qt6-mingw.partial"
    mv "$build/qt6-mingw.partial/qt6-mingw" "$qt"
    rmdir "$build/qt6-mingw.partial"
fi

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
"$shared/wine-run.sh" wineboot -i >"$build/wineboot.log" 2>&1 &
boot=$!

phase "configuring"
"$qt/bin/qt-cmake" -G Ninja -S "$project" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DBUILD_TESTING=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$shared/wine-run.sh" >"$build/configure.log" ||
    { cat "$build/configure.log"; exit 1; }

phase "building"
cmake --build "$build" -- -j"$jobs"
# Linked statically: the programs must not need the mingw runtime or Qt DLLs on a Windows machine.
for program in "$build/vesk-mcp.exe" "$build/vesk-studio-sim.exe"; do
    [ -f "$program" ] || continue
    if x86_64-w64-mingw32-objdump -p "$program" | grep -iE 'DLL Name: (Qt6|libstdc|libgcc|libwinpthread)'; then
        echo "$program needs DLLs that Windows does not have"
        exit 1
    fi
    echo "   $(basename "$program"): $(du -h "$program" | cut -f1), no DLLs beyond Windows' own"
done

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
    timeout 300 "$shared/wine-run.sh" "$build/tst_windows.exe" >"$build/wine-warmup.log" 2>&1 </dev/null || true
else
    "$shared/wine-run.sh" "$build/vesk-mcp.exe" --version >"$build/wine-warmup.log" 2>&1 </dev/null
fi
phase "testing under wine"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
phase "done"
