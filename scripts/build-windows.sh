#!/usr/bin/env bash
# Cross-builds the Windows programs (kdx-cli.exe, libkdx.dll, the tests, kdx.exe where the
# window layer has its Windows side) into build-windows/ (or $1), with extra CMake arguments
# after it. Installs the cross compiler, Wine and the packaging tools it needs, only those
# missing (they are not in setup.sh: the Linux build does not need them; imagemagick takes
# the window smoke test's pictures).
# KDX_BUILD_TARGETS names the targets to build (default: everything).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-windows}
shift || true
packages=(
    cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest
    wine wine64 nsis zip imagemagick
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    echo "build-windows: installing ${missing[*]}" >&2
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
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
