#!/usr/bin/env bash
# Cross-builds the Windows programs (kdx-cli.exe, libkdx.dll, the tests, kdx.exe where the
# window layer has its Windows side) into build-windows/ (or $1), with extra CMake arguments
# after it. Installs the cross compiler, Wine and the packaging tools it needs, only those
# missing (they are not in setup.sh: the Linux build does not need them). Wine's own fonts
# (fonts-wine) are only a recommendation of wine, which setup.sh leaves out: without them the
# caption buttons show as letters and the dialog font's metrics change. Xvfb, xdotool and
# imagemagick give the window tests a display, input and pictures.
# KDX_BUILD_TARGETS names the targets to build (default: everything).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-windows}
shift || true
"$root/scripts/setup.sh" cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest \
    wine wine64 fonts-wine nsis zip imagemagick xvfb xdotool
args=("$@")
if [ ! -f "$dir/CMakeCache.txt" ]; then
    args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake")
    if [[ " ${args[*]-} " != *CMAKE_BUILD_TYPE* ]]; then args+=(-DCMAKE_BUILD_TYPE=Release); fi
    if command -v ccache >/dev/null; then
        args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
fi
cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in ${KDX_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" "${targets[@]}"
