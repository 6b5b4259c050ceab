#!/usr/bin/env bash
# windows-build.sh - cross-builds the Windows programs into build-win/ on Debian 12 with mingw-w64
# and a static Qt 6.4.2 for Windows, installing what is missing. Used by windows-test.sh and
# package-windows.sh; safe to run again (the Qt, the configuration and the build are reused).
#
#   scripts/windows-build.sh [target...]     (default: everything, tests included)
#
# The Qt lives in build-win/qt6-mingw. The first time, it is unpacked from
# ../shared/windows/qt6.4.2-mingw-w64-static.tar.xz when that archive is there (seconds), and
# otherwise built from Debian's qt6-base source by scripts/build-qt-mingw.sh (about 12 minutes
# on 2 cores).
#   VESK_QT_ARCHIVE=FILE  take the Qt from FILE; VESK_QT_ARCHIVE=none builds it from source
#   VESK_JOBS=n           parallel compile jobs (default: the number of cores)
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VESK_BUILD_WIN:-$project/build-win} # another folder for trying things
jobs=${VESK_JOBS:-$(nproc)}
archive=${VESK_QT_ARCHIVE:-$project/../shared/windows/qt6.4.2-mingw-w64-static.tar.xz}

# wine64 only recommends "wine", which holds the wine and wineserver commands: named here so that
# a machine that skips recommended packages gets them too. xz-utils unpacks the Windows Qt.
"$project/scripts/install-packages.sh" g++-mingw-w64-x86-64-posix wine64 wine qt6-base-dev \
    qt6-base-dev-tools ninja-build cmake xz-utils

# Unpacked next to a temporary name first, so that an interrupted run never leaves half a Qt.
qt=$build/qt6-mingw
if [ ! -x "$qt/bin/qt-cmake" ]; then
    mkdir -p "$build"
    if [ "$archive" != none ] && [ -f "$archive" ]; then
        echo "== unpacking $(basename "$archive")"
        rm -rf "$build/qt6-mingw.partial"
        mkdir -p "$build/qt6-mingw.partial"
        tar -xJf "$archive" -C "$build/qt6-mingw.partial"
        mv "$build/qt6-mingw.partial/qt6-mingw" "$qt"
        rmdir "$build/qt6-mingw.partial"
    else
        echo "== no Qt archive ($archive): building the Windows Qt from Debian's source"
        VESK_JOBS=${VESK_JOBS:-2} "$project/scripts/build-qt-mingw.sh" "$qt"
    fi
fi

echo "== configuring"
"$qt/bin/qt-cmake" -G Ninja -S "$project" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DBUILD_TESTING=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$project/scripts/wine-run.sh" >"$build/configure.log" ||
    { cat "$build/configure.log"; exit 1; }
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
echo "== building ${*:-everything}"
cmake --build "$build" --parallel "$jobs" "${targets[@]}"

# Linked statically: the programs must not need the mingw runtime or Qt DLLs on a Windows machine.
for program in "$build/vesk-mcp.exe" "$build/vesk-studio-sim.exe"; do
    [ -f "$program" ] || continue
    if x86_64-w64-mingw32-objdump -p "$program" | grep -iE 'DLL Name: (Qt6|libstdc|libgcc|libwinpthread)'; then
        echo "$program needs DLLs that Windows does not have"
        exit 1
    fi
    echo "   $(basename "$program"): $(du -h "$program" | cut -f1), no DLLs beyond Windows' own"
done
