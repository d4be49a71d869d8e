#!/usr/bin/env bash
# Packs the Windows build (build-windows/, or $1) into an installer (NSIS, built here with
# makensis) and a zip of the same files: kdx-<version>-setup.exe and kdx-<version>-windows.zip
# in that folder. The arrow pictures come from the Linux build (build/, or $KDX_BUILD_DIR),
# whose build draws them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-windows}
linux=${KDX_BUILD_DIR:-$root/build}
version=$(sed -n 's/^project(kdx VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package-windows: no version in CMakeLists.txt" >&2; exit 1; }

KDX_BUILD_TARGETS="kdx kdx-cli kdx_gui" "$root/scripts/build-windows.sh" "$dir"
arrows=("$linux/Data Dir Arrow To BB.bmp" "$linux/Data Dir Arrow From BB.bmp")
if [ ! -f "${arrows[0]}" ] || [ ! -f "${arrows[1]}" ]; then
    KDX_BUILD_TARGETS=kdx_arrows "$root/scripts/build.sh" "$linux"
fi

stage="$dir/package/kdx-$version"
rm -rf "$dir/package"
mkdir -p "$stage"
for program in kdx.exe kdx-cli.exe libkdx.dll; do
    if [ -f "$dir/$program" ]; then
        x86_64-w64-mingw32-strip -o "$stage/$program" "$dir/$program"
    fi
done
[ -f "$stage/kdx.exe" ] && [ -f "$stage/libkdx.dll" ] && [ -f "$stage/kdx-cli.exe" ] ||
    { echo "package-windows: kdx.exe, kdx-cli.exe and libkdx.dll must be built" >&2; exit 1; }
cp "${arrows[@]}" "$stage/"

setup="$dir/kdx-$version-setup.exe"
# The setup program's own version information takes four numbers.
version4=$(echo "$version.0.0.0" | cut -d. -f1-4)
makensis -V2 -DVERSION="$version" -DVERSION4="$version4" -DSTAGE="$stage" -DOUTFILE="$setup" \
    "$root/packaging/windows/kdx.nsi"
rm -f "$dir/kdx-$version-windows.zip"
(cd "$dir/package" && zip -qr "$dir/kdx-$version-windows.zip" "kdx-$version")
for f in "$setup" "$dir/kdx-$version-windows.zip" "$stage"/*; do
    printf '%10d  %s\n' "$(stat -c %s "$f")" "$(basename "$f")"
done
