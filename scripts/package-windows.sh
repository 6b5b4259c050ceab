#!/usr/bin/env bash
# package-windows.sh - the Windows release. Builds vesk-mcp.exe and vesk-studio-sim.exe with
# scripts/windows-build.sh and writes into dist/:
#   vesk-mcp-<version>-win64.zip         the programs, a guide (README.txt), LICENSE.txt, the
#                                        third-party notices and licences, the relink kit
#   vesk-mcp-<version>-win64.zip.sha256
#   vesk-mcp-<version>-win64.mcpb        the MCP Bundle for Claude Desktop: vesk-mcp.exe, its
#                                        manifest (packaging/mcpb), icon, licences and relink kit
#   vesk-mcp-<version>-win64.mcpb.sha256
#   vesk-mcp-<version>-qt-source.tar     Debian's qt6-base source package the Qt was built from
# then tests the zip and the bundle under wine (scripts/windows-zip-test.sh). Run as root on
# Debian 12.
#
#   scripts/package-windows.sh [--no-test]
#   VESK_QT_ARCHIVE=none  build the Qt from Debian's source even when ../shared has the archive
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VESK_BUILD_WIN:-$project/build-win} # another folder for trying things
dist=$project/dist
runTest=1
case "${1:-}" in
"") ;;
--no-test) runTest=0 ;;
-h|--help) sed -n '2,16p' "$0"; exit 0 ;;
*) echo "package-windows: unknown argument $1" >&2; exit 2 ;;
esac
started=$SECONDS

"$project/scripts/install-packages.sh" zip unzip librsvg2-bin
"$project/scripts/windows-build.sh" vesk-mcp vesk-studio-sim
"$project/scripts/build-qt-mingw.sh" --source-only # Qt's Corresponding Source, published beside

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
qtVersion=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/qt6-mingw/lib/cmake/Qt6/Qt6ConfigVersionImpl.cmake")
qtDebian=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
qt=$build/qt6-mingw
qtReal=$(realpath "$qt")
name=vesk-mcp-$version-win64
qtSource=vesk-mcp-$version-qt-source.tar
stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage/licenses" "$stage/relink" "$dist"

# Texts get CR LF, as Windows editors expect.
text() { # text SOURCE DESTINATION: fills in the versions and writes it with CR LF
    sed -e "s/@VERSION@/$version/g" -e "s/@QT_VERSION@/$qtVersion/g" \
        -e "s/@QT_DEBIAN_VERSION@/$qtDebian/g" -e "s/@QT_SOURCE_NAME@/$qtSource/g" \
        -e 's/$/\r/' "$1" >"$2"
}
cp "$build/vesk-mcp.exe" "$build/vesk-studio-sim.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
text "$project/packaging/windows/README.txt" "$stage/README.txt"
text "$project/packaging/windows/THIRD-PARTY-NOTICES.txt" "$stage/THIRD-PARTY-NOTICES.txt"
text "$project/LICENSE" "$stage/LICENSE.txt"
text /usr/share/common-licenses/LGPL-3 "$stage/licenses/LGPL-3.txt"
text /usr/share/common-licenses/GPL-3 "$stage/licenses/GPL-3.txt"
text /usr/share/doc/libqt6core6/copyright "$stage/licenses/qt6-base-copyright.txt"
text /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licenses/mingw-w64-copyright.txt"
text /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/gcc-mingw-w64-copyright.txt"

