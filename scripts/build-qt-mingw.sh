#!/usr/bin/env bash
# build-qt-mingw.sh - builds Qt 6.4.2 (Core, Network, Test; static; no GUI, no OpenSSL) for 64-bit
# Windows with Debian's mingw-w64 from Debian's own qt6-base source package, the same version as
# the host's qt6-base-dev, and installs it into build-win/qt6-mingw. About 12 minutes on 2 cores
# plus the download of the source (about 50 MB). Run as root (or with sudo) on Debian 12.
#
#   scripts/build-qt-mingw.sh [PREFIX]       (default: build-win/qt6-mingw)
#   scripts/build-qt-mingw.sh --source-only  only fetch the source package (for the release)
#   VESK_JOBS=n   parallel compile jobs (default 2; the build runs under nice)
#
# The source package lands in build-win/qt-source/ and stays there: it is the Corresponding
# Source of the Qt inside vesk-mcp.exe. The build tree is removed once the install succeeded.
# An interrupted run leaves no half-installed prefix; running it again starts the build over.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sourceOnly=0
[ "${1:-}" != --source-only ] || { sourceOnly=1; shift; }
prefix=$(realpath -m "${1:-$root/build-win/qt6-mingw}")
work=$root/build-win/qt-from-source
sources=$root/build-win/qt-source
jobs=${VESK_JOBS:-2}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ $sourceOnly -eq 1 ]; then
    "$root/scripts/install-packages.sh" qt6-base-dev
else
    "$root/scripts/install-packages.sh" g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools \
        dpkg-dev ninja-build cmake perl xz-utils
fi
version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev) # the host tools must match

# apt-get source needs a deb-src line: add one for the Debian mirror qt6-base-dev came from.
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q "^Version: $version\$"; then
    read -r mirror suite < <(apt-cache policy qt6-base-dev |
        sed -n 's|^ *[0-9]* \(https\?://[^ ]*\) \([^/ ]*\)/main .*|\1 \2|p' | head -1)
    [ -n "${mirror:-}" ] || { echo "build-qt-mingw: no Debian mirror found for qt6-base-dev" >&2; exit 1; }
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    echo "== adding deb-src $mirror $suite main (/etc/apt/sources.list.d/vesk-qt6-source.list)"
    echo "deb-src [signed-by=$keyring] $mirror $suite main" |
        $sudo tee /etc/apt/sources.list.d/vesk-qt6-source.list >/dev/null
    $sudo apt-get update -qq
fi

if ! ls "$sources"/qt6-base_"${version#*:}".dsc >/dev/null 2>&1; then
    echo "== downloading Debian's qt6-base $version source"
    rm -rf "$sources.partial" && mkdir -p "$sources.partial"
    (cd "$sources.partial" && apt-get source --download-only -qq "qt6-base=$version")
    rm -rf "$sources" && mv "$sources.partial" "$sources"
fi
[ $sourceOnly -eq 0 ] || exit 0

rm -rf "$work" "$prefix.partial"
mkdir -p "$work/build"
echo "== unpacking and patching the source"
dpkg-source -x "$sources"/qt6-base_"${version#*:}".dsc "$work/src" >/dev/null

toolchain=$work/mingw-posix.cmake
cat >"$toolchain" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR           /usr/bin/${TOOLCHAIN_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${TOOLCHAIN_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

echo "== configuring Qt (about 40 s)"
cd "$work/build"
cmake -G Ninja "$work/src" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DCMAKE_INSTALL_PREFIX="$prefix.partial" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_icu=OFF -DFEATURE_openssl=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_androiddeployqt=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_doubleconversion=OFF >"$work/configure.log" 2>&1 ||
    { tail -40 "$work/configure.log"; exit 1; }

echo "== building Qt with $jobs jobs (about 11 minutes on 2 cores; log: $work/build.log)"
started=$SECONDS
nice -n 10 ninja -j"$jobs" >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
echo "   built in $((SECONDS - started)) s"
cmake --install . >"$work/install.log"

# Relocatable: the toolchain file travels with the prefix and is found relative to it.
cp "$toolchain" "$prefix.partial/lib/cmake/mingw-posix.cmake"
sed -i 's|^set(__qt_initially_configured_toolchain_file .*|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../mingw-posix.cmake")|' \
    "$prefix.partial/lib/cmake/Qt6/qt.toolchain.cmake"
echo "qt6-base $version from Debian's source, built by scripts/build-qt-mingw.sh" >"$prefix.partial/ORIGIN"
rm -rf "$prefix" && mv "$prefix.partial" "$prefix"
cd "$root" && rm -rf "$work"
echo "== Qt for mingw installed in $prefix"