# The relink kit: each program's own objects and its link command as the build ran it, with the
# Qt folder turned into $QT, so that the program can be linked again with another Qt.
relinkKit() {
    local target=$1 command token words=()
    mkdir -p "$stage/relink/$target"
    command=$(ninja -C "$build" -t commands "$target.exe" | tail -1)
    command=${command#: && }
    command=${command#cd * && } # the build folder, where there is one
    command=${command%% && :*}
    for token in $command; do # CMake writes no spaces into these paths
        case $token in
        "$qt"/*) words+=("\"\$QT${token#"$qt"}\"") ;;
        "$qtReal"/*) words+=("\"\$QT${token#"$qtReal"}\"") ;;
        qt6-mingw/*) words+=("\"\$QT${token#qt6-mingw}\"") ;;
        -Wl,--out-implib,*) ;;
        *.obj | *.a | *.res)
            [[ -f $build/$token ]] || { echo "package-windows: $token not found" >&2; exit 1; }
            cp "$build/$token" "$stage/relink/$target/"
            words+=("$target/$(basename "$token")") ;;
        *) words+=("$token") ;;
        esac
    done
    words[0]='"${CXX:-x86_64-w64-mingw32-g++-posix}"'
    {
        printf '#!/bin/sh\n# Links %s.exe again; QT is the folder of a static Qt 6.4 for mingw-w64 (see README.txt).\n' "$target"
        printf 'set -e\n: "${QT:?set QT to the folder of your Qt}"\ncd "$(dirname "$0")"\n'
        printf '%s \\\n' "${words[@]:0:${#words[@]}-1}"
        printf '%s\n' "${words[-1]}"
    } >"$stage/relink/link-$target.sh"
    chmod +x "$stage/relink/link-$target.sh"
}
relinkKit vesk-mcp
relinkKit vesk-studio-sim
text "$project/packaging/windows/relink-README.txt" "$stage/relink/README.txt"
cp "$project/scripts/build-qt-mingw.sh" "$stage/relink/"

# Same input, same zip: file times are the last commit's, the order is sorted.
stamp=$(git -C "$project" log -1 --format=%cd --date=format-local:%Y%m%d%H%M.%S 2>/dev/null || date +%Y%m%d%H%M.%S)
find "$build/package" -exec touch -h -t "$stamp" {} +
rm -f "$dist/$name.zip" "$dist/$name.zip.sha256"
(cd "$build/package" && find "$name" | LC_ALL=C sort | zip -X -9 -q "$dist/$name.zip" -@)
(cd "$dist" && sha256sum "$name.zip" >"$name.zip.sha256")

# The bundle: what the zip has for vesk-mcp.exe, with the manifest and the icon rendered from its
# SVG; the pinned mcpb tool validates, packs and reads it back. Its entries carry the packing time.
bundle=$build/package/mcpb
mkdir -p "$bundle"
cp -r "$stage"/{vesk-mcp.exe,LICENSE.txt,THIRD-PARTY-NOTICES.txt,licenses,relink} "$bundle/"
sed "s/@VERSION@/$version/g" "$project/packaging/mcpb/manifest.json" >"$bundle/manifest.json"
rsvg-convert -w 512 -h 512 "$project/packaging/mcpb/icon.svg" -o "$bundle/icon.png"
mcpb() { # mcpb COMMAND ARGS...: the pinned tool, its stdout shown only when it fails
    local out
    out=$("$project/scripts/mcpb.sh" "$@") || { echo "$out" >&2; echo "package-windows: mcpb $1 failed" >&2; exit 1; }
    printf '%s\n' "$out"
}
mcpb validate "$bundle/manifest.json" >/dev/null
rm -f "$dist/$name.mcpb" "$dist/$name.mcpb.sha256"
mcpb pack "$bundle" "$dist/$name.mcpb" >/dev/null
signature=$(mcpb info "$dist/$name.mcpb" | sed -n 's/^WARNING: //p')
(cd "$dist" && sha256sum "$name.mcpb" >"$name.mcpb.sha256")
exeBytes=$(stat -c %s "$bundle/vesk-mcp.exe")
bundleBytes=$(stat -c %s "$dist/$name.mcpb")
((bundleBytes <= exeBytes + 3 * 1024 * 1024)) ||
    { echo "package-windows: the bundle has $bundleBytes bytes, over 3 MiB more than vesk-mcp.exe" >&2; exit 1; }
tar -C "$project/build-win/qt-source" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@0" \
    -cf "$dist/$qtSource" .
(cd "$dist" && sha256sum "$qtSource" >"$qtSource.sha256")

echo "== dist/$name.zip: $(du -k "$dist/$name.zip" | cut -f1) KiB, $(unzip -Z1 "$dist/$name.zip" | grep -vc '/$') files"
unzip -tq "$dist/$name.zip" >/dev/null
echo "   $(cat "$dist/$name.zip.sha256")"
echo "== dist/$name.mcpb: $((bundleBytes / 1024)) KiB (vesk-mcp.exe: $((exeBytes / 1024)) KiB), $(unzip -Z1 "$dist/$name.mcpb" | grep -vc '/$') files, ${signature:-signed}"
echo "   $(cat "$dist/$name.mcpb.sha256")"
echo "   dist/$qtSource: $(du -m "$dist/$qtSource" | cut -f1) MiB (Qt's source)"
if [[ $runTest -eq 1 ]]; then
    "$project/scripts/windows-zip-test.sh" "$dist/$name.zip"
fi
echo "== packaged in $((SECONDS - started)) s"
